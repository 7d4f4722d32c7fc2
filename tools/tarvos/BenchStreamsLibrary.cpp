// The streams' tarvos method: every reader has its own source on the file, all attached to one cache
// with the streaming settings. A reader keeps its pre-reads kStreamAheadPieces ahead, each due when
// its piece will be consumed, and reads each piece asynchronously with the piece's due time once it has
// consumed the one before, waiting for it. The random reader reads through its own source on the same
// file without a cache (small random reads do not belong in a cache of 1 MiB blocks), one read at a
// time, due kRandomDueMs after it asks.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchStreamSettings.h"
#include "BenchStreams.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/Cache.h"
#include "Tarvos/NativeFileSource.h"
#include "ToolCommon.h"

namespace TarvosTool {

namespace {

using SteadyClock = StreamSchedule::Clock;

static_assert(kStreamPieceBytes == kStreamBlockBytes, "a piece is one cache block");

// One read of buffer's size at offset, due at due; waits for it. Empty when it delivered every byte.
std::string ReadAndWait(Tarvos::NativeFileSource* source, CompletionQueue* queue, SlotCallback* callback,
                        Tarvos::Buffer* buffer, uint64_t offset, uint32_t length, uint32_t due,
                        SteadyClock::time_point* arrived) {
    Result_t result = Tarvos::CacheSource::kResultBusy;
    for (int attempt = 0; attempt < 10000 && result == Tarvos::CacheSource::kResultBusy; ++attempt) {
        result = source->ReadAsync(offset, buffer, callback, due);
        if (result == Tarvos::CacheSource::kResultBusy) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    if (result != Tarvos::CacheSource::kResultPending) {
        return "read at offset " + std::to_string(offset) + " " + ResultName(result);
    }
    Completion done;
    if (!queue->Pop(&done)) {
        // Nothing is destroyed while a read may still report: a hang is a hang.
        std::fprintf(stderr, "tarvos bench: streams (tarvos): no read finished within 30 seconds\n");
        std::_Exit(1);
    }
    *arrived = done.when;
    if (done.result != Tarvos::CacheSource::kResultSuccess || done.bytes != length) {
        return "read at offset " + std::to_string(offset) + " " + ResultName(done.result) + " with " +
               std::to_string(done.bytes) + " bytes";
    }
    return std::string();
}

void StreamReader(const StreamsPlan& plan, const StreamSchedule& schedule, uint32_t reader,
                  Tarvos::NativeFileSource* source, LateTally* tally, std::string* error) {
    CompletionQueue queue;
    auto* callback = new SlotCallback(&queue, reader, 0);
    Tarvos::Buffer* buffer = NewPageBuffer(kStreamPieceBytes);
    uint64_t asked = 0;  // pieces pre-read so far
    for (uint64_t piece = 0; piece < schedule.piecesPerReader && error->empty(); ++piece) {
        std::this_thread::sleep_until(piece == 0 ? schedule.begin : schedule.Due(reader, piece - 1));
        const SteadyClock::time_point now = SteadyClock::now();
        while (schedule.MayAsk(reader, asked, piece, now)) {
            source->PreRead(schedule.Offset(reader, asked), kStreamPieceBytes,
                            schedule.LibraryDue(schedule.Due(reader, asked)));
            ++asked;
        }
        const uint64_t offset = schedule.Offset(reader, piece);
        SteadyClock::time_point arrived;
        *error = ReadAndWait(source, &queue, callback, buffer, offset, kStreamPieceBytes,
                             schedule.LibraryDue(schedule.Due(reader, piece)), &arrived);
        if (error->empty()) {
            tally->Add(schedule.Due(reader, piece), arrived);
            plan.check(buffer->GetAddress(), offset, kStreamPieceBytes);
        }
    }
    Release(buffer);
    Release(callback);
}

void RandomReader(const StreamsPlan& plan, const StreamSchedule& schedule, Tarvos::NativeFileSource* source,
                  uint64_t* reads, std::string* error) {
    CompletionQueue queue;
    auto* callback = new SlotCallback(&queue, 0, 0);
    Tarvos::Buffer* buffer = NewPageBuffer(kRandomReadBytes);
    std::mt19937_64 random(20261208);
    const uint64_t blocks = plan.span / kRandomReadBytes;
    while (error->empty() && SteadyClock::now() < schedule.End()) {
        const uint64_t offset = random() % blocks * kRandomReadBytes;
        const uint32_t due =
            schedule.LibraryDue(SteadyClock::now() + std::chrono::milliseconds(kRandomDueMs));
        SteadyClock::time_point arrived;
        *error = ReadAndWait(source, &queue, callback, buffer, offset, kRandomReadBytes, due, &arrived);
        if (error->empty()) {
            ++*reads;
            plan.check(buffer->GetAddress(), offset, kRandomReadBytes);
        }
    }
    Release(buffer);
    Release(callback);
}

}  // namespace

StreamsFigures RunStreamsLibrary(const StreamsPlan& plan) {
    StreamsFigures figures;
    figures.method = "tarvos";
    const uint64_t cacheBytes = std::min<uint64_t>(kStreamCacheBytes, plan.span / 2);
    const int64_t deviceBefore = DeviceReadBytes();
    Tarvos::BufferFactory* factory = nullptr;
    Tarvos::Cache* cache =
        NewCache(kStreamBlockBytes, static_cast<uint32_t>(cacheBytes / kStreamBlockBytes), &factory);
    std::vector<Tarvos::NativeFileSource*> sources;
    try {
        for (uint32_t i = 0; i < kStreamReaders; ++i) {
            sources.push_back(OpenSource(plan.path, true, false, cache));
        }
        // Small random reads skip the cache of large blocks (the guide's advice): a 64 KiB read would
        // fill, and evict, a whole 1 MiB block. They still go through the library's engine, ordered by
        // their later due time among the streams' reads.
        sources.push_back(OpenSource(plan.path, true, false, nullptr));
    } catch (...) {
        for (Tarvos::NativeFileSource* source : sources) {
            CloseSource(source);
        }
        ReleaseCache(cache, factory);
        throw;
    }
    const StreamSchedule schedule(plan);
    std::vector<LateTally> tallies(kStreamReaders);
    std::vector<std::string> errors(kStreamReaders + 1);
    uint64_t randomReads = 0;
    std::vector<std::thread> threads;
    for (uint32_t r = 0; r < kStreamReaders; ++r) {
        threads.emplace_back(StreamReader, std::cref(plan), std::cref(schedule), r, sources[r], &tallies[r],
                             &errors[r]);
    }
    threads.emplace_back(RandomReader, std::cref(plan), std::cref(schedule), sources[kStreamReaders],
                         &randomReads, &errors[kStreamReaders]);
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (Tarvos::NativeFileSource* source : sources) {
        CloseSource(source);
    }
    ReleaseCache(cache, factory);
    FillStreamsFigures(&figures, schedule, tallies, errors, randomReads, deviceBefore);
    return figures;
}

}  // namespace TarvosTool
