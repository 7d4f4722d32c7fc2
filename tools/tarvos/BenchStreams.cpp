// The streams' shared parts: the schedule every method follows, the lateness tally and the device
// read counter.
#include "BenchStreams.h"

#include <algorithm>
#include <fstream>
#include <string>

#include "Tarvos/MTInterface.h"

namespace TarvosTool {

StreamSchedule::StreamSchedule(const StreamsPlan& plan) {
    const double bytesPerSecond = plan.baselineMbPerS * 1e6 * plan.loadShare / kStreamReaders;
    period = std::chrono::nanoseconds(static_cast<int64_t>(kStreamPieceBytes / bytesPerSecond * 1e9));
    piecesPerReader = std::max<uint64_t>(1, static_cast<uint64_t>(plan.seconds * 1e9 / period.count()));
    regionBytes = plan.span / kStreamReaders / kStreamPieceBytes * kStreamPieceBytes;
    regionPieces = regionBytes / kStreamPieceBytes;
    beginMs = Tarvos::MTInterface::GetCurrentTimeMilli();
    begin = Clock::now();
    start = begin + kStreamsLead;
}

StreamSchedule::Clock::time_point StreamSchedule::Due(uint32_t reader, uint64_t piece) const {
    const auto stagger = period * reader / kStreamReaders;
    return start + stagger + period * static_cast<int64_t>(piece);
}

uint64_t StreamSchedule::Offset(uint32_t reader, uint64_t piece) const {
    return reader * regionBytes + (piece % regionPieces) * kStreamPieceBytes;
}

uint32_t StreamSchedule::LibraryDue(Clock::time_point when) const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - begin).count();
    const uint32_t due = beginMs + static_cast<uint32_t>(std::max<int64_t>(ms, 0));
    return std::max(due, 1u);  // never kDueASAP, which would outrank everything
}

StreamSchedule::Clock::time_point StreamSchedule::AskFrom(uint32_t reader, uint64_t piece) const {
    return piece <= kStreamAheadPieces ? begin : Due(reader, piece - kStreamAheadPieces - 1);
}

bool StreamSchedule::MayAsk(uint32_t reader, uint64_t piece, uint64_t consumed, Clock::time_point now) const {
    return piece < piecesPerReader && piece <= consumed + kStreamAheadPieces && AskFrom(reader, piece) <= now;
}

StreamSchedule::Clock::time_point StreamSchedule::End() const {
    return Due(kStreamReaders - 1, piecesPerReader - 1);
}

void LateTally::Add(StreamSchedule::Clock::time_point due, StreamSchedule::Clock::time_point arrived) {
    const double late = std::chrono::duration<double, std::milli>(arrived - due).count();
    if (late > 0) {
        ++misses;
    }
    lateMs.push_back(std::max(late, 0.0));
}

void LateTally::Merge(const LateTally& other) {
    lateMs.insert(lateMs.end(), other.lateMs.begin(), other.lateMs.end());
    misses += other.misses;
}

void LateTally::Fill(StreamsFigures* figures) const {
    figures->pieces = lateMs.size();
    figures->misses = misses;
    if (lateMs.empty()) {
        return;
    }
    std::vector<double> sorted = lateMs;
    std::sort(sorted.begin(), sorted.end());
    figures->missPct = 100.0 * static_cast<double>(misses) / static_cast<double>(sorted.size());
    figures->lateP99Ms = sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
    figures->lateMaxMs = sorted.back();
}

int64_t DeviceReadBytes() {
    std::ifstream io("/proc/self/io");
    std::string key;
    int64_t value = 0;
    while (io >> key >> value) {
        if (key == "read_bytes:") {
            return value;
        }
    }
    return -1;
}

void FillStreamsFigures(StreamsFigures* figures, const StreamSchedule& schedule,
                        const std::vector<LateTally>& tallies, const std::vector<std::string>& errors,
                        uint64_t randomReads, int64_t deviceBefore) {
    const int64_t deviceAfter = DeviceReadBytes();
    LateTally all;
    for (const LateTally& tally : tallies) {
        all.Merge(tally);
    }
    all.Fill(figures);
    figures->randomReads = randomReads;
    const double seconds = std::chrono::duration<double>(schedule.End() - schedule.begin).count();
    figures->randomOpsPerS = static_cast<double>(randomReads) / seconds;
    figures->deviceMib = deviceBefore < 0 || deviceAfter < 0
                             ? -1
                             : static_cast<double>(deviceAfter - deviceBefore) / (1024.0 * 1024);
    for (const std::string& error : errors) {
        if (!error.empty() && figures->error.empty()) {
            figures->error = error;
        }
    }
}

}  // namespace TarvosTool
