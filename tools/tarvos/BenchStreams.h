// tarvos bench's streams: eight readers each consume their own region of one file at a fixed rate, one
// piece at a time, each piece due when it is consumed, beside one random reader that reads as fast as
// it can with a later due time. Three ways of reading run on the same file, one after the other:
//   tarvos      the library: one cache shared by every reader (BenchStreamSettings.h), a pre-read
//               window per reader with due times, reads through the cache (BenchStreamsLibrary.cpp)
//   edf-direct  a plain io_uring loop, direct reads in flight issued earliest due first across every
//               reader (BenchStreamsEdf.cpp)
//   buffered    pread per reader thread, posix_fadvise(WILLNEED) a window ahead and DONTNEED behind,
//               on a page cache dropped first (BenchStreamsBuffered.cpp)
// Each Run function blocks until every thread it started has ended and every read it made has finished.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace TarvosTool {

constexpr uint32_t kStreamReaders = 8;
constexpr uint32_t kStreamPieceBytes = 1024 * 1024;
// Pieces a reader asks for ahead of the one it reads next (pre-reads, WILLNEED, or eligibility for the
// io_uring loop): the same for every method.
constexpr uint32_t kStreamAheadPieces = 4;
constexpr uint32_t kRandomReadBytes = 64 * 1024;
constexpr uint32_t kRandomDueMs = 500;    // the random reader's due time: this far after it asks
constexpr uint32_t kStreamsInFlight = 8;  // the io_uring loop's reads in flight
// Readers start asking this long before their first piece is due, so the first pieces can arrive.
constexpr std::chrono::milliseconds kStreamsLead{50};

// What every method is given.
struct StreamsPlan {
    std::string path;
    uint64_t span = 0;          // bytes of the file the readers share out, whole pieces
    double baselineMbPerS = 0;  // the sequential baseline the readers' rates are a share of
    double loadShare = 0;       // the readers' rates add up to this share of the baseline (above 0)
    double seconds = 0;         // how long each reader consumes
    // Given every piece and random block read, with its offset and length; called from any thread.
    std::function<void(const void*, uint64_t, uint32_t)> check;
};

// What one method achieved.
struct StreamsFigures {
    std::string method;
    uint64_t pieces = 0;  // pieces consumed, all readers
    uint64_t misses = 0;  // of those, arrived after their due time
    double missPct = 0;
    double lateP99Ms = 0;  // 99th percentile of lateness over every piece (0 for one on time)
    double lateMaxMs = 0;
    uint64_t randomReads = 0;
    double randomOpsPerS = 0;
    double deviceMib = 0;  // MiB the process read from the device while the method ran; -1: unknown
    double cpuCores = 0;   // the process's CPU time while the method ran, over its length
    std::string note;      // what the figures should be read with, e.g. a page cache not dropped
    std::string error;     // empty when every read succeeded
};

// When each reader's pieces are due and where they lie. Reader r owns region r of the span and
// consumes its piece n at Due(r, n) = start + (r / readers + n) * period; its rate is the baseline's
// share divided among the readers.
class StreamSchedule {
  public:
    using Clock = std::chrono::steady_clock;
    explicit StreamSchedule(const StreamsPlan& plan);

    Clock::time_point begin;            // when the readers start asking
    Clock::time_point start;            // when the first piece is due
    uint32_t beginMs = 0;               // MTInterface::GetCurrentTimeMilli() at begin
    std::chrono::nanoseconds period{};  // one piece at one reader's rate
    uint64_t piecesPerReader = 0;       // pieces each reader consumes
    uint64_t regionPieces = 0;          // pieces in a reader's region; the reader wraps around it

    Clock::time_point Due(uint32_t reader, uint64_t piece) const;
    uint64_t Offset(uint32_t reader, uint64_t piece) const;
    // The library's due time (milliseconds, never kDueASAP) for a moment of the schedule.
    uint32_t LibraryDue(Clock::time_point when) const;
    // When the reader may first ask for the piece by the schedule: when the piece kStreamAheadPieces + 1
    // before it is due (from the beginning for the first ones).
    Clock::time_point AskFrom(uint32_t reader, uint64_t piece) const;
    // Whether the reader, having consumed `consumed` pieces, may ask for the piece now: once it has
    // consumed the piece kStreamAheadPieces + 1 before it, and not before the schedule's AskFrom. A
    // reader that falls behind thus asks no further ahead of what it consumes than one on time does.
    bool MayAsk(uint32_t reader, uint64_t piece, uint64_t consumed, Clock::time_point now) const;
    Clock::time_point End() const;  // the last piece's due time

  private:
    uint64_t regionBytes = 0;
};

// Lateness of the pieces one reader (or the loop standing in for them) consumed.
class LateTally {
  public:
    void Add(StreamSchedule::Clock::time_point due, StreamSchedule::Clock::time_point arrived);
    void Merge(const LateTally& other);
    // Fills pieces, misses, missPct, lateP99Ms and lateMaxMs.
    void Fill(StreamsFigures* figures) const;

  private:
    std::vector<double> lateMs;  // one per piece, 0 when on time
    uint64_t misses = 0;
};

// Bytes this process has read from storage so far (/proc/self/io read_bytes: direct reads, and page
// cache fills it caused); -1 when the kernel does not say.
int64_t DeviceReadBytes();

// Fills the figures once a method's threads have ended: lateness from the readers' tallies, the first
// error, the random reader's rate over the schedule, and the device reads since deviceBefore.
void FillStreamsFigures(StreamsFigures* figures, const StreamSchedule& schedule,
                        const std::vector<LateTally>& tallies, const std::vector<std::string>& errors,
                        uint64_t randomReads, int64_t deviceBefore);

StreamsFigures RunStreamsLibrary(const StreamsPlan& plan);
StreamsFigures RunStreamsEdfDirect(const StreamsPlan& plan);
StreamsFigures RunStreamsBuffered(const StreamsPlan& plan);

}  // namespace TarvosTool
