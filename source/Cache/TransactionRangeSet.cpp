#include "Cache/TransactionRangeSet.h"

#include <algorithm>
#include <new>

#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/CacheSource.h"
#include "Tarvos/MTInterface.h"

// States of a set:
//
//   Open      finished false; bytes move open -> taken (GetRangeToComplete, Reserve), taken -> open
//             (ReturnRange) and open/taken -> completed (Complete with success or partial).
//   Finished  finished true, result fixed; entered by the Complete that decides the result, which also
//             tells the listener (after the lock is left). Nothing is handed out and nothing changes until
//             Reset.
//
// Result merging in Complete, by incoming result:
//   success     becomes the result only while there is none
//   partial     replaces none, success and end of file
//   cancelled   finishes at once with no bytes
//   end of file finishes at once with no bytes when nothing was reported before; otherwise replaces
//               none, success and partial and waits for the completed data to form one run from 0
//   failed      finishes at once with no bytes
// Coverage: while open, the set finishes once the completed data is one run from 0 and that run is the
// whole set, or the incoming result is partial or end of file, or the merged result is partial; the
// listener is then told the run's length. Once the run from 0 reaches the end of a non-empty partial
// piece or an end of file further on, or a non-empty end of file lies at or before the run's end, the
// set finishes even with data completed beyond.
//
// Every range is clipped to [0, total) before it is stored, and range ends are computed in 64 bits, so
// an offset near 2^32 can never wrap into a range at the start of the set.

namespace Tarvos {

namespace {

constexpr int32_t kResultNone = CacheSource::kResultNone;
constexpr int32_t kResultSuccess = CacheSource::kResultSuccess;
constexpr int32_t kResultPartial = CacheSource::kResultPartial;
constexpr int32_t kResultPending = CacheSource::kResultPending;
constexpr int32_t kResultCancelled = CacheSource::kResultCancelled;
constexpr int32_t kResultEndOfFile = CacheSource::kResultEndOfFile;
constexpr int32_t kResultFailed = CacheSource::kResultFailed;

using Range = TransactionRangeSet::Range;
using RangeList = std::vector<Range>;

uint64_t EndOf(const Range& range) {
    return uint64_t{range.offset} + range.size;
}

// Stored ranges lie inside [0, total) with total < 2^32, so both ends fit in 32 bits.
Range RangeFromEnds(uint64_t begin, uint64_t end) {
    return Range{static_cast<uint32_t>(begin), static_cast<uint32_t>(end - begin)};
}

// Inserts [offset, offset + size), clipped to [0, limit), merging it with every range it overlaps or
// touches.
void AddRange(RangeList& list, uint32_t offset, uint32_t size, uint32_t limit) {
    const uint64_t begin = offset;
    const uint64_t end = std::min<uint64_t>(begin + size, limit);
    if (end <= begin) {
        return;
    }
    // The first range that ends at or after the new range's start is the only one that can precede
    // it without meeting it.
    auto it = std::find_if(list.begin(), list.end(), [&](const Range& r) { return EndOf(r) >= begin; });
    if (it == list.end() || it->offset > end) {
        list.insert(it, RangeFromEnds(begin, end));
        return;
    }
    const uint64_t mergedBegin = std::min<uint64_t>(begin, it->offset);
    uint64_t mergedEnd = std::max(end, EndOf(*it));
    auto next = it + 1;
    while (next != list.end() && next->offset <= mergedEnd) {
        mergedEnd = std::max(mergedEnd, EndOf(*next));
        ++next;
    }
    *it = RangeFromEnds(mergedBegin, mergedEnd);
    list.erase(it + 1, next);
}

// Removes [begin, end) from the range at `it`, which it overlaps; returns the position after what is
// left of that range.
RangeList::iterator Cut(RangeList& list, RangeList::iterator it, uint64_t begin, uint64_t end) {
    const uint64_t rangeBegin = it->offset;
    const uint64_t rangeEnd = EndOf(*it);
    if (begin <= rangeBegin && end >= rangeEnd) {
        return list.erase(it);
    }
    if (begin <= rangeBegin) {
        *it = RangeFromEnds(end, rangeEnd);
        return it + 1;
    }
    if (end >= rangeEnd) {
        *it = RangeFromEnds(rangeBegin, begin);
        return it + 1;
    }
    *it = RangeFromEnds(end, rangeEnd);
    it = list.insert(it, RangeFromEnds(rangeBegin, begin));
    return it + 2;
}

// Takes one piece of [offset, offset + size) out of the first range that holds its first or its last
// byte, and reports the piece; (0, 0) when no range holds either.
void TakeRange(RangeList& list, uint32_t& offset, uint32_t& size) {
    const uint64_t first = offset;
    const uint64_t end = first + size;
    auto holds = [](const Range& r, uint64_t byte) { return r.offset <= byte && byte < EndOf(r); };
    auto it = size == 0 ? list.end() : std::find_if(list.begin(), list.end(), [&](const Range& r) {
        return holds(r, first) || holds(r, end - 1);
    });
    if (it == list.end()) {
        offset = 0;
        size = 0;
        return;
    }
    const uint64_t pieceBegin = std::max<uint64_t>(first, it->offset);
    const uint64_t pieceEnd = std::min(end, EndOf(*it));
    const Range piece = RangeFromEnds(pieceBegin, pieceEnd);
    Cut(list, it, pieceBegin, pieceEnd);
    offset = piece.offset;
    size = piece.size;
}

// Removes every byte of [offset, offset + size) from the list, across as many ranges as it spans.
void RemoveRange(RangeList& list, uint32_t offset, uint32_t size) {
    if (size == 0) {
        return;  // an empty piece must not split the range around it
    }
    const uint64_t begin = offset;
    const uint64_t end = begin + size;
    auto it = list.begin();
    while (it != list.end() && it->offset < end) {
        if (EndOf(*it) <= begin) {
            ++it;
        } else {
            it = Cut(list, it, begin, end);
        }
    }
}

}  // namespace

TransactionRangeSet::Listener::~Listener() = default;

int TransactionRangeSet::RangeResultFromResult(int32_t result) {
    switch (result) {
        case kResultNone:
        case kResultPending:
            return kRangeResultPending;
        case kResultSuccess:
            return kRangeResultSuccess;
        case kResultPartial:
            return kRangeResultPartial;
        case kResultCancelled:
            return kRangeResultCancelled;
        case kResultEndOfFile:
            return kRangeResultEndOfFile;
        default:
            return kRangeResultFailed;
    }
}

int32_t TransactionRangeSet::ResultFromRangeResult(int rangeResult) {
    switch (rangeResult) {
        case kRangeResultPending:
            return kResultPending;
        case kRangeResultSuccess:
            return kResultSuccess;
        case kRangeResultPartial:
            return kResultPartial;
        case kRangeResultCancelled:
            return kResultCancelled;
        case kRangeResultEndOfFile:
            return kResultEndOfFile;
        default:
            return kResultFailed;
    }
}

TransactionRangeSet::TransactionRangeSet(uint32_t total)
    : lock(MTInterface::NewCritSec()),
      total(total),
      result(kRangeResultPending),
      finished(false),
      endOfData(kNoEndOfData),
      shortEnd(kNoEndOfData),
      listener(nullptr) {
    if (lock == nullptr) {
        throw std::bad_alloc();
    }
    AddRange(openRanges, 0, total, total);
}

TransactionRangeSet::~TransactionRangeSet() = default;

void TransactionRangeSet::Reset(uint32_t newTotal) {
    MTCritSecHold guard(lock.get());
    openRanges.clear();
    completedRanges.clear();
    result = kRangeResultPending;
    finished = false;
    endOfData = kNoEndOfData;
    shortEnd = kNoEndOfData;
    total = newTotal;
    AddRange(openRanges, 0, total, total);
}

void TransactionRangeSet::SetListener(Listener* newListener) {
    listener = newListener;
}

bool TransactionRangeSet::StillRangesToComplete() {
    MTCritSecHold guard(lock.get());
    return !finished && !openRanges.empty();
}

bool TransactionRangeSet::GetRangeToComplete(uint32_t& offset, uint32_t& size, uint32_t maxSize) {
    MTCritSecHold guard(lock.get());
    if (maxSize == kWholeSet) {
        maxSize = total;
    }
    if (finished || openRanges.empty() || maxSize == 0) {
        offset = 0;
        size = 0;
        return false;
    }
    offset = openRanges.front().offset;
    size = std::min(openRanges.front().size, maxSize);
    TakeRange(openRanges, offset, size);
    return true;
}

bool TransactionRangeSet::Reserve(uint32_t offset, uint32_t& size, uint32_t requested) {
    MTCritSecHold guard(lock.get());
    if (finished) {
        size = 0;
        return false;
    }
    size = requested == kWholeSet ? total : requested;
    TakeRange(openRanges, offset, size);
    return size > 0;
}

void TransactionRangeSet::ReturnRange(uint32_t offset, uint32_t size) {
    MTCritSecHold guard(lock.get());
    if (!finished) {
        AddRange(openRanges, offset, size, total);
    }
}

void TransactionRangeSet::Complete(uint32_t offset, uint32_t size, int rangeResult) {
    // Only the call that finishes the set tells the listener, after the lock is left: the status
    // callback behind it may start work that takes block and list locks, which are taken before this
    // one elsewhere.
    Listener* tell = nullptr;
    int finalResult = kRangeResultPending;
    uint32_t finalBytes = 0;
    {
        MTCritSecHold guard(lock.get());
        if (CompleteLocked(offset, size, rangeResult, finalBytes)) {
            tell = listener;
            finalResult = result;
        }
    }
    if (tell != nullptr) {
        tell->Finished(finalResult, this, finalBytes);
    }
}

bool TransactionRangeSet::CompleteLocked(uint32_t offset, uint32_t size, int rangeResult, uint32_t& bytes) {
    if (finished) {
        return false;
    }
    if (rangeResult == kRangeResultSuccess || rangeResult == kRangeResultPartial) {
        RemoveRange(openRanges, offset, size);
        AddRange(completedRanges, offset, size, total);
    }
    switch (rangeResult) {
        case kRangeResultSuccess:
            if (result == kRangeResultPending) {
                result = kRangeResultSuccess;
            }
            break;
        case kRangeResultPartial:
            if (result == kRangeResultPending || result == kRangeResultSuccess ||
                result == kRangeResultEndOfFile) {
                result = kRangeResultPartial;
            }
            break;
        case kRangeResultCancelled:
        case kRangeResultFailed:
            finished = true;
            result = rangeResult;
            break;
        case kRangeResultEndOfFile:
            // End of data reported beyond the start: the bytes before it may still arrive from
            // elsewhere (another block), so the set waits for them instead of finishing empty.
            // A short piece already seen (partial) says more about where the data ends than an
            // end of file further on, so a deferred end of file leaves partial standing.
            if (offset > CompletedRunFromStart()) {
                endOfData = offset < endOfData ? offset : endOfData;
                if (result == kRangeResultPending || result == kRangeResultSuccess) {
                    result = kRangeResultEndOfFile;
                }
                break;
            }
            if (result == kRangeResultPending ||
                (result == kRangeResultEndOfFile && completedRanges.empty())) {
                // Nothing arrived (at most end of file further on): the set ends empty.
                finished = true;
            }
            if (result == kRangeResultPending || result == kRangeResultSuccess ||
                result == kRangeResultPartial) {
                result = kRangeResultEndOfFile;
            }
            break;
        default:
            break;
    }
    bytes = 0;
    const uint32_t run = CompletedRunFromStart();
    if (rangeResult == kRangeResultPartial && size > 0) {
        const uint64_t pieceEnd = std::min<uint64_t>(EndOf({offset, size}), total);
        shortEnd = static_cast<uint32_t>(std::min<uint64_t>(shortEnd, pieceEnd));
    }
    // Where the data is known to end (a non-empty end of file at or before the run's end, a short
    // piece, an end of file further on) decides the set once the run from 0 reaches it, even when data
    // beyond arrived first: a file that changed between two reads, or a read that came up short,
    // leaves such data behind, and waiting for it to join the run would wait for ever. Empty pieces
    // only mark a result.
    const bool endOfFileInRun = size > 0 && rangeResult == kRangeResultEndOfFile && offset <= run;
    if (!finished && (endOfFileInRun || (run > 0 && (run >= shortEnd || run >= endOfData)))) {
        finished = true;
        bytes = run;
    }
    if (!finished && completedRanges.size() == 1 && completedRanges.front().offset == 0) {
        const bool endOfFileReached = rangeResult == kRangeResultEndOfFile && offset <= run;
        if (run == total || rangeResult == kRangeResultPartial || endOfFileReached ||
            result == kRangeResultPartial || run >= endOfData) {
            finished = true;
            bytes = run;
        }
    }
    return finished;
}

uint32_t TransactionRangeSet::CompletedRunFromStart() const {
    if (completedRanges.empty() || completedRanges.front().offset != 0) {
        return 0;
    }
    return completedRanges.front().size;
}

int TransactionRangeSet::GetResult(uint32_t* bytes) {
    MTCritSecHold guard(lock.get());
    uint32_t count = 0;
    if (finished && (result == kRangeResultSuccess || result == kRangeResultPartial) &&
        !completedRanges.empty()) {
        count = completedRanges.front().size;
    }
    if (bytes != nullptr) {
        *bytes = count;
    }
    return finished ? result : kRangeResultPending;
}

std::vector<TransactionRangeSet::Range> TransactionRangeSet::GetOpenRanges() {
    MTCritSecHold guard(lock.get());
    return openRanges;
}

std::vector<TransactionRangeSet::Range> TransactionRangeSet::GetCompletedRanges() {
    MTCritSecHold guard(lock.get());
    return completedRanges;
}

}  // namespace Tarvos
