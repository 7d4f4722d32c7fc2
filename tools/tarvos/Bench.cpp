// tarvos bench: the library's read paths against the ones an application would otherwise use, on the
// same file and block sizes. Every phase runs for a fixed time over a span of the file, wrapping around;
// every byte read, by the library and by the baselines alike (so both pay the same check), is compared
// with the file's content: a known function of the offset for the generated sample, a buffered pread of
// the same range for a user's file.
#include <fcntl.h>
#include <liburing.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "BenchEngineDueOrder.h"
#include "BenchStreamSettings.h"
#include "BenchStreamsReport.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/Cache.h"
#include "Tarvos/MTInterface.h"
#include "Tarvos/NativeFileSource.h"
#include "Tarvos/PhysMemInterface.h"
#include "ToolCommon.h"

namespace TarvosTool {

namespace {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * 1024;
constexpr uint32_t kCacheBlock = 64 * kKiB;
constexpr uint64_t kSampleMagic = 0x5441525653414D50ull;  // "TARVSAMP"

constexpr uint64_t kWarm4kSpan = 2 * kMiB;  // the 4 KiB phases' working set

// The large-cache phase is named for its block count: cached-warm-4k-262144-blocks by default.
std::string LargeCachePhaseName(uint32_t blocks) {
    return "cached-warm-4k-" + std::to_string(blocks) + "-blocks";
}

// The sample file's word at a byte offset (a multiple of 8).
inline uint64_t SampleWord(uint64_t offset) {
    return offset ^ kSampleMagic;
}

struct PhaseResult {
    std::string name;
    double mbPerS = 0;
    double opsPerS = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double hitRatio = -1;  // negative: not a cached phase
    std::string baseline;  // empty: none
    double ratio = -1;
    double cpuUsPerMib = 0;    // the process's user+system CPU time during the phase, per MiB delivered
    double buildMs = -1;       // negative: the phase builds no cache of its own worth reporting
    std::vector<double> runs;  // MB/s of every run, in run order, when the phase ran more than once
    std::vector<std::pair<std::string, double>> extra;  // the phase's own figures, by JSON key
};

// Checks what came back from the file; counts for the report.
class Verifier {
  public:
    Verifier(bool sample, const std::string& path) : sample(sample) {
        if (!sample) {
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                Fail(path + ": " + std::strerror(errno));
            }
        }
    }
    ~Verifier() {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    void Check(const void* data, uint64_t offset, uint32_t length, bool library) {
        bool same = true;
        if (sample) {
            const auto* words = static_cast<const uint64_t*>(data);
            for (uint32_t i = 0; i < length / 8; ++i) {
                if (words[i] != SampleWord(offset + uint64_t{i} * 8)) {
                    same = false;
                    break;
                }
            }
        } else {
            scratch.resize(length);
            uint32_t got = 0;
            while (got < length) {
                const ssize_t n =
                    ::pread(fd, scratch.data() + got, length - got, static_cast<off_t>(offset + got));
                if (n <= 0) {
                    break;
                }
                got += static_cast<uint32_t>(n);
            }
            same = got == length && std::memcmp(scratch.data(), data, length) == 0;
        }
        if (library) {
            verifiedBytes += length;
        }
        if (!same) {
            ++mismatches;
            if (firstMismatch.empty()) {
                firstMismatch = "wrong bytes in the " + std::to_string(length) + " bytes read at offset " +
                                std::to_string(offset);
            }
        }
    }

    uint64_t verifiedBytes = 0;
    uint64_t mismatches = 0;
    std::string firstMismatch;

  private:
    bool sample;
    int fd = -1;
    std::vector<uint8_t> scratch;
};

// Offsets of one phase: consecutive blocks of a span of the file, wrapping around at its end.
struct Walk {
    uint64_t start;
    uint64_t span;  // a multiple of the block size
    uint32_t block;
    uint64_t next = 0;
    uint64_t Next() {
        const uint64_t offset = start + next;
        next = (next + block) % span;
        return offset;
    }
};

// Times a phase and collects its latencies; draws the progress bar when standard error is a terminal.
class Meter {
  public:
    Meter(const std::string& name, double seconds) : name(name), seconds(seconds) {
        tty = ::isatty(STDERR_FILENO) == 1;
        latencies.reserve(1 << 16);
        cpuBegin = ProcessCpuMicroseconds();
        begin = Clock::now();
    }
    bool Running() {
        const double elapsed = Elapsed();
        if (tty) {
            const int filled = static_cast<int>(std::min(1.0, elapsed / seconds) * 30);
            if (filled != drawn) {
                drawn = filled;
                std::fprintf(stderr, "\r%-22s [%-30s] %3d%%", name.c_str(), std::string(filled, '#').c_str(),
                             filled * 100 / 30);
            }
        }
        return elapsed < seconds;
    }
    void Record(Clock::time_point started, Clock::time_point finished, uint32_t bytesRead) {
        latencies.push_back(std::chrono::duration<double, std::micro>(finished - started).count());
        bytes += bytesRead;
    }
    // Stops and restarts the meter's clocks (elapsed and CPU time), for phases measured in turns.
    void Pause() {
        if (!paused) {
            elapsedBefore = Elapsed();
            cpuBefore += ProcessCpuMicroseconds() - cpuBegin;
            paused = true;
        }
    }
    void Resume() {
        if (paused) {
            begin = Clock::now();
            cpuBegin = ProcessCpuMicroseconds();
            paused = false;
        }
    }
    double Elapsed() const {
        return elapsedBefore + (paused ? 0 : std::chrono::duration<double>(Clock::now() - begin).count());
    }
    PhaseResult Finish() {
        const double elapsed = Elapsed();
        const double cpu = cpuBefore + (paused ? 0 : ProcessCpuMicroseconds() - cpuBegin);
        if (tty) {
            std::fprintf(stderr, "\r%60s\r", "");
        }
        PhaseResult result;
        result.name = name;
        result.mbPerS = static_cast<double>(bytes) / 1e6 / elapsed;
        result.opsPerS = static_cast<double>(latencies.size()) / elapsed;
        result.cpuUsPerMib = bytes > 0 ? cpu / (static_cast<double>(bytes) / kMiB) : 0;
        if (!latencies.empty()) {
            std::sort(latencies.begin(), latencies.end());
            result.p50 = latencies[latencies.size() / 2];
            result.p99 = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
            result.max = latencies.back();
        }
        return result;
    }

  private:
    std::string name;
    double seconds;
    Clock::time_point begin;  // of the running stretch
    double cpuBegin = 0;      // of the running stretch
    bool paused = false;
    double elapsedBefore = 0;  // seconds, and CPU microseconds, of the stretches before
    double cpuBefore = 0;
    bool tty;
    int drawn = -1;
    std::vector<double> latencies;  // microseconds
    uint64_t bytes = 0;
};

// The bench's shared state.
struct Bench {
    BenchOptions options;
    std::string path;
    bool sample = false;
    std::string sampleDirectory;  // the sample's own directory, removed with it
    std::string fileSystem;
    uint64_t span = 0;  // bytes of the file the phases walk: whole MiB
    double seconds = 0;
    Verifier* verifier = nullptr;
    std::vector<PhaseResult> results;
    StreamsRun streams;          // its figures empty: the streams did not run
    bool directRefused = false;  // the file system refused O_DIRECT: "direct" baselines ran buffered

    void Add(PhaseResult result) { results.push_back(std::move(result)); }
    bool Wants(const std::string& name) const { return name.rfind(options.only, 0) == 0; }
};

void CheckRead(Bench& bench, const void* data, uint64_t offset, ssize_t got, uint32_t block, bool library,
               const char* what) {
    if (got != static_cast<ssize_t>(block)) {
        Fail(std::string(what) + " at offset " + std::to_string(offset) + " returned " + std::to_string(got) +
             " of " + std::to_string(block) + " bytes");
    }
    bench.verifier->Check(data, offset, block, library);
}

// Opens the file for the baselines' direct I/O; where the file system refuses O_DIRECT (EINVAL) it is
// opened buffered instead, as the library does, and the report says so.
int OpenDirect(Bench& bench) {
    int fd = ::open(bench.path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    if (fd < 0 && errno == EINVAL) {
        bench.directRefused = true;
        fd = ::open(bench.path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        Fail(bench.path + ": " + std::strerror(errno));
    }
    return fd;
}

// pread at queue depth 1, buffered (through the page cache) or direct.
PhaseResult RunPread(Bench& bench, const std::string& name, bool direct, uint32_t block, uint64_t span) {
    const int fd = direct ? OpenDirect(bench) : ::open(bench.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Fail(bench.path + ": " + std::strerror(errno));
    }
    void* memory = nullptr;
    if (posix_memalign(&memory, 4096, block) != 0) {
        ::close(fd);
        Fail("out of memory");
    }
    Walk walk{0, span, block};
    Meter meter(name, bench.seconds);
    try {
        while (meter.Running()) {
            const uint64_t offset = walk.Next();
            const Clock::time_point started = Clock::now();
            const ssize_t got = ::pread(fd, memory, block, static_cast<off_t>(offset));
            meter.Record(started, Clock::now(), block);
            CheckRead(bench, memory, offset, got, block, false, "pread");
        }
    } catch (...) {
        std::free(memory);
        ::close(fd);
        throw;
    }
    std::free(memory);
    ::close(fd);
    return meter.Finish();
}

// A plain io_uring loop with O_DIRECT: depth reads always in flight.
PhaseResult RunUring(Bench& bench, const std::string& name, uint32_t depth, uint32_t block) {
    const int fd = OpenDirect(bench);
    io_uring ring{};
    const int setup = io_uring_queue_init(depth, &ring, 0);
    if (setup < 0) {
        ::close(fd);
        Fail(std::string("io_uring: ") + std::strerror(-setup));
    }
    struct Slot {
        void* memory = nullptr;
        uint64_t offset = 0;
        Clock::time_point started;
    };
    std::vector<Slot> slots(depth);
    for (Slot& slot : slots) {
        if (posix_memalign(&slot.memory, 4096, block) != 0) {
            Fail("out of memory");
        }
    }
    Walk walk{0, bench.span, block};
    Meter meter(name, bench.seconds);
    auto submit = [&](uint32_t index) {
        Slot& slot = slots[index];
        slot.offset = walk.Next();
        io_uring_sqe* sqe = io_uring_get_sqe(&ring);
        io_uring_prep_read(sqe, fd, slot.memory, block, slot.offset);
        io_uring_sqe_set_data64(sqe, index);
        slot.started = Clock::now();
    };
    uint32_t inFlight = 0;
    std::string error;
    for (uint32_t i = 0; i < depth; ++i) {
        submit(i);
        ++inFlight;
    }
    io_uring_submit(&ring);
    bool running = true;
    while (inFlight > 0) {
        io_uring_cqe* cqe = nullptr;
        const int waited = io_uring_wait_cqe(&ring, &cqe);
        if (waited < 0) {
            if (waited == -EINTR) {
                continue;
            }
            error = std::string("io_uring wait: ") + std::strerror(-waited);
            break;
        }
        const auto index = static_cast<uint32_t>(io_uring_cqe_get_data64(cqe));
        const int res = cqe->res;
        io_uring_cqe_seen(&ring, cqe);
        --inFlight;
        Slot& slot = slots[index];
        meter.Record(slot.started, Clock::now(), block);
        if (res != static_cast<int>(block)) {
            error = "io_uring read at offset " + std::to_string(slot.offset) + ": " +
                    (res < 0 ? std::strerror(-res) : std::to_string(res) + " bytes");
            running = false;
        } else {
            bench.verifier->Check(slot.memory, slot.offset, block, false);
        }
        if (running && meter.Running()) {
            submit(index);
            ++inFlight;
            io_uring_submit(&ring);
        } else {
            running = false;
        }
    }
    io_uring_queue_exit(&ring);
    ::close(fd);
    for (Slot& slot : slots) {
        std::free(slot.memory);
    }
    if (!error.empty()) {
        Fail(error);
    }
    return meter.Finish();
}

// Asynchronous reads through a library source, depth always in flight; with a cache attached they are
// cached reads.
PhaseResult RunLibraryAsync(Bench& bench, const std::string& name, Tarvos::NativeFileSource* source,
                            uint32_t depth, uint32_t block, uint64_t span) {
    CompletionQueue queue;
    struct Slot {
        Tarvos::Buffer* buffer = nullptr;
        SlotCallback* callback = nullptr;
        uint64_t offset = 0;
        Clock::time_point started;
    };
    std::vector<Slot> slots(depth);
    for (uint32_t i = 0; i < depth; ++i) {
        slots[i].buffer = NewPageBuffer(block);
        slots[i].callback = new SlotCallback(&queue, i, 0);
    }
    Walk walk{0, span, block};
    Meter meter(name, bench.seconds);
    uint32_t inFlight = 0;
    std::string error;
    auto submit = [&](uint32_t index) -> bool {
        Slot& slot = slots[index];
        slot.offset = walk.Next();
        slot.started = Clock::now();
        for (int attempt = 0; attempt < 10000; ++attempt) {
            const Result_t result =
                source->ReadAsync(slot.offset, slot.buffer, slot.callback, Tarvos::Cache::kDueASAP);
            if (result == Tarvos::CacheSource::kResultPending) {
                ++inFlight;
                return true;
            }
            if (result != Tarvos::CacheSource::kResultBusy) {
                error = "read at offset " + std::to_string(slot.offset) + " " + ResultName(result);
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        error = "the engine stayed busy";
        return false;
    };
    bool running = true;
    for (uint32_t i = 0; i < depth && running; ++i) {
        running = submit(i);
    }
    while (inFlight > 0) {
        Completion done;
        if (!queue.Pop(&done)) {
            // Nothing is destroyed while reads may still report: a hang is a hang.
            std::fprintf(stderr, "tarvos bench: %s: no read finished within 30 seconds\n", name.c_str());
            std::_Exit(1);
        }
        --inFlight;
        Slot& slot = slots[done.slot];
        meter.Record(slot.started, done.when, done.bytes);
        if (done.result != Tarvos::CacheSource::kResultSuccess || done.bytes != block) {
            if (error.empty()) {
                error = "read at offset " + std::to_string(slot.offset) + " " + ResultName(done.result) +
                        " with " + std::to_string(done.bytes) + " bytes";
            }
            running = false;
        } else {
            bench.verifier->Check(slot.buffer->GetAddress(), slot.offset, block, true);
        }
        if (running && meter.Running()) {
            running = submit(done.slot);
        } else {
            running = false;
        }
    }
    for (Slot& slot : slots) {
        Release(slot.buffer);
        Release(slot.callback);
    }
    if (!error.empty()) {
        Fail(name + ": " + error);
    }
    return meter.Finish();
}

// The engine-due-order phase (BenchEngineDueOrder.cpp) as a phase of the report, with its own figures:
// the share finished out of due-time order beyond the in-kernel window and the p99 waits of the most
// urgent tenth and of the rest (in the JSON, and on standard error beside the table).
PhaseResult RunEngineDueOrderPhase(Bench& bench, Tarvos::NativeFileSource* source) {
    const double cpuBefore = ProcessCpuMicroseconds();
    const EngineDueOrderFigures figures = RunEngineDueOrder(
        source, bench.span, bench.seconds, [&](const void* data, uint64_t offset, uint32_t length) {
            bench.verifier->Check(data, offset, length, true);
        });
    const double cpu = ProcessCpuMicroseconds() - cpuBefore;
    if (!figures.error.empty()) {
        Fail("engine-due-order: " + figures.error);
    }
    if (!bench.options.json) {
        std::fprintf(stderr,
                     "engine-due-order: %.2f%% of reads out of due-time order beyond the in-kernel window; "
                     "p99 wait %.0f us for the most urgent tenth, %.0f us for the rest\n",
                     figures.outOfOrder * 100, figures.urgentP99, figures.restP99);
    }
    PhaseResult result;
    result.name = "engine-due-order";
    result.mbPerS = figures.mbPerS;
    result.opsPerS = figures.opsPerS;
    result.p50 = figures.p50;
    result.p99 = figures.p99;
    result.max = figures.max;
    // The phase reads for bench.seconds at the rate it reports.
    const double mib = figures.mbPerS * 1e6 / kMiB * bench.seconds;
    result.cpuUsPerMib = mib > 0 ? cpu / mib : 0;
    result.extra = {{"out_of_order_pct", figures.outOfOrder * 100},
                    {"urgent_p99_us", figures.urgentP99},
                    {"rest_p99_us", figures.restP99}};
    return result;
}

// One timed synchronous read of block bytes into the buffer at the walk's next offset, checked; fails the
// phase on a short or failed read.
void ReadOnceSync(Bench& bench, const std::string& name, Tarvos::NativeFileSource* source,
                  Tarvos::Buffer* buffer, uint32_t block, Walk* walk, Meter* meter) {
    const uint64_t offset = walk->Next();
    uint32_t bytes = 0;
    const Clock::time_point started = Clock::now();
    const Result_t result = source->Read(offset, buffer, &bytes);
    meter->Record(started, Clock::now(), bytes);
    if (result != Tarvos::CacheSource::kResultSuccess || bytes != block) {
        Fail(name + ": read at offset " + std::to_string(offset) + " " + ResultName(result) + " with " +
             std::to_string(bytes) + " bytes");
    }
    bench.verifier->Check(buffer->GetAddress(), offset, block, true);
}

// Synchronous reads through a cached source.
PhaseResult RunLibrarySync(Bench& bench, const std::string& name, Tarvos::NativeFileSource* source,
                           uint32_t block, uint64_t span) {
    Tarvos::Buffer* buffer = NewPageBuffer(block);
    Walk walk{0, span, block};
    Meter meter(name, bench.seconds);
    try {
        while (meter.Running()) {
            ReadOnceSync(bench, name, source, buffer, block, &walk, &meter);
        }
    } catch (...) {
        Release(buffer);
        throw;
    }
    Release(buffer);
    return meter.Finish();
}

// Synchronous reads through two sources in turns of kTurnSeconds, each for bench.seconds in all, with a
// meter each that runs only in its turns: the two phases of a ratio see the same moments of a machine
// whose speed changes from one second to the next.
std::pair<PhaseResult, PhaseResult> RunLibrarySyncInTurns(Bench& bench, const std::string& nameA,
                                                          Tarvos::NativeFileSource* sourceA,
                                                          const std::string& nameB,
                                                          Tarvos::NativeFileSource* sourceB, uint32_t block,
                                                          uint64_t span) {
    constexpr double kTurnSeconds = 0.05;
    Tarvos::Buffer* buffer = NewPageBuffer(block);
    Walk walks[2] = {{0, span, block}, {0, span, block}};
    Meter meters[2] = {Meter(nameA, bench.seconds), Meter(nameB, bench.seconds)};
    Tarvos::NativeFileSource* sources[2] = {sourceA, sourceB};
    const std::string* names[2] = {&nameA, &nameB};
    meters[0].Pause();
    meters[1].Pause();
    try {
        for (int turn = 0; meters[0].Running() || meters[1].Running(); turn = 1 - turn) {
            Meter& meter = meters[turn];
            if (!meter.Running()) {
                continue;
            }
            meter.Resume();
            const double turnEnd = meter.Elapsed() + kTurnSeconds;
            while (meter.Running() && meter.Elapsed() < turnEnd) {
                ReadOnceSync(bench, *names[turn], sources[turn], buffer, block, &walks[turn], &meter);
            }
            meter.Pause();
        }
    } catch (...) {
        Release(buffer);
        throw;
    }
    Release(buffer);
    PhaseResult a = meters[0].Finish();
    return {a, meters[1].Finish()};
}

double HitRatio(Tarvos::Cache* cache) {
    const double hits = cache->GetCacheHits();
    const double misses = cache->GetCacheMisses();
    return hits + misses > 0 ? hits / (hits + misses) : 0;
}

// preread-stream-1m: the span front to back in pieces of one cache block, read synchronously through a
// cache with the streaming settings (BenchStreamSettings.h). Each piece is pre-read a window ahead with
// the time the reader will need it as its due time, at the rate the reader has kept so far.
PhaseResult RunPreReadStream(Bench& bench, const std::string& name, uint64_t span) {
    constexpr uint32_t block = kStreamBlockBytes;
    constexpr double kFirstGuessUsPerPiece = 500;  // until the reader has a rate of its own
    const uint64_t cacheBytes = std::min<uint64_t>(kStreamCacheBytes, span / 2) / block * block;
    const uint64_t window = std::min<uint64_t>(kStreamWindowBytes, cacheBytes / 4) / block * block;
    Tarvos::BufferFactory* factory = nullptr;
    Tarvos::Cache* cache = NewCache(block, static_cast<uint32_t>(cacheBytes / block), &factory);
    Tarvos::NativeFileSource* source = nullptr;
    Tarvos::Buffer* buffer = NewPageBuffer(block);
    PhaseResult result;
    try {
        source = OpenSource(bench.path, true, false, cache);
        cache->CollectCacheStats(true);
        cache->ResetCacheStats();
        Walk walk{0, span, block};
        Meter meter(name, bench.seconds);
        const Clock::time_point begin = Clock::now();
        uint64_t position = 0;     // bytes walked so far, not wrapped
        uint64_t preReadNext = 0;  // walk position of the next piece to pre-read
        while (meter.Running()) {
            const uint64_t offset = walk.Next();
            const double usPerPiece =
                position == 0 ? kFirstGuessUsPerPiece
                              : std::chrono::duration<double, std::micro>(Clock::now() - begin).count() /
                                    static_cast<double>(position / block);
            const uint32_t now = Tarvos::MTInterface::GetCurrentTimeMilli();
            while (preReadNext < position + block + window) {
                const double aheadUs = static_cast<double>((preReadNext - position) / block) * usPerPiece;
                // Never kDueASAP (0), which would make it as urgent as anything.
                const uint32_t due = std::max(now + static_cast<uint32_t>(aheadUs / 1000), 1u);
                source->PreRead(preReadNext % span, block, due);
                preReadNext += block;
            }
            position += block;
            uint32_t bytes = 0;
            const Clock::time_point started = Clock::now();
            const Result_t read = source->Read(offset, buffer, &bytes);
            meter.Record(started, Clock::now(), bytes);
            if (read != Tarvos::CacheSource::kResultSuccess || bytes != block) {
                Fail(name + ": read at offset " + std::to_string(offset) + " " + ResultName(read) + " with " +
                     std::to_string(bytes) + " bytes");
            }
            bench.verifier->Check(buffer->GetAddress(), offset, block, true);
        }
        result = meter.Finish();
        result.hitRatio = HitRatio(cache);
    } catch (...) {
        Release(buffer);
        CloseSource(source);
        ReleaseCache(cache, factory);
        throw;
    }
    Release(buffer);
    CloseSource(source);
    ReleaseCache(cache, factory);
    return result;
}

// Reads [0, span) through a cached source in reads of up to chunk bytes, so the cache holds it (untimed).
void Warm(const std::string& name, Tarvos::NativeFileSource* source, uint32_t chunk, uint64_t span) {
    Tarvos::Buffer* buffer = NewPageBuffer(chunk);
    for (uint64_t offset = 0; offset < span; offset += chunk) {
        uint32_t bytes = 0;
        if (source->Read(offset, buffer, &bytes) != Tarvos::CacheSource::kResultSuccess) {
            Release(buffer);
            Fail(name + ": warming the cache failed at offset " + std::to_string(offset));
        }
    }
    Release(buffer);
}

// A fresh cache of cacheBytes in blocks of cacheBlock with one source on the bench's file, closed and
// released when it goes.
class CachedFile {
  public:
    CachedFile(const Bench& bench, uint64_t cacheBytes, uint32_t cacheBlock)
        : cache(NewCache(cacheBlock, static_cast<uint32_t>(cacheBytes / cacheBlock), &factory)) {
        try {
            source = OpenSource(bench.path, true, false, cache);
        } catch (...) {
            ReleaseCache(cache, factory);
            throw;
        }
    }
    ~CachedFile() {
        CloseSource(source);
        ReleaseCache(cache, factory);
    }
    CachedFile(const CachedFile&) = delete;
    CachedFile& operator=(const CachedFile&) = delete;

    // Warms the span (0: nothing) in reads of block bytes, untimed, then starts the statistics afresh.
    void Prepare(const std::string& name, uint64_t span, uint32_t block) {
        if (span != 0) {
            Warm(name, source, block, span);
        }
        cache->CollectCacheStats(true);
        cache->ResetCacheStats();
    }

    Tarvos::BufferFactory* factory = nullptr;
    Tarvos::Cache* cache;
    Tarvos::NativeFileSource* source = nullptr;
};

// A cached phase on a fresh cache of cacheBytes in blocks of cacheBlock: warm runs first (untimed) over
// the span, statistics count only the timed part.
PhaseResult RunCached(Bench& bench, const std::string& name, uint64_t cacheBytes, uint32_t cacheBlock,
                      uint32_t depth, uint32_t block, uint64_t span, bool synchronous, bool warmFirst) {
    CachedFile file(bench, cacheBytes, cacheBlock);
    file.Prepare(name, warmFirst ? span : 0, block);
    PhaseResult result = synchronous ? RunLibrarySync(bench, name, file.source, block, span)
                                     : RunLibraryAsync(bench, name, file.source, depth, block, span);
    result.hitRatio = HitRatio(file.cache);
    return result;
}

// The directory for the bench's scratch files: the sample's own, else $TMPDIR or /var/tmp.
std::string ScratchDirectory(const Bench& bench) {
    if (!bench.sampleDirectory.empty()) {
        return bench.sampleDirectory;
    }
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/var/tmp";
}

// A source on a new file of `bytes` bytes that are all hole: no data is written, and reading it costs no
// device I/O. The file is unnamed (O_TMPFILE, opened by the library through /proc/self/fd), so nothing
// is left behind however the process ends; where the file system has no unnamed files it gets a name
// that is removed as soon as the source holds it open. Either way it lives as long as the source.
Tarvos::NativeFileSource* OpenHoleSource(const std::string& directory, uint64_t bytes, Tarvos::Cache* cache) {
    std::string named;
    int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string pattern = directory + "/tarvos-bench-filler-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) {
            named = name.data();
        }
    }
    if (fd < 0) {
        Fail(directory + ": cannot create a filler file for the large-cache phase: " + Reason(errno));
    }
    Tarvos::NativeFileSource* source = nullptr;
    try {
        if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
            Fail(directory + ": cannot size a filler file of " + std::to_string(bytes / kMiB) +
                 " MiB for the large-cache phase: " + Reason(errno));
        }
        source =
            OpenSource(named.empty() ? "/proc/self/fd/" + std::to_string(fd) : named, true, false, cache);
    } catch (...) {
        if (!named.empty()) {
            ::unlink(named.c_str());
        }
        ::close(fd);
        throw;
    }
    if (!named.empty()) {
        ::unlink(named.c_str());
    }
    ::close(fd);
    return source;
}

// Synchronous reads of block bytes over the span, on a cache of `blocks` blocks of block bytes with every
// block holding data, so the cost of finding a block in a large cache shows. The file fills as much of
// it as it has (its own source, filled last so that its working set is the most recently needed); a
// file of holes (OpenHoleSource) fills the rest, so every block holds a different part of a different
// file. A second pass over the same ranges, untimed, must find every block: otherwise the phase fails.
// buildMs: initialising the factory and constructing the cache. With a smallName, the same reads on a
// cache of twice the span (that phase) are measured in turns with this one (RunLibrarySyncInTurns).
std::vector<PhaseResult> RunLargeCache(Bench& bench, const std::string& name, uint32_t blocks, uint32_t block,
                                       uint64_t span, const std::string& smallName) {
    const Clock::time_point buildStarted = Clock::now();
    Tarvos::BufferFactory* factory = nullptr;
    Tarvos::Cache* cache = NewCache(block, blocks, &factory);
    const double buildMs = std::chrono::duration<double, std::milli>(Clock::now() - buildStarted).count();
    struct Fill {
        Tarvos::NativeFileSource* source;
        uint64_t bytes;
    };
    std::vector<Fill> fills;           // the measured file's first, filled last
    std::vector<PhaseResult> results;  // the small cache's phase first, when there is one
    std::optional<CachedFile> small;
    try {
        const uint64_t total = uint64_t{blocks} * block;
        fills.push_back({OpenSource(bench.path, true, false, cache), std::min(total, bench.span)});
        if (total > fills[0].bytes) {
            const uint64_t rest = total - fills[0].bytes;
            fills.push_back({OpenHoleSource(ScratchDirectory(bench), rest, cache), rest});
        }
        // Reads that tile each fill exactly, so no block beyond it is read.
        const auto fillAll = [&] {
            for (size_t i = fills.size(); i-- > 0;) {
                Warm(name, fills[i].source, static_cast<uint32_t>(std::gcd<uint64_t>(fills[i].bytes, kMiB)),
                     fills[i].bytes);
            }
        };
        // The fill misses once per block (a block read into; a range already held would be a hit,
        // and no block that holds data is taken while an empty one is left): then it read `blocks`
        // different blocks of data. Reading the same ranges again in the same order then finds
        // every one of them (changing no block's place in the reuse order), so all are still held.
        cache->CollectCacheStats(true);
        cache->ResetCacheStats();
        const Clock::time_point fillStarted = Clock::now();
        fillAll();
        const double fillMs = std::chrono::duration<double, std::milli>(Clock::now() - fillStarted).count();
        const uint32_t readIn = cache->GetCacheMisses();
        cache->ResetCacheStats();
        fillAll();
        const uint32_t found = cache->GetCacheHits();
        const uint32_t missed = cache->GetCacheMisses();
        if (cache->GetNumberOfBlocks() != blocks || readIn != blocks || found != blocks || missed != 0) {
            Fail(name + ": not every block holds data: the cache has " +
                 std::to_string(cache->GetNumberOfBlocks()) + " of " + std::to_string(blocks) +
                 " blocks, the fill read " + std::to_string(readIn) + " of them, a second pass found " +
                 std::to_string(found) + " and read " + std::to_string(missed) + " again");
        }
        cache->ResetCacheStats();
        if (smallName.empty()) {
            results.push_back(RunLibrarySync(bench, name, fills[0].source, block, span));
        } else {
            // The small cache's phase, in turns with this one: twice the span in blocks of the same size.
            small.emplace(bench, 2 * span, block);
            small->Prepare(smallName, span, block);
            auto [smallResult, largeResult] =
                RunLibrarySyncInTurns(bench, smallName, small->source, name, fills[0].source, block, span);
            smallResult.hitRatio = HitRatio(small->cache);
            results.push_back(smallResult);
            results.push_back(largeResult);
        }
        PhaseResult& result = results.back();
        result.hitRatio = HitRatio(cache);
        result.buildMs = buildMs;
        result.extra = {{"fill_ms", fillMs}};
    } catch (...) {
        for (const Fill& fill : fills) {
            CloseSource(fill.source);
        }
        ReleaseCache(cache, factory);
        throw;
    }
    for (const Fill& fill : fills) {
        CloseSource(fill.source);
    }
    ReleaseCache(cache, factory);
    return results;
}

void RemoveSample(Bench& bench) {
    if (!bench.sampleDirectory.empty()) {
        ::unlink(bench.path.c_str());
        ::rmdir(bench.sampleDirectory.c_str());
        bench.sampleDirectory.clear();
        KeepOnSignal();
    }
}

// Writes the sample file in a directory of its own; a failure (a full file system) removes both.
void CreateSample(Bench& bench) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/var/tmp") + "/tarvos-bench-XXXXXX";
    std::vector<char> name(dir.begin(), dir.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        Fail(dir + ": " + Reason(errno));
    }
    bench.sampleDirectory = name.data();
    bench.path = bench.sampleDirectory + "/sample.bin";
    RemoveOnSignal(bench.path, bench.sampleDirectory);
    const int fd = ::open(bench.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int saved = errno;
        RemoveSample(bench);
        Fail(bench.path + ": " + Reason(saved));
    }
    std::vector<uint64_t> chunk(kMiB / 8);
    const bool tty = ::isatty(STDERR_FILENO) == 1;
    for (uint64_t offset = 0; offset < bench.options.sampleSize; offset += kMiB) {
        for (size_t i = 0; i < chunk.size(); ++i) {
            chunk[i] = SampleWord(offset + i * 8);
        }
        const ssize_t written = ::pwrite(fd, chunk.data(), kMiB, static_cast<off_t>(offset));
        if (written != static_cast<ssize_t>(kMiB)) {
            const int saved = written < 0 ? errno : ENOSPC;  // a short write: the file system is full
            ::close(fd);
            const std::string path = bench.path;
            RemoveSample(bench);
            Fail(path + ": writing the " + std::to_string(bench.options.sampleSize / kMiB) +
                 " MiB sample: " + Reason(saved) + " (removed it; set TMPDIR or --size)");
        }
        if (tty && offset % (16 * kMiB) == 0) {
            std::fprintf(stderr, "\rwriting sample file %3d%%",
                         static_cast<int>(offset * 100 / bench.options.sampleSize));
        }
    }
    ::fsync(fd);
    ::close(fd);
    if (tty) {
        std::fprintf(stderr, "\r%40s\r", "");
    }
}

// The baseline each library phase is compared with.
std::vector<std::pair<std::string, std::string>> Baselines(uint32_t largeCacheBlocks) {
    return {{"direct-pread-qd1-64k", "buffered-pread-64k"},
            {"engine-qd1-64k", "direct-pread-qd1-64k"},
            {"engine-qd32-64k", "uring-qd32-64k"},
            {"engine-qd32-1m", "uring-qd32-1m"},
            {"cached-cold-1m", "engine-qd32-1m"},
            {"cached-warm-64k", "buffered-pread-64k"},
            {"cached-warm-4k", "buffered-pread-4k"},
            {LargeCachePhaseName(largeCacheBlocks), "cached-warm-4k"},
            {"cached-warm-qd32-64k", "buffered-pread-64k"},
            {"preread-stream-1m", "uring-seq-qd8-1m"}};
}

const PhaseResult* Find(const std::vector<PhaseResult>& results, const std::string& name) {
    for (const PhaseResult& result : results) {
        if (result.name == name) {
            return &result;
        }
    }
    return nullptr;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One result per phase from several rounds: the run with the median rate stands for the phase (its
// latencies and CPU time), with the median rate itself and every round's rate. Ratios are taken
// between medians; their spread between the rounds' own ratios.
struct Summary {
    std::vector<PhaseResult> phases;
    std::vector<std::pair<double, double>> ratioSpread;  // per phase: lowest and highest round ratio
};

Summary Summarise(const std::vector<std::vector<PhaseResult>>& rounds, uint32_t largeCacheBlocks) {
    Summary summary;
    if (rounds.empty()) {
        return summary;
    }
    for (const PhaseResult& first : rounds[0]) {
        std::vector<PhaseResult> runs;
        for (const auto& round : rounds) {
            if (const PhaseResult* found = Find(round, first.name)) {
                runs.push_back(*found);
            }
        }
        std::sort(runs.begin(), runs.end(),
                  [](const PhaseResult& a, const PhaseResult& b) { return a.mbPerS < b.mbPerS; });
        PhaseResult merged = runs[runs.size() / 2];
        std::vector<double> rates;
        for (const auto& round : rounds) {
            if (const PhaseResult* found = Find(round, first.name)) {
                rates.push_back(found->mbPerS);
            }
        }
        merged.mbPerS = Median(rates);
        merged.runs = rates;
        summary.phases.push_back(merged);
    }
    summary.ratioSpread.assign(summary.phases.size(), {-1, -1});
    for (const auto& [name, baseline] : Baselines(largeCacheBlocks)) {
        for (size_t i = 0; i < summary.phases.size(); ++i) {
            PhaseResult& phase = summary.phases[i];
            const PhaseResult* base = Find(summary.phases, baseline);
            if (phase.name != name || base == nullptr) {
                continue;
            }
            phase.baseline = baseline;
            phase.ratio = base->mbPerS > 0 ? phase.mbPerS / base->mbPerS : 0;
            double low = -1;
            double high = -1;
            for (const auto& round : rounds) {
                const PhaseResult* a = Find(round, name);
                const PhaseResult* b = Find(round, baseline);
                if (a != nullptr && b != nullptr && b->mbPerS > 0) {
                    const double ratio = a->mbPerS / b->mbPerS;
                    low = low < 0 ? ratio : std::min(low, ratio);
                    high = std::max(high, ratio);
                }
            }
            summary.ratioSpread[i] = {low, high};
        }
    }
    return summary;
}

// The I/O backend the library runs on, found the way the library chooses it: TARVOS_IO_BACKEND=threads
// asks for worker threads; otherwise io_uring when the kernel sets up a ring that offers the
// operations the engine uses, else worker threads.
struct Backend {
    std::string name;
    std::string reason;
};

Backend FindBackend() {
    const char* setting = std::getenv("TARVOS_IO_BACKEND");
    const std::string asked = setting != nullptr ? setting : "";
    if (asked == "threads") {
        return {"threads", "TARVOS_IO_BACKEND=threads"};
    }
    std::string why;
    io_uring ring{};
    const int setup = io_uring_queue_init(4, &ring, 0);
    if (setup < 0) {
        why = std::string("io_uring_queue_init: ") + Reason(-setup);
    } else {
        io_uring_probe* probe = io_uring_get_probe_ring(&ring);
        if (probe == nullptr) {
            why = "io_uring_get_probe_ring: the kernel cannot list its io_uring operations";
        } else {
            for (int op : {IORING_OP_READ, IORING_OP_WRITE, IORING_OP_READV, IORING_OP_WRITEV,
                           IORING_OP_ASYNC_CANCEL}) {
                if (!io_uring_opcode_supported(probe, op)) {
                    why = "io_uring lacks read, write, readv, writev or async cancel";
                }
            }
            io_uring_free_probe(probe);
        }
        io_uring_queue_exit(&ring);
    }
    if (why.empty()) {
        return {"uring", asked == "uring" ? "TARVOS_IO_BACKEND=uring" : "io_uring available"};
    }
    return {"threads", (asked == "uring" ? "TARVOS_IO_BACKEND=uring, but " : "") + why};
}

// The file system's name from statfs, or its magic number in hex.
std::string FileSystemName(const std::string& path) {
    struct statfs info {};
    if (::statfs(path.c_str(), &info) != 0) {
        return "unknown (" + Reason(errno) + ")";
    }
    const std::pair<uint64_t, const char*> known[] = {
        {0xEF53, "ext4"},        {0x01021994, "tmpfs"}, {0x58465342, "xfs"},     {0x9123683E, "btrfs"},
        {0x794C7630, "overlay"}, {0x6969, "nfs"},       {0x2FC12FC1, "zfs"},     {0xF2F52010, "f2fs"},
        {0x65735546, "fuse"},    {0x858458F6, "ramfs"}, {0x4D44, "vfat"},        {0x5346544E, "ntfs"},
        {0xFF534D42, "cifs"},    {0x01021997, "9p"},    {0x73717368, "squashfs"}};
    for (const auto& [magic, name] : known) {
        if (static_cast<uint64_t>(static_cast<uint32_t>(info.f_type)) == magic) {
            return name;
        }
    }
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(static_cast<uint32_t>(info.f_type)));
    return text;
}

// Whether the file system takes O_DIRECT for the file (EINVAL: it does not).
bool DirectIOHonoured(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    return errno != EINVAL;
}

const char* const kLegend =
    "higher MB/s is better; a ratio is the library's MB/s divided by its baseline's (1.00x: as fast); "
    "cpu us/MiB is the process's CPU time per MiB delivered (lower is better)";

// Seconds each streams method runs: a few seconds in all with --quick.
double StreamsSeconds(const Bench& bench) {
    return bench.options.quick ? 1.5 : 6.0;
}

double Rounded(double value) {
    return std::isfinite(value) ? std::round(value * 1000) / 1000 : 0;
}

nlohmann::ordered_json ToJson(const Bench& bench, const Summary& summary, const Backend& backend) {
    nlohmann::ordered_json phases = nlohmann::ordered_json::array();
    for (size_t i = 0; i < summary.phases.size(); ++i) {
        const PhaseResult& r = summary.phases[i];
        nlohmann::ordered_json phase = {
            {"name", r.name},
            {"mb_per_s", Rounded(r.mbPerS)},
            {"ops_per_s", Rounded(r.opsPerS)},
            {"p50_us", Rounded(r.p50)},
            {"p99_us", Rounded(r.p99)},
            {"max_us", Rounded(r.max)},
            {"hit_ratio",
             r.hitRatio < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(Rounded(r.hitRatio))},
            {"baseline", r.baseline.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.baseline)},
            {"ratio", r.ratio < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(Rounded(r.ratio))},
            {"cpu_us_per_mib", Rounded(r.cpuUsPerMib)}};
        if (r.buildMs >= 0) {
            phase["build_ms"] = Rounded(r.buildMs);
        }
        for (const auto& [key, value] : r.extra) {
            phase[key] = Rounded(value);
        }
        std::vector<double> runs;
        for (double run : r.runs) {
            runs.push_back(Rounded(run));
        }
        phase["runs"] = runs.size();
        phase["mb_per_s_runs"] = runs;
        phase["mb_per_s_min"] = runs.empty() ? 0 : *std::min_element(runs.begin(), runs.end());
        phase["mb_per_s_max"] = runs.empty() ? 0 : *std::max_element(runs.begin(), runs.end());
        if (summary.ratioSpread[i].first >= 0) {
            phase["ratio_min"] = Rounded(summary.ratioSpread[i].first);
            phase["ratio_max"] = Rounded(summary.ratioSpread[i].second);
        }
        phases.push_back(phase);
    }
    nlohmann::ordered_json report = {
        {"legend", kLegend},
        {"file", bench.sample ? nlohmann::ordered_json() : nlohmann::ordered_json(bench.path)},
        {"span_mib", bench.span / kMiB},
        {"seconds_per_phase", bench.seconds},
        {"repeat", bench.options.repeat},
        {"io_backend", {{"name", backend.name}, {"reason", backend.reason}}},
        {"file_system", {{"type", bench.fileSystem}, {"direct_io", !bench.directRefused}}},
        {"phases", phases}};
    AddStreamsJson(bench.streams, &report);
    report["verified_bytes"] = bench.verifier->verifiedBytes;
    report["mismatches"] = bench.verifier->mismatches;
    return report;
}

void PrintTable(const Bench& bench, const Summary& summary, const Backend& backend) {
    std::printf("tarvos bench: %s, %.0f MiB walked, %.1f s per phase, %u run%s of each\n",
                bench.sample ? "sample file" : bench.path.c_str(), static_cast<double>(bench.span) / kMiB,
                bench.seconds, bench.options.repeat, bench.options.repeat == 1 ? "" : "s (median, min-max)");
    std::printf("%s\n", kLegend);
    std::printf("I/O backend: %s (%s); file system: %s, direct I/O %s\n\n", backend.name.c_str(),
                backend.reason.c_str(), bench.fileSystem.c_str(),
                bench.directRefused
                    ? "refused (the direct and io_uring baselines read through the page cache)"
                    : "honoured");
    const bool spread = bench.options.repeat > 1;
    std::printf("%-30s %9s%s %9s %9s %9s %9s %10s %6s  %s\n", "phase", "MB/s",
                spread ? "  MB/s min-max    " : "", "ops/s", "p50 us", "p99 us", "max us", "cpu us/MiB",
                "hits", "vs baseline");
    for (size_t i = 0; i < summary.phases.size(); ++i) {
        const PhaseResult& r = summary.phases[i];
        char hits[16] = "-";
        if (r.hitRatio >= 0) {
            std::snprintf(hits, sizeof hits, "%.0f%%", r.hitRatio * 100);
        }
        char range[48] = "";
        if (spread && !r.runs.empty()) {
            std::snprintf(range, sizeof range, "  %8.1f-%-8.1f",
                          *std::min_element(r.runs.begin(), r.runs.end()),
                          *std::max_element(r.runs.begin(), r.runs.end()));
        }
        std::string versus;
        if (r.ratio >= 0) {
            char text[160];
            std::snprintf(text, sizeof text, "%.2fx %s", r.ratio, r.baseline.c_str());
            versus = text;
            if (spread && summary.ratioSpread[i].first >= 0) {
                std::snprintf(text, sizeof text, " (%.2f-%.2fx)", summary.ratioSpread[i].first,
                              summary.ratioSpread[i].second);
                versus += text;
            }
        }
        std::printf("%-30s %9.1f%s %9.0f %9.1f %9.1f %9.1f %10.0f %6s  %s\n", r.name.c_str(), r.mbPerS, range,
                    r.opsPerS, r.p50, r.p99, r.max, r.cpuUsPerMib, hits, versus.c_str());
    }
    for (const PhaseResult& r : summary.phases) {
        if (r.buildMs >= 0) {
            std::printf("\n%s: factory and cache built in %.0f ms\n", r.name.c_str(), r.buildMs);
        }
    }
    PrintStreams(bench.streams);
    std::printf("\nverified %llu bytes read through the library, %llu mismatches\n",
                static_cast<unsigned long long>(bench.verifier->verifiedBytes),
                static_cast<unsigned long long>(bench.verifier->mismatches));
}

void RunPhases(Bench& bench) {
    const uint64_t span = bench.span;
    // The warm working set, and the cache that holds it.
    const uint64_t warmSpan = std::min<uint64_t>(span / 4, 16 * kMiB);
    const uint64_t warmCache = 2 * warmSpan;
    // The cold cache is smaller than the span, so the walk misses every block (least recently needed
    // goes first); it still holds the 32 MiB that 32 reads of 1 MiB keep in flight.
    const uint64_t coldCache = std::min<uint64_t>(64 * kMiB, span / 2);
    const uint32_t coldDepth = static_cast<uint32_t>(std::min<uint64_t>(32, coldCache / (2 * kMiB)));

    // Each library phase runs right after its baseline, so that the two sides of a ratio are measured
    // close together: this machine's speed drifts by half within a run.
    Tarvos::NativeFileSource* plain = OpenSource(bench.path, true, false, nullptr);
    try {
        if (bench.Wants("uring-qd1-64k"))
            bench.Add(RunUring(bench, "uring-qd1-64k", 1, 64 * kKiB));
        if (bench.Wants("direct-pread-qd1-1m"))
            bench.Add(RunPread(bench, "direct-pread-qd1-1m", true, kMiB, span));
        if (bench.Wants("direct-pread-qd1-64k"))
            bench.Add(RunPread(bench, "direct-pread-qd1-64k", true, 64 * kKiB, span));
        if (bench.Wants("engine-qd1-64k"))
            bench.Add(RunLibraryAsync(bench, "engine-qd1-64k", plain, 1, 64 * kKiB, span));
        if (bench.Wants("uring-qd32-64k"))
            bench.Add(RunUring(bench, "uring-qd32-64k", 32, 64 * kKiB));
        if (bench.Wants("engine-qd32-64k"))
            bench.Add(RunLibraryAsync(bench, "engine-qd32-64k", plain, 32, 64 * kKiB, span));
        if (bench.Wants("uring-qd32-1m"))
            bench.Add(RunUring(bench, "uring-qd32-1m", 32, kMiB));
        if (bench.Wants("engine-qd32-1m"))
            bench.Add(RunLibraryAsync(bench, "engine-qd32-1m", plain, 32, kMiB, span));
        if (bench.Wants("cached-cold-1m"))
            bench.Add(RunCached(bench, "cached-cold-1m", coldCache, kCacheBlock, coldDepth, kMiB, span, false,
                                false));
        if (bench.Wants("engine-due-order"))
            bench.Add(RunEngineDueOrderPhase(bench, plain));
    } catch (...) {
        CloseSource(plain);
        throw;
    }
    CloseSource(plain);
    if (bench.Wants("buffered-pread-64k"))
        bench.Add(RunPread(bench, "buffered-pread-64k", false, 64 * kKiB, warmSpan));
    if (bench.Wants("cached-warm-64k"))
        bench.Add(
            RunCached(bench, "cached-warm-64k", warmCache, kCacheBlock, 1, 64 * kKiB, warmSpan, true, true));
    if (bench.Wants("cached-warm-qd32-64k"))
        bench.Add(RunCached(bench, "cached-warm-qd32-64k", warmCache, kCacheBlock, 32, 64 * kKiB, warmSpan,
                            false, true));
    if (bench.Wants("uring-seq-qd8-1m"))
        bench.Add(RunUring(bench, "uring-seq-qd8-1m", 8, kMiB));
    if (bench.Wants("preread-stream-1m"))
        bench.Add(RunPreReadStream(bench, "preread-stream-1m", span));
}

// The 4 KiB phases: buffered-pread-4k, then cached-warm-4k and the large cache's phase in turns, so that
// each ratio's two sides are measured close together (this machine's speed drifts by half within a run,
// at times within a second). They run after every other phase and the streams: on a virtual machine whose
// host takes back the memory a guest frees, freeing the large cache's gigabyte slows whatever reads next for
// a second or two, whichever way it reads.
void RunFourKiBPhases(Bench& bench) {
    const uint64_t warm4kCache = 2 * kWarm4kSpan;  // the working set, on a cache of twice its size
    if (bench.Wants("buffered-pread-4k"))
        bench.Add(RunPread(bench, "buffered-pread-4k", false, 4 * kKiB, kWarm4kSpan));
    const std::string large = LargeCachePhaseName(bench.options.largeCacheBlocks);
    const bool small = bench.Wants("cached-warm-4k");
    if (bench.Wants(large)) {
        // The large cache's ratio is to cached-warm-4k: the two run in turns.
        for (const PhaseResult& result : RunLargeCache(bench, large, bench.options.largeCacheBlocks, 4 * kKiB,
                                                       kWarm4kSpan, small ? "cached-warm-4k" : "")) {
            bench.Add(result);
        }
    } else if (small) {
        bench.Add(
            RunCached(bench, "cached-warm-4k", warm4kCache, 4 * kKiB, 1, 4 * kKiB, kWarm4kSpan, true, true));
    }
}

}  // namespace

int RunBench(const BenchOptions& options) {
    Bench bench;
    bench.options = options;
    if (!bench.options.file.empty() && bench.options.sampleSize != 0) {
        FailUsage("--size applies to the sample file only, not to FILE");
    }
    if (bench.options.sampleSize == 0) {
        bench.options.sampleSize = bench.options.quick ? 128ull * kMiB : 2048ull * kMiB;
    }
    bench.options.sampleSize = bench.options.sampleSize / kMiB * kMiB;
    bench.seconds = bench.options.quick ? 0.8 : 3.0;

    StartLibrary();
    int status = 0;
    try {
        if (bench.options.file.empty()) {
            bench.sample = true;
            CreateSample(bench);
            bench.span = bench.options.sampleSize;
        } else {
            bench.path = bench.options.file;
            const uint64_t size = CheckReadableFile(bench.path);
            bench.span = size / kMiB * kMiB;
            if (bench.span < 64ull * kMiB) {
                Fail(bench.path + ": too small for the bench (at least 64 MiB)");
            }
        }
        bench.fileSystem = FileSystemName(bench.path);
        bench.directRefused = !DirectIOHonoured(bench.path);
        // --streams: the streams and the baseline they are measured against, nothing else.
        const bool streams = bench.options.streams || bench.Wants("streams");
        if (bench.options.streams) {
            bench.options.only = "uring-seq-qd8-1m";
        }
        const Backend backend = FindBackend();
        Verifier verifier(bench.sample, bench.path);
        bench.verifier = &verifier;
        std::vector<std::vector<PhaseResult>> rounds;
        for (uint32_t round = 0; round < bench.options.repeat; ++round) {
            bench.results.clear();
            RunPhases(bench);
            rounds.push_back(bench.results);
        }
        std::vector<PhaseResult> ownBaseline;  // the streams' baseline when no phase measured it
        if (streams) {
            // The rate the streams are a share of, from this run: the phases' median, else its own run.
            const Summary phases = Summarise(rounds, bench.options.largeCacheBlocks);
            const PhaseResult* baseline = Find(phases.phases, "uring-seq-qd8-1m");
            if (baseline == nullptr) {
                ownBaseline.push_back(RunUring(bench, "uring-seq-qd8-1m", 8, kMiB));
                baseline = &ownBaseline.back();
            }
            std::mutex lock;  // the verifier is not thread-safe
            StreamsPlan plan;
            plan.path = bench.path;
            plan.span = bench.span;
            plan.baselineMbPerS = baseline->mbPerS;
            plan.loadShare = bench.options.streamsLoad;
            plan.seconds = StreamsSeconds(bench);
            bench.streams =
                RunStreams(plan, [&](const void* data, uint64_t offset, uint32_t length, bool library) {
                    std::lock_guard<std::mutex> hold(lock);
                    verifier.Check(data, offset, length, library);
                });
        }
        for (uint32_t round = 0; round < bench.options.repeat; ++round) {
            bench.results.clear();
            RunFourKiBPhases(bench);
            rounds[round].insert(rounds[round].end(), bench.results.begin(), bench.results.end());
        }
        Summary summary = Summarise(rounds, bench.options.largeCacheBlocks);
        for (const PhaseResult& phase : ownBaseline) {
            summary.phases.push_back(phase);
            summary.ratioSpread.push_back({-1, -1});
        }
        if (bench.options.json) {
            std::printf("%s\n", ToJson(bench, summary, backend).dump(2).c_str());
        } else {
            PrintTable(bench, summary, backend);
        }
        if (verifier.mismatches > 0) {
            std::fprintf(stderr, "tarvos bench: %s\n", verifier.firstMismatch.c_str());
            status = 1;
        }
    } catch (...) {
        RemoveSample(bench);
        throw;
    }
    RemoveSample(bench);
    return status;
}

}  // namespace TarvosTool
