// Shutdown with work in flight: round after round, a cache and two file sources are made, cached and
// uncached reads, pre-reads and writes are issued, and every reference is dropped at once, without
// waiting for anything. Each request must report exactly once, with verified data or cancelled, and
// before its source is gone; sources and cache must go away by themselves; nothing may hang (a
// watchdog ends the process when a round takes more than 30 s).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>

#include "ReliabilitySupport.h"

// GCC 12 takes the probes' class-specific operator new and delete for a mismatched pair once they are
// inlined; they are a matching pair over the global ones.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

using namespace Tarvos;
using namespace TarvosTest;

namespace {

constexpr uint32_t kFilePages = 16;
constexpr int kRounds = 200;

// Whether an object is gone: set by its class's operator delete, which runs after every destructor
// of the object, so a callback made during the destructor still sees it alive.
struct Lifetime {
    std::atomic<bool> gone{false};
};

class LifetimeRegistry {
  public:
    // Never destroyed: sources may still be let go on library threads while the process exits.
    static LifetimeRegistry& Get() {
        static LifetimeRegistry* registry = new LifetimeRegistry();
        return *registry;
    }
    void Add(void* object, Lifetime* lifetime) {
        std::lock_guard<std::mutex> hold(mutex);
        objects[object] = lifetime;
    }
    void Gone(void* object) {
        std::lock_guard<std::mutex> hold(mutex);
        auto found = objects.find(object);
        if (found != objects.end()) {
            found->second->gone = true;
            objects.erase(found);
        }
    }

  private:
    std::mutex mutex;
    std::unordered_map<void*, Lifetime*> objects;
};

class ProbeSource : public PlatformNativeFileSource {
  public:
    ProbeSource(const char* path, NativeIOEngine* engine, Lifetime* lifetime)
        : PlatformNativeFileSource(path, engine) {
        LifetimeRegistry::Get().Add(this, lifetime);
    }
    static void* operator new(size_t size) { return ::operator new(size); }
    static void operator delete(void* object) {
        LifetimeRegistry::Get().Gone(object);
        ::operator delete(object);
    }

  protected:
    ~ProbeSource() override = default;
};

class ProbeCache : public Cache {
  public:
    ProbeCache(BufferFactory* factory, Lifetime* lifetime) : Cache(factory) {
        LifetimeRegistry::Get().Add(this, lifetime);
    }
    static void* operator new(size_t size) { return ::operator new(size); }
    static void operator delete(void* object) {
        LifetimeRegistry::Get().Gone(object);
        ::operator delete(object);
    }

  protected:
    ~ProbeCache() override = default;
};

// One request of a round and what its callback saw.
struct Request {
    enum Kind { kCachedRead, kUncachedRead, kWrite } kind = kCachedRead;
    uint64_t offset = 0;
    uint32_t length = 0;
    Lifetime* source = nullptr;
    Buffer* buffer = nullptr;
    BufferList* list = nullptr;
    CountingCallback* callback = nullptr;
    std::atomic<bool> sourceGoneAtCallback{false};
    std::atomic<bool> dataOk{false};
};

// Ends the process when the round number stops moving for 30 s: a hang must fail the run, not stall it.
class Watchdog {
  public:
    Watchdog() : thread([this] { Watch(); }) {}
    ~Watchdog() {
        stop = true;
        thread.join();
    }
    void Progress(int round) { this->round = round; }

  private:
    void Watch() {
        int seen = -1;
        auto since = std::chrono::steady_clock::now();
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (round.load() != seen) {
                seen = round.load();
                since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - since > std::chrono::seconds(30)) {
                std::fprintf(stderr, "shutdown round %d made no progress for 30 s\n", seen);
                std::abort();
            }
        }
    }
    std::atomic<bool> stop{false};
    std::atomic<int> round{0};
    std::thread thread;
};

class ShutdownTest : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (dir.path.empty()) {
            GTEST_SKIP() << "no temporary directory";
        }
        if (!faulty.Start(GetParam(), 7)) {
            GTEST_SKIP() << GetParam() << " cannot run here: " << faulty.reason;
        }
        paths[0] = dir.MakeFile("a", uint64_t{kFilePages} * Page(), 0);
        paths[1] = dir.MakeFile("b", uint64_t{kFilePages} * Page(), 0);
    }

    TempDir dir;
    FaultyEngine faulty;
    std::string paths[2];
};

INSTANTIATE_TEST_SUITE_P(Mechanisms, ShutdownTest, testing::ValuesIn(PlatformMechanismNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_P(ShutdownTest, EverythingDroppedWithWorkInFlightReportsOnceAndGoesAway) {
    const uint32_t page = Page();
    const uint64_t fileSize = uint64_t{kFilePages} * page;
    // Small delays keep requests in flight while the references go.
    IOFaultRule delay;
    delay.operations = kFaultOnRead | kFaultOnWrite;
    delay.nth = 0;
    delay.probability = 0.3;
    delay.kind = kFaultDelay;
    delay.delayMs = 2;
    faulty.injector->AddRule(delay);

    Watchdog watchdog;
    std::mt19937 random(11);
    int succeeded = 0;
    int cancelled = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        watchdog.Progress(round);
        Lifetime cacheLife;
        Lifetime sourceLife[2];
        auto* factory = new BufferFactoryPhysMem();
        ASSERT_TRUE(factory->Initialize(2 * page, 4, 4, 0));
        Cache* cache = new ProbeCache(factory, &cacheLife);
        ProbeSource* sources[2];
        for (int s = 0; s < 2; ++s) {
            sources[s] = new ProbeSource(paths[s].c_str(), faulty.engine.get(), &sourceLife[s]);
            ASSERT_TRUE(sources[s]->Open(true, true, false));
            ASSERT_TRUE(sources[s]->UseCache(cache));
        }
        std::vector<std::unique_ptr<Request>> requests;
        auto issue = [&](ProbeSource* source, Lifetime* life, Request::Kind kind) {
            auto request = std::make_unique<Request>();
            request->kind = kind;
            request->source = life;
            if (kind == Request::kCachedRead) {
                request->length = 1 + random() % (3 * page);
                request->offset = random() % (fileSize - request->length);
                request->buffer = new HeapBuffer(request->length);
            } else {
                request->length = (1 + random() % 3) * page;
                request->offset = uint64_t{random() % (kFilePages - 3)} * page;
                request->buffer = NewPages(request->length / page);
                if (kind == Request::kWrite) {
                    // The bytes already there, so every round reads the same file.
                    FillPattern(request->buffer->GetAddress(), request->length, request->offset, 0);
                }
            }
            request->list = new BufferList(request->buffer, false);
            request->callback = new CountingCallback();
            Request* self = request.get();
            request->callback->onReport = [self](CacheSource::Result_t result, BufferList*) {
                self->sourceGoneAtCallback = self->source->gone.load();
                if (result == CacheSource::kResultSuccess && self->kind != Request::kWrite) {
                    self->dataOk = FirstPatternMismatch(self->buffer->GetAddress(), self->length,
                                                        self->offset, 0) == self->length;
                }
            };
            CacheSource::Result_t started = CacheSource::kResultNone;
            switch (kind) {
                case Request::kCachedRead:
                    started = source->ReadAsyncWithList(request->offset, request->list, request->callback, 0);
                    break;
                case Request::kUncachedRead:
                    started = source->ReadAsyncWithListNonCached(request->offset, request->list,
                                                                 request->callback, 0);
                    break;
                case Request::kWrite:
                    started =
                        source->WriteAsyncWithList(request->offset, request->list, request->callback, 0);
                    break;
            }
            EXPECT_EQ(started, CacheSource::kResultPending) << ResultName(started);
            if (started == CacheSource::kResultPending) {
                requests.push_back(std::move(request));
            } else {
                Release(request->callback);
                Release(request->list);
                Release(request->buffer);
            }
        };
        for (int s = 0; s < 2; ++s) {
            for (int i = 0; i < 4; ++i) {
                issue(sources[s], &sourceLife[s], Request::kCachedRead);
            }
            sources[s]->PreRead(uint64_t{random() % kFilePages} * page, 3 * page, 0);
            issue(sources[s], &sourceLife[s], Request::kWrite);
            issue(sources[s], &sourceLife[s], Request::kUncachedRead);
            sources[s]->PreRead(uint64_t{random() % kFilePages} * page, 2 * page, 5);
            issue(sources[s], &sourceLife[s], Request::kUncachedRead);
        }
        // Everything goes at once, in an order that changes from round to round. The factory keeps one
        // reference of the test's, to count its buffers at the end.
        factory->AddRef(TARVOS_CALL_SITE);
        const int order = round % 3;
        if (order == 0) {
            Release(sources[0]);
            Release(sources[1]);
            Release(cache);
        } else if (order == 1) {
            Release(cache);
            Release(sources[1]);
            Release(sources[0]);
        } else {
            Release(sources[1]);
            Release(cache);
            Release(sources[0]);
        }
        Release(factory);

        for (auto& request : requests) {
            ASSERT_TRUE(WaitUntil([&] { return request->callback->calls.load() >= 1; }))
                << "no report for the request at " << request->offset;
        }
        ASSERT_TRUE(WaitUntil([&] { return sourceLife[0].gone && sourceLife[1].gone && cacheLife.gone; }))
            << "stayed alive: source a " << !sourceLife[0].gone << ", source b " << !sourceLife[1].gone
            << ", cache " << !cacheLife.gone
            << (cacheLife.gone
                    ? ""
                    : " with " + std::to_string(cache->GetRefCount()) + " references, " +
                          std::to_string(CacheTestAccess::ParkedPreReads(cache)) + " parked pre-reads, " +
                          std::to_string(CacheTestAccess::FreeBlocks(cache)) + " free blocks")
            << (sourceLife[0].gone
                    ? ""
                    : ", source a with " + std::to_string(sources[0]->GetRefCount()) + " references");
        EXPECT_TRUE(WaitUntil([&] { return faulty.engine->GetBusySlotCount() == 0; }));
        EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers());
        for (auto& request : requests) {
            const ListReport report = request->callback->Last();
            EXPECT_EQ(report.calls, 1) << "request at " << request->offset;
            EXPECT_FALSE(request->sourceGoneAtCallback.load()) << "reported after its source was gone";
            if (report.result == CacheSource::kResultSuccess) {
                EXPECT_EQ(report.bytes, request->length);
                if (request->kind != Request::kWrite) {
                    EXPECT_TRUE(request->dataOk.load()) << "wrong data at " << request->offset;
                }
                ++succeeded;
            } else {
                EXPECT_EQ(report.result, CacheSource::kResultCancelled) << ResultName(report.result);
                ++cancelled;
            }
            Release(request->callback);
            Release(request->list);
            Release(request->buffer);
        }
        Release(factory);
        if (HasFailure()) {
            break;
        }
    }
    RecordProperty("succeeded", succeeded);
    RecordProperty("cancelled", cancelled);
    EXPECT_GT(succeeded, 0);
}

}  // namespace
