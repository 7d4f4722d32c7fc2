// The read-ahead of one file source: it watches the source's reads and, while they follow each other
// (each one starts less than a block away from where the last one ended), keeps a window of pre-reads
// ahead of the reader. The window starts at two blocks (or the read's size, when larger) with the second
// read that follows on, doubles with every further one, and never exceeds the cap the caller passes. A
// read that breaks the pattern drops the window until two reads follow each other again. Every byte
// ahead is asked for once: the window only ever hands out what lies past what it handed out before.
// A piece is due when the reader is expected to reach it, from the rate at which its recent reads
// advanced (kDueASAP while no rate is known). Any thread may call it; it only plans, and the caller
// makes the pre-reads after OnRead has returned, with no lock of the window held. Internal.
#pragma once

#include <cstdint>

namespace Tarvos {

class MTCritSec;

class ReadAheadWindow {
  public:
    static constexpr uint32_t kDueASAP = 0;
    static constexpr uint32_t kMaxPieces = 8;
    // How many recent sequential reads the consumption rate is measured over: few, so that a reader
    // that speeds up after a slow start soon gets the earlier due times it needs (a block is kept until
    // its due time, so one due too late stays taken after it has been read).
    static constexpr uint32_t kRateSamples = 4;

    struct Piece {
        uint64_t offset;
        uint32_t size;
        uint32_t dueTime;
    };
    // The pre-reads one read calls for: consecutive pieces, block-aligned, none handed out before.
    struct Plan {
        Piece pieces[kMaxPieces];
        uint32_t count = 0;
    };

    // Requires: the library is started (the window makes its lock).
    ReadAheadWindow();
    ~ReadAheadWindow();
    ReadAheadWindow(const ReadAheadWindow&) = delete;
    ReadAheadWindow& operator=(const ReadAheadWindow&) = delete;

    // Notes a read of size bytes at offset, due at dueTime (kDueASAP: as soon as possible) and made at
    // now (milliseconds of the same clock), and returns the pre-reads to make for it. blockSize is the
    // cache's block size; cap the largest window in bytes (rounded down to whole blocks; below one block
    // there is no read-ahead). A size of 0 or a block size of 0 changes nothing.
    Plan OnRead(uint64_t offset, uint32_t size, uint32_t dueTime, uint32_t now, uint32_t blockSize,
                uint64_t cap);
    // Forgets the pattern and everything handed out: the next reads start a new window.
    void Reset();

    // The current window size in bytes (0 while there is no read-ahead).
    uint64_t GetWindow();
    // How far the pre-reads handed out reach past the end of the last read, in bytes.
    uint64_t GetAhead();

  private:
    void ResetLocked(uint64_t end);

    MTCritSec* lock;  // owned; guards the fields below; a leaf: nothing else is taken or called inside it
    bool started = false;         // a read has been seen since the last reset
    uint64_t lastEnd = 0;         // end of the furthest sequential read
    uint64_t window = 0;          // bytes kept ahead of lastEnd; 0 while the pattern does not hold
    uint64_t requestedUntil = 0;  // everything before this (from lastEnd on) has been handed out
    // The ends of the last sequential reads and when they were made, oldest at sampleStart (a ring).
    uint64_t sampleEnd[kRateSamples] = {};
    uint32_t sampleTime[kRateSamples] = {};
    uint32_t sampleStart = 0;
    uint32_t sampleCount = 0;
};

}  // namespace Tarvos
