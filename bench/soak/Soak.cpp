// soak: a bounded endurance run of the library over a real file. Several threads mix cached reads,
// direct (uncached) reads, writes of pages each thread owns, pre-reads, invalidations and cancels,
// while the engine's mechanism injects faults at a low rate. Every byte a read reports is checked
// against the generation its page was last written with; every callback must come exactly once.
// Prints its totals and exits 1 on a wrong byte, a lost or doubled callback or anything left held,
// 2 on bad arguments or when it cannot run here.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "OSServices/Linux/IOMechanismLinux.h"
#include "OSServices/Linux/NativeFileSourcePosix.h"
#include "OSServices/NativeIOEngine.h"
#include "SoakPattern.h"
#include "Support/IOMechanismFaults.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/Cache.h"
#include "Tarvos/OSServices.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;
using Result = CacheSource::Result_t;

namespace {

constexpr uint32_t kRegionPages = 128;  // pages each thread owns (and the shared read-only region)
constexpr uint32_t kBlockPages = 4;     // cache block size in pages
constexpr uint32_t kCacheBlocks = 48;   // fewer than the file's blocks, so blocks get reused
constexpr auto kCallbackLimit = std::chrono::seconds(30);
constexpr int kWriteAttempts = 200;

struct Options {
    double seconds = 10;
    uint32_t threads = 4;
    std::string backend = "uring";
    double faultRate = 0.001;
    uint64_t seed = 1;
    std::string dir;
};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: soak [--seconds S] [--threads N] [--backend uring|threads] [--fault-rate P]\n"
                 "            [--seed N] [--dir DIR]\n"
                 "Runs mixed cached and direct reads, writes, pre-reads, invalidations and cancels over a\n"
                 "scratch file in DIR (default: $TMPDIR or /var/tmp) for S seconds (default 10), with\n"
                 "faults injected into P of the I/O operations (default 0.001), verifying every byte.\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "soak: %s needs a value\n", arg.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        const char* text = nullptr;
        char* end = nullptr;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            std::exit(0);
        } else if (arg == "--seconds" && value(&text)) {
            options->seconds = std::strtod(text, &end);
            if (*end != '\0' || !(options->seconds > 0)) {
                std::fprintf(stderr, "soak: bad --seconds %s\n", text);
                return false;
            }
        } else if (arg == "--threads" && value(&text)) {
            const unsigned long n = std::strtoul(text, &end, 10);
            if (*end != '\0' || n == 0 || n > 64) {
                std::fprintf(stderr, "soak: --threads must be 1..64\n");
                return false;
            }
            options->threads = static_cast<uint32_t>(n);
        } else if (arg == "--backend" && value(&text)) {
            options->backend = text;
            if (options->backend != "uring" && options->backend != "threads") {
                std::fprintf(stderr, "soak: --backend must be uring or threads\n");
                return false;
            }
        } else if (arg == "--fault-rate" && value(&text)) {
            options->faultRate = std::strtod(text, &end);
            if (*end != '\0' || options->faultRate < 0 || options->faultRate > 1) {
                std::fprintf(stderr, "soak: --fault-rate must be in [0, 1]\n");
                return false;
            }
        } else if (arg == "--seed" && value(&text)) {
            options->seed = std::strtoull(text, &end, 10);
            if (*end != '\0') {
                std::fprintf(stderr, "soak: bad --seed %s\n", text);
                return false;
            }
        } else if (arg == "--dir" && value(&text)) {
            options->dir = text;
        } else {
            if (text == nullptr) {
                std::fprintf(stderr, "soak: unknown argument %s\n", arg.c_str());
                Usage(stderr);
            }
            return false;
        }
    }
    if (options->dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        options->dir = tmp != nullptr && *tmp != '\0' ? tmp : "/var/tmp";
    }
    return true;
}

// Totals shared by every thread.
struct Totals {
    std::atomic<uint64_t> operations{0};
    std::atomic<uint64_t> cachedReads{0};
    std::atomic<uint64_t> directReads{0};
    std::atomic<uint64_t> writes{0};
    std::atomic<uint64_t> writeRetries{0};
    std::atomic<uint64_t> preReads{0};
    std::atomic<uint64_t> invalidations{0};
    std::atomic<uint64_t> cancels{0};
    std::atomic<uint64_t> bytesVerified{0};
    std::atomic<uint64_t> notSuccess{0};  // reads that ended failed, partial, cancelled, ...
    std::atomic<uint64_t> cancelled{0};
    std::atomic<uint64_t> mismatches{0};
    std::atomic<uint64_t> lostCallbacks{0};
    std::atomic<uint64_t> unexpected{0};  // results no request of that kind may have
};

// A list callback that a thread can wait on; it must be called exactly once.
class WaitableCallback : public FileSource::ResultCallbackBufferList {
  public:
    void Callback(Result result, uint64_t offset, BufferList*, uint32_t bytes) override {
        std::lock_guard<std::mutex> hold(mutex);
        this->result = result;
        this->offset = offset;
        this->bytes = bytes;
        ++calls;
        changed.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, kCallbackLimit, [this] { return calls > 0; });
    }
    int Calls() {
        std::lock_guard<std::mutex> hold(mutex);
        return calls;
    }

    Result result = CacheSource::kResultNone;
    uint64_t offset = 0;
    uint32_t bytes = 0;

  private:
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
};

struct Shared {
    Options options;
    Totals totals;
    NativeFileSourcePosix* source = nullptr;
    Cache* cache = nullptr;
    uint32_t page = 0;
    uint64_t fileSize = 0;
    std::atomic<bool> stop{false};
    std::mutex reportLock;  // keeps failure reports whole
    // Callbacks already waited for, checked again at the end for a second call.
    std::mutex doneLock;
    std::vector<WaitableCallback*> done;
};

class SoakThread {
  public:
    SoakThread(Shared* shared, uint32_t index)
        : shared(shared),
          index(index),
          random(shared->options.seed * 1000003u + index),
          firstPage(uint64_t{index + 1} * kRegionPages),
          generations(kRegionPages, 0) {}

    void Run() {
        while (!shared->stop.load(std::memory_order_relaxed)) {
            const uint32_t choice = random() % 100;
            if (choice < 35) {
                CachedRead();
            } else if (choice < 50) {
                DirectRead();
            } else if (choice < 65) {
                WritePages();
            } else if (choice < 75) {
                PreRead();
            } else if (choice < 83) {
                Invalidate();
            } else if (choice < 85) {
                ReadThenCancel();
            } else {
                ReadBatch();
            }
            shared->totals.operations.fetch_add(1, std::memory_order_relaxed);
        }
    }

  private:
    // A range to read: in this thread's own pages (whose generations it knows) or in the shared,
    // never written, first region.
    void PickRange(uint64_t* offset, uint32_t* length, uint32_t maxLength, bool aligned) {
        const uint32_t page = shared->page;
        const bool own = random() % 10 < 7;
        const uint64_t base = own ? firstPage * page : 0;
        const uint64_t regionBytes = uint64_t{kRegionPages} * page;
        if (aligned) {
            const uint32_t pages = 1 + random() % (maxLength / page);
            *length = pages * page;
            *offset = base + uint64_t{random() % (kRegionPages - pages + 1)} * page;
        } else {
            *length = 1 + random() % maxLength;
            *offset = base + random() % (regionBytes - *length + 1);
        }
    }

    uint32_t GenerationAt(uint64_t offset) const {
        const uint64_t pageIndex = offset / shared->page;
        if (pageIndex < firstPage || pageIndex >= firstPage + kRegionPages) {
            return 0;
        }
        return generations[pageIndex - firstPage];
    }

    // The first wrong byte of [offset, offset + length) in memory, or length.
    uint32_t FirstWrong(const uint8_t* bytes, uint64_t offset, uint32_t length) const {
        uint32_t done = 0;
        while (done < length) {
            const uint64_t at = offset + done;
            const uint32_t inPage = static_cast<uint32_t>(at % shared->page);
            const uint32_t n = std::min(length - done, shared->page - inPage);
            const uint32_t wrong = SoakPattern::FirstMismatch(bytes + done, n, at, GenerationAt(at));
            if (wrong != n) {
                return done + wrong;
            }
            done += n;
        }
        return length;
    }

    // Checks one read's report; bytes beyond the reported count are not looked at.
    // False when the callback never came: the request's memory may then still be written, so the
    // caller must leave it alone, and the run stops.
    bool WaitForCallback(const char* kind, WaitableCallback* callback, uint64_t offset, uint32_t length) {
        if (callback->Wait()) {
            return true;
        }
        shared->totals.lostCallbacks.fetch_add(1);
        Report("%s at %llu (%u bytes): no callback within 30 s", kind, offset, length);
        shared->stop = true;
        return false;
    }

    // Checks the report of a read whose callback has come.
    void CheckRead(const char* kind, WaitableCallback* callback, uint64_t offset, uint32_t length,
                   const uint8_t* bytes) {
        Totals& totals = shared->totals;
        if (callback->offset != offset) {
            totals.unexpected.fetch_add(1);
            Report("%s read at %llu reported offset %llu", kind, offset,
                   static_cast<unsigned long long>(callback->offset));
        }
        const Result result = callback->result;
        uint32_t reported = 0;
        if (result == CacheSource::kResultSuccess) {
            reported = length;
            if (callback->bytes != length) {
                totals.unexpected.fetch_add(1);
                Report("%s read at %llu: success with %u of %u bytes", kind, offset, callback->bytes, length);
            }
        } else {
            totals.notSuccess.fetch_add(1, std::memory_order_relaxed);
            if (result == CacheSource::kResultCancelled) {
                totals.cancelled.fetch_add(1, std::memory_order_relaxed);
            } else if (result == CacheSource::kResultPartial) {
                reported = std::min(callback->bytes, length);
            } else if (result != CacheSource::kResultFailed && result != CacheSource::kResultEndOfFile) {
                totals.unexpected.fetch_add(1);
                Report("%s read at %llu: result %d", kind, offset, static_cast<int>(result));
            }
        }
        const uint32_t wrong = FirstWrong(bytes, offset, reported);
        if (wrong != reported) {
            totals.mismatches.fetch_add(1);
            Report(
                "%s read at %llu (%u bytes, result %d): wrong byte at file offset %llu: 0x%02x, expected "
                "0x%02x (generation %u)",
                kind, offset, length, static_cast<int>(result),
                static_cast<unsigned long long>(offset + wrong), bytes[wrong],
                SoakPattern::Byte(offset + wrong, GenerationAt(offset + wrong)),
                GenerationAt(offset + wrong));
        }
        totals.bytesVerified.fetch_add(reported, std::memory_order_relaxed);
    }

    template <typename... Args>
    void Report(const char* format, Args... args) {
        std::lock_guard<std::mutex> hold(shared->reportLock);
        std::fprintf(stderr, "soak: thread %u: ", index);
        std::fprintf(stderr, format, ToPrintable(args)...);
        std::fputc('\n', stderr);
    }
    template <typename T>
    static auto ToPrintable(T value) {
        if constexpr (std::is_same_v<T, uint64_t>) {
            return static_cast<unsigned long long>(value);
        } else {
            return value;
        }
    }

    void Retire(WaitableCallback* callback) {
        std::lock_guard<std::mutex> hold(shared->doneLock);
        shared->done.push_back(callback);
    }

    // One cached read in flight.
    struct PendingRead {
        uint64_t offset = 0;
        uint32_t length = 0;
        HeapBuffer* buffer = nullptr;
        BufferList* list = nullptr;
        WaitableCallback* callback = nullptr;
        bool started = false;
    };

    PendingRead StartCachedRead() {
        PendingRead read;
        PickRange(&read.offset, &read.length, 3 * kBlockPages * shared->page, false);
        read.buffer = new HeapBuffer(read.length);
        std::memset(read.buffer->GetAddress(), 0xEE, read.length);
        read.list = new BufferList(read.buffer, false);
        read.callback = new WaitableCallback();
        const Result started = shared->source->ReadAsyncWithList(read.offset, read.list, read.callback, 0);
        read.started = started == CacheSource::kResultPending;
        if (!read.started) {
            // Refused at once: the callback must not come.
            shared->totals.notSuccess.fetch_add(1, std::memory_order_relaxed);
            if (started != CacheSource::kResultCancelled && started != CacheSource::kResultBusy &&
                started != CacheSource::kResultFailed) {
                shared->totals.unexpected.fetch_add(1);
                Report("cached read at %llu refused with %d", read.offset, static_cast<int>(started));
            }
        }
        shared->totals.cachedReads.fetch_add(1, std::memory_order_relaxed);
        return read;
    }

    void FinishCachedRead(PendingRead& read) {
        if (read.started) {
            if (!WaitForCallback("cached read", read.callback, read.offset, read.length)) {
                return;  // left to leak: the library may still write into it
            }
            CheckRead("cached", read.callback, read.offset, read.length,
                      static_cast<const uint8_t*>(read.buffer->GetAddress()));
        }
        Retire(read.callback);
        read.list->DecRef(TARVOS_CALL_SITE);
        read.buffer->DecRef(TARVOS_CALL_SITE);
    }

    void CachedRead() {
        PendingRead read = StartCachedRead();
        FinishCachedRead(read);
    }

    void ReadBatch() {
        PendingRead reads[4];
        for (auto& read : reads) {
            read = StartCachedRead();
        }
        for (auto& read : reads) {
            FinishCachedRead(read);
        }
    }

    void ReadThenCancel() {
        PendingRead read = StartCachedRead();
        if (random() % 2 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
        }
        shared->source->Cancel();
        shared->totals.cancels.fetch_add(1, std::memory_order_relaxed);
        FinishCachedRead(read);
    }

    // Whole pages of page-aligned memory, as direct I/O needs; two buffers make a vectored transfer.
    BufferList* NewPageList(uint32_t length, bool split) {
        auto* list = new BufferList(2);
        const uint32_t page = shared->page;
        const uint32_t first = split && length > page ? page * (1 + random() % (length / page)) : length;
        const uint32_t sizes[2] = {std::min(first, length), length - std::min(first, length)};
        for (uint32_t size : sizes) {
            if (size == 0) {
                continue;
            }
            Buffer* buffer = PhysMemInterface::Allocate(size);
            std::memset(buffer->GetAddress(), 0xEE, size);
            list->AddBuffer(buffer, true);
        }
        return list;
    }

    static void CopyOut(BufferList* list, uint8_t* out, uint32_t length) {
        uint32_t done = 0;
        while (done < length) {
            uint32_t inBuffer = 0;
            uint32_t left = 0;
            Buffer* buffer = list->GetBufferAtOffset(done, &inBuffer, &left);
            if (buffer == nullptr || left == 0) {
                return;
            }
            const uint32_t n = std::min(left, length - done);
            std::memcpy(out + done, static_cast<uint8_t*>(buffer->GetAddress()) + inBuffer, n);
            done += n;
        }
    }

    void DirectRead() {
        uint64_t offset = 0;
        uint32_t length = 0;
        PickRange(&offset, &length, 8 * shared->page, true);
        BufferList* list = NewPageList(length, random() % 2 == 0);
        auto* callback = new WaitableCallback();
        Result started = shared->source->ReadAsyncWithListNonCached(offset, list, callback, 0);
        while (started == CacheSource::kResultBusy && !shared->stop.load()) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            started = shared->source->ReadAsyncWithListNonCached(offset, list, callback, 0);
        }
        shared->totals.directReads.fetch_add(1, std::memory_order_relaxed);
        if (started == CacheSource::kResultPending) {
            if (!WaitForCallback("direct read", callback, offset, length)) {
                return;  // left to leak: the engine may still write into it
            }
            // Only the bytes a read reports are the caller's: after a cancel or a failure the kernel
            // may still be writing into the list, so nothing of it is read then.
            uint32_t delivered = 0;
            if (callback->result == CacheSource::kResultSuccess) {
                delivered = length;
            } else if (callback->result == CacheSource::kResultPartial) {
                delivered = std::min(callback->bytes, length);
            }
            std::vector<uint8_t> bytes(length);
            CopyOut(list, bytes.data(), delivered);
            CheckRead("direct", callback, offset, length, bytes.data());
        } else if (started != CacheSource::kResultBusy) {
            shared->totals.notSuccess.fetch_add(1, std::memory_order_relaxed);
        }
        Retire(callback);
        list->DecRef(TARVOS_CALL_SITE);
    }

    // Writes new generations into 1 to 4 of its own pages through the cached source, again until the
    // write succeeds: a failed or cancelled write may have reached the disk in full, in part or not at
    // all, so the pages are only read again once one write of that generation has succeeded.
    void WritePages() {
        const uint32_t page = shared->page;
        const uint32_t pages = 1 + random() % 4;
        const uint32_t at = random() % (kRegionPages - pages + 1);
        std::vector<uint32_t> next(pages);
        for (uint32_t i = 0; i < pages; ++i) {
            next[i] = generations[at + i] + 1;
        }
        const uint64_t offset = (firstPage + at) * page;
        BufferList* list = NewPageList(pages * page, random() % 2 == 0);
        std::vector<uint8_t> bytes(pages * page);
        for (uint32_t i = 0; i < pages; ++i) {
            SoakPattern::Fill(bytes.data() + i * page, page, offset + uint64_t{i} * page, next[i]);
        }
        uint32_t copied = 0;
        while (copied < bytes.size()) {
            uint32_t inBuffer = 0;
            uint32_t left = 0;
            Buffer* buffer = list->GetBufferAtOffset(copied, &inBuffer, &left);
            std::memcpy(static_cast<uint8_t*>(buffer->GetAddress()) + inBuffer, bytes.data() + copied, left);
            copied += left;
        }
        for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
            auto* callback = new WaitableCallback();
            const Result started = shared->source->WriteAsyncWithList(offset, list, callback, 0);
            bool succeeded = false;
            if (started == CacheSource::kResultPending) {
                if (!WaitForCallback("write", callback, offset, pages * page)) {
                    return;  // left to leak: the engine may still read from it
                }
                succeeded =
                    callback->result == CacheSource::kResultSuccess && callback->bytes == pages * page;
            } else if (started == CacheSource::kResultBusy) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            Retire(callback);
            if (succeeded) {
                for (uint32_t i = 0; i < pages; ++i) {
                    generations[at + i] = next[i];
                }
                shared->totals.writes.fetch_add(1, std::memory_order_relaxed);
                list->DecRef(TARVOS_CALL_SITE);
                return;
            }
            shared->totals.writeRetries.fetch_add(1, std::memory_order_relaxed);
        }
        Report("write at %llu did not succeed in %d attempts", offset, kWriteAttempts);
        shared->totals.unexpected.fetch_add(1);
        shared->stop = true;
        list->DecRef(TARVOS_CALL_SITE);
    }

    void PreRead() {
        uint64_t offset = 0;
        uint32_t length = 0;
        PickRange(&offset, &length, 8 * shared->page, false);
        shared->source->PreRead(offset, length, random() % 3 == 0 ? 0 : random() % 50);
        shared->totals.preReads.fetch_add(1, std::memory_order_relaxed);
    }

    void Invalidate() {
        uint64_t offset = 0;
        uint32_t length = 0;
        PickRange(&offset, &length, 8 * shared->page, false);
        shared->cache->Invalidate(shared->source, offset, length);
        shared->totals.invalidations.fetch_add(1, std::memory_order_relaxed);
    }

    Shared* shared;
    uint32_t index;
    std::mt19937_64 random;
    uint64_t firstPage;
    std::vector<uint32_t> generations;  // of this thread's pages, as last written successfully
};

// Faults spread over the kinds a disk or kernel can produce, together at rate per operation.
void AddFaultRules(IOFaultInjector* injector, double rate) {
    if (rate <= 0) {
        return;
    }
    struct Kind {
        uint32_t operations;
        IOFaultKind_t kind;
        int error;
    };
    const Kind kinds[] = {
        {kFaultOnRead | kFaultOnWrite, kFaultError, EIO},
        {kFaultOnWrite, kFaultError, ENOSPC},
        {kFaultOnRead | kFaultOnWrite, kFaultError, EINTR},
        {kFaultOnRead | kFaultOnWrite, kFaultShortCount, 0},
        {kFaultOnRead, kFaultZeroBytes, 0},
        {kFaultOnRead | kFaultOnWrite, kFaultDelay, 0},
        {kFaultOnRead | kFaultOnWrite, kFaultLateAfterCancel, 0},
        {kFaultOnRead | kFaultOnWrite, kFaultDuplicate, 0},
        {kFaultOnRead | kFaultOnWrite, kFaultRefuseSubmit, EAGAIN},
    };
    const double each = rate / (sizeof(kinds) / sizeof(kinds[0]));
    for (const Kind& kind : kinds) {
        IOFaultRule rule;
        rule.operations = kind.operations;
        rule.nth = 0;
        rule.probability = each;
        rule.kind = kind.kind;
        rule.error = kind.error;
        rule.bytes = 100;
        rule.delayMs = 20;
        injector->AddRule(rule);
    }
    IOFaultRule swallow;
    swallow.operations = kFaultOnCancel;
    swallow.nth = 0;
    swallow.probability = rate;
    swallow.kind = kFaultSwallowCancel;
    injector->AddRule(swallow);
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The scratch file: every page at generation 0.
bool MakeFile(const std::string& path, uint64_t size) {
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd < 0) {
        return false;
    }
    std::vector<uint8_t> chunk(1 << 20);
    bool ok = true;
    for (uint64_t done = 0; done < size && ok;) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk.size(), size - done));
        SoakPattern::Fill(chunk.data(), n, done, 0);
        ok = ::pwrite(fd, chunk.data(), n, static_cast<off_t>(done)) == static_cast<ssize_t>(n);
        done += n;
    }
    ok = ::close(fd) == 0 && ok;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Shared shared;
    if (!ParseOptions(argc, argv, &shared.options)) {
        return 2;
    }
    const Options& options = shared.options;
    OSServices::Init();
    shared.page = PhysMemInterface::GetPageSize();

    std::string reason;
    std::unique_ptr<IOMechanism> inner =
        options.backend == "uring" ? NewIOMechanismUring(&reason) : NewIOMechanismThreads(&reason);
    if (inner == nullptr) {
        std::fprintf(stderr, "soak: the %s mechanism cannot run here: %s\n", options.backend.c_str(),
                     reason.c_str());
        return 2;
    }
    auto injector = std::make_shared<IOFaultInjector>(options.seed);
    AddFaultRules(injector.get(), options.faultRate);
    auto engine =
        std::make_unique<NativeIOEngine>(NewFaultInjectingIOMechanism(std::move(inner), injector), reason);
    if (!engine->IsRunning()) {
        std::fprintf(stderr, "soak: the engine did not start\n");
        return 2;
    }

    char pattern[4096];
    std::snprintf(pattern, sizeof(pattern), "%s/tarvos-soak-XXXXXX", options.dir.c_str());
    if (::mkdtemp(pattern) == nullptr) {
        std::fprintf(stderr, "soak: cannot make a directory in %s: %s\n", options.dir.c_str(),
                     std::strerror(errno));
        return 2;
    }
    const std::string dir = pattern;
    const std::string path = dir + "/data";
    shared.fileSize = uint64_t{options.threads + 1} * kRegionPages * shared.page;
    if (!MakeFile(path, shared.fileSize)) {
        std::fprintf(stderr, "soak: cannot write %s\n", path.c_str());
        ::rmdir(dir.c_str());
        return 2;
    }

    auto* factory = new BufferFactoryPhysMem();
    auto* source = new NativeFileSourcePosix(path.c_str(), engine.get());
    Cache* cache = nullptr;
    bool ready = factory->Initialize(kBlockPages * shared.page, kCacheBlocks, kCacheBlocks, 0) &&
                 source->Open(true, true, false);
    if (ready) {
        cache = new Cache(factory);
        ready = source->UseCache(cache);
    }
    if (!ready) {
        std::fprintf(stderr, "soak: cannot set up the cache and the file\n");
        return 2;
    }
    shared.source = source;
    shared.cache = cache;

    std::printf(
        "soak: %s mechanism, %u threads, %.0f s, faults at %g per operation, seed %llu, %s direct I/O\n",
        engine->GetMechanismName(), options.threads, options.seconds, options.faultRate,
        static_cast<unsigned long long>(options.seed), source->UsesDirectIO() ? "with" : "without");
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<SoakThread>> bodies;
    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < options.threads; ++i) {
        bodies.push_back(std::make_unique<SoakThread>(&shared, i));
    }
    for (auto& body : bodies) {
        threads.emplace_back([&body] { body->Run(); });
    }
    const auto deadline = start + std::chrono::duration<double>(options.seconds);
    while (std::chrono::steady_clock::now() < deadline && !shared.stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    shared.stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    Totals& totals = shared.totals;
    // Everything must come back: blocks, slots, buffers, references.
    bool heldBack = false;
    if (!WaitFor([&] { return engine->GetBusySlotCount() == 0; })) {
        std::fprintf(stderr, "soak: %u engine slots still busy\n", engine->GetBusySlotCount());
        heldBack = true;
    }
    uint64_t doubled = 0;
    {
        std::lock_guard<std::mutex> hold(shared.doneLock);
        for (WaitableCallback* callback : shared.done) {
            doubled += callback->Calls() > 1;
            callback->DecRef(TARVOS_CALL_SITE);
        }
        shared.done.clear();
    }
    source->DecRef(TARVOS_CALL_SITE);
    if (!WaitFor([&] { return cache->GetRefCount() == 1; })) {
        std::fprintf(stderr, "soak: the cache still has %d references\n",
                     static_cast<int>(cache->GetRefCount()));
        heldBack = true;
    }
    cache->DecRef(TARVOS_CALL_SITE);
    if (factory->GetNumberOfBuffersFree() != factory->GetTotalNumberOfBuffers()) {
        std::fprintf(stderr, "soak: %u of %u cache buffers not given back\n",
                     factory->GetTotalNumberOfBuffers() - factory->GetNumberOfBuffersFree(),
                     factory->GetTotalNumberOfBuffers());
        heldBack = true;
    }
    factory->DecRef(TARVOS_CALL_SITE);

    uint64_t injected = 0;
    uint64_t surfaced = 0;
    for (const IOFaultRecord& record : injector->GetLog()) {
        ++injected;
        surfaced += record.delivered || record.cancel;
    }
    engine.reset();
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());

    std::printf(
        "operations %llu in %.1f s (%.0f/s): cached reads %llu, direct reads %llu, writes %llu "
        "(%llu retried), pre-reads %llu, invalidations %llu, cancels %llu\n",
        static_cast<unsigned long long>(totals.operations.load()), elapsed,
        totals.operations.load() / elapsed, static_cast<unsigned long long>(totals.cachedReads.load()),
        static_cast<unsigned long long>(totals.directReads.load()),
        static_cast<unsigned long long>(totals.writes.load()),
        static_cast<unsigned long long>(totals.writeRetries.load()),
        static_cast<unsigned long long>(totals.preReads.load()),
        static_cast<unsigned long long>(totals.invalidations.load()),
        static_cast<unsigned long long>(totals.cancels.load()));
    std::printf(
        "bytes verified %llu; reads not successful %llu (cancelled %llu); I/O operations %llu; "
        "faults injected %llu, surfaced %llu\n",
        static_cast<unsigned long long>(totals.bytesVerified.load()),
        static_cast<unsigned long long>(totals.notSuccess.load()),
        static_cast<unsigned long long>(totals.cancelled.load()),
        static_cast<unsigned long long>(injector->GetOperationCount()),
        static_cast<unsigned long long>(injected), static_cast<unsigned long long>(surfaced));
    std::printf("mismatches %llu, lost callbacks %llu, doubled callbacks %llu, unexpected results %llu, %s\n",
                static_cast<unsigned long long>(totals.mismatches.load()),
                static_cast<unsigned long long>(totals.lostCallbacks.load()),
                static_cast<unsigned long long>(doubled),
                static_cast<unsigned long long>(totals.unexpected.load()),
                heldBack ? "resources held back" : "everything given back");
    const bool failed = totals.mismatches.load() != 0 || totals.lostCallbacks.load() != 0 || doubled != 0 ||
                        totals.unexpected.load() != 0 || heldBack || surfaced != injected ||
                        totals.operations.load() == 0;
    std::printf("soak: %s\n", failed ? "FAILED" : "passed");
    return failed ? 1 : 0;
}
