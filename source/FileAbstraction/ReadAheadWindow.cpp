// The rate is the bytes the recent sequential reads advanced over the time between the first and the
// last of them being made; a piece at distance d past the last read's end is due d / rate after that
// read is: its due time, or when it was made for a read due as soon as possible. (Due times alone would
// not do for the rate: a reader may give some reads one and others none.)
//
// | state                  | a read that follows on                      | any other read   |
// | no read seen           | (every read is "other")                     | starts a pattern |
// | pattern, window 0      | window = max(2 blocks, read size), hand out | new pattern      |
// | pattern, window > 0    | window doubled up to the cap, hand out      | new pattern      |
#include "FileAbstraction/ReadAheadWindow.h"

#include <algorithm>

#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {

// Larger windows are not useful and keep every piece's size within 32 bits.
constexpr uint64_t kLargestWindow = 1024ull * 1024 * 1024;
// A piece is never due further ahead than this: a reader that almost stalled gives a tiny rate, and a
// block filled ahead is kept until its due time.
constexpr uint64_t kLatestDueMs = 5 * 1000;

uint64_t RoundUp(uint64_t value, uint64_t unit) {
    return (value + unit - 1) / unit * unit;
}

uint64_t RoundDown(uint64_t value, uint64_t unit) {
    return value / unit * unit;
}

}  // namespace

ReadAheadWindow::ReadAheadWindow() : lock(MTInterface::NewCritSec()) {}

ReadAheadWindow::~ReadAheadWindow() {
    delete lock;
}

void ReadAheadWindow::ResetLocked(uint64_t end) {
    lastEnd = end;
    window = 0;
    requestedUntil = end;
    sampleStart = 0;
    sampleCount = 0;
}

void ReadAheadWindow::Reset() {
    MTCritSecHold hold(lock);
    started = false;
    ResetLocked(0);
}

ReadAheadWindow::Plan ReadAheadWindow::OnRead(uint64_t offset, uint32_t size, uint32_t dueTime, uint32_t now,
                                              uint32_t blockSize, uint64_t cap) {
    Plan plan;
    if (size == 0 || blockSize == 0) {
        return plan;
    }
    const uint64_t end = offset + size;
    const uint64_t largest = RoundDown(std::min(cap, kLargestWindow), blockSize);
    const uint32_t when = dueTime != kDueASAP ? dueTime : now;

    MTCritSecHold hold(lock);
    const bool followsOn = started && offset + blockSize > lastEnd && offset < lastEnd + blockSize;
    if (!followsOn) {
        started = true;
        ResetLocked(end);
    } else {
        lastEnd = std::max(lastEnd, end);
    }
    // Sample the reader's progress.
    if (sampleCount < kRateSamples) {
        const uint32_t slot = (sampleStart + sampleCount) % kRateSamples;
        sampleEnd[slot] = lastEnd;
        sampleTime[slot] = now;
        ++sampleCount;
    } else {
        sampleEnd[sampleStart] = lastEnd;
        sampleTime[sampleStart] = now;
        sampleStart = (sampleStart + 1) % kRateSamples;
    }
    if (!followsOn) {
        return plan;
    }
    if (largest == 0) {
        window = 0;
        return plan;
    }
    window = window == 0 ? std::max<uint64_t>(2ull * blockSize, RoundUp(size, blockSize)) : window * 2;
    window = std::min(window, largest);

    const uint64_t from = std::max(requestedUntil, RoundUp(lastEnd, blockSize));
    const uint64_t to = RoundDown(lastEnd + window, blockSize);
    if (to <= from) {
        return plan;
    }
    requestedUntil = to;

    const uint32_t oldest = sampleStart;
    const uint32_t newest = (sampleStart + sampleCount - 1) % kRateSamples;
    const uint64_t advanced = sampleEnd[newest] - sampleEnd[oldest];
    // Unsigned difference: correct across the clock's wrap.
    const uint64_t elapsed = static_cast<uint32_t>(sampleTime[newest] - sampleTime[oldest]);
    const bool rateKnown = advanced > 0 && elapsed > 0 && elapsed < 0x80000000u;

    uint64_t pieceSize = to - from;
    if (rateKnown) {
        pieceSize =
            std::max<uint64_t>(blockSize, RoundUp((to - from + kMaxPieces - 1) / kMaxPieces, blockSize));
    }
    for (uint64_t at = from; at < to && plan.count < kMaxPieces; at += pieceSize) {
        Piece& piece = plan.pieces[plan.count++];
        piece.offset = at;
        piece.size = static_cast<uint32_t>(std::min(pieceSize, to - at));
        piece.dueTime = kDueASAP;
        if (rateKnown) {
            const uint64_t delay = std::min((at - lastEnd) * elapsed / advanced, kLatestDueMs);
            piece.dueTime = when + static_cast<uint32_t>(delay);
            if (piece.dueTime == kDueASAP) {
                piece.dueTime = 1;  // a real time that happens to be 0 on the wrapping clock
            }
        }
    }
    return plan;
}

uint64_t ReadAheadWindow::GetWindow() {
    MTCritSecHold hold(lock);
    return window;
}

uint64_t ReadAheadWindow::GetAhead() {
    MTCritSecHold hold(lock);
    return requestedUntil > lastEnd ? requestedUntil - lastEnd : 0;
}

}  // namespace Tarvos
