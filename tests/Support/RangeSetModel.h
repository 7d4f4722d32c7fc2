// Byte-by-byte reference model of a transaction's range bookkeeping, for checking the real range set
// against it: each byte is open or not and completed or not (taken = neither), and the result merging
// and the coverage rule are written out plainly. Range results are the plain numbers 0 (pending),
// 1 (success), 2 (partial), 3 (cancelled), 4 (end of file) and 5 (failed). Single-threaded.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace TarvosTest {

class RangeSetModel {
  public:
    static constexpr uint32_t kWholeSet = 0xFFFFFFFFu;
    using Run = std::pair<uint32_t, uint32_t>;  // offset, size

    explicit RangeSetModel(uint32_t total) { Reset(total); }

    void Reset(uint32_t newTotal) {
        total = newTotal;
        open.assign(total, true);
        completed.assign(total, false);
        result = 0;
        finished = false;
        finishedBytes = 0;
        endOfData = 0xFFFFFFFFu;
        shortEnd = 0xFFFFFFFFu;
    }

    bool StillRangesToComplete() const { return !finished && !Runs(open).empty(); }

    bool GetRangeToComplete(uint32_t& offset, uint32_t& size, uint32_t maxSize) {
        const uint32_t limit = maxSize == kWholeSet ? total : maxSize;
        const std::vector<Run> runs = Runs(open);
        offset = 0;
        size = 0;
        if (finished || runs.empty() || limit == 0) {
            return false;
        }
        offset = runs.front().first;
        size = std::min(runs.front().second, limit);
        Mark(open, offset, uint64_t{offset} + size, false);
        return true;
    }

    // As the range set's Reserve; also tells where the piece starts (0 when nothing was taken).
    bool Reserve(uint32_t offset, uint32_t& size, uint32_t requested, uint32_t* pieceOffset) {
        size = 0;
        *pieceOffset = 0;
        const uint64_t length = requested == kWholeSet ? total : requested;
        if (finished || length == 0) {
            return false;
        }
        const uint64_t first = offset;
        const uint64_t last = first + length - 1;
        for (const Run& run : Runs(open)) {
            const uint64_t begin = run.first;
            const uint64_t end = begin + run.second;
            if ((begin <= first && first < end) || (begin <= last && last < end)) {
                const uint64_t pieceBegin = std::max(first, begin);
                const uint64_t pieceEnd = std::min(first + length, end);
                Mark(open, pieceBegin, pieceEnd, false);
                *pieceOffset = static_cast<uint32_t>(pieceBegin);
                size = static_cast<uint32_t>(pieceEnd - pieceBegin);
                return true;
            }
        }
        return false;
    }

    void ReturnRange(uint32_t offset, uint32_t size) {
        if (!finished) {
            Mark(open, offset, uint64_t{offset} + size, true);
        }
    }

    // True when this call finished the set; finishedBytes then holds the count the listener is told.
    bool Complete(uint32_t offset, uint32_t size, int rangeResult) {
        if (finished) {
            return false;
        }
        if (rangeResult == 1 || rangeResult == 2) {
            Mark(open, offset, uint64_t{offset} + size, false);
            Mark(completed, offset, uint64_t{offset} + size, true);
        }
        if (rangeResult == 1 && result == 0) {
            result = 1;
        } else if (rangeResult == 2 && (result == 0 || result == 1 || result == 4)) {
            result = 2;
        } else if (rangeResult == 3 || rangeResult == 5) {
            finished = true;
            result = rangeResult;
        } else if (rangeResult == 4) {
            const std::vector<Run> before = Runs(completed);
            const uint32_t runFromStart =
                !before.empty() && before.front().first == 0 ? before.front().second : 0;
            if (offset > runFromStart) {
                endOfData = std::min(endOfData, offset);
                if (result == 0 || result == 1) {
                    result = 4;
                }
            } else {
                if (result == 0 || (result == 4 && before.empty())) {
                    finished = true;
                }
                if (result == 0 || result == 1 || result == 2) {
                    result = 4;
                }
            }
        }
        finishedBytes = 0;
        const std::vector<Run> runs = Runs(completed);
        const uint32_t runFromStart = !runs.empty() && runs.front().first == 0 ? runs.front().second : 0;
        if (rangeResult == 2 && size > 0) {
            shortEnd = std::min<uint64_t>(shortEnd, std::min<uint64_t>(uint64_t{offset} + size, total));
        }
        // Where the data is known to end decides once the run from 0 reaches it, whatever lies beyond.
        if (!finished && ((size > 0 && rangeResult == 4 && offset <= runFromStart) ||
                          (runFromStart > 0 && (runFromStart >= shortEnd || runFromStart >= endOfData)))) {
            finished = true;
            finishedBytes = runFromStart;
            return finished;
        }
        if (!finished && runs.size() == 1 && runs.front().first == 0) {
            const uint32_t run = runs.front().second;
            if (run == total || rangeResult == 2 || (rangeResult == 4 && offset <= run) || result == 2 ||
                run >= endOfData) {
                finished = true;
                finishedBytes = run;
            }
        }
        return finished;
    }

    int GetResult(uint32_t* bytes) const {
        const std::vector<Run> runs = Runs(completed);
        *bytes = finished && (result == 1 || result == 2) && !runs.empty() ? runs.front().second : 0;
        return finished ? result : 0;
    }

    // The maximal runs of set bytes, in order.
    static std::vector<Run> Runs(const std::vector<bool>& bytes) {
        std::vector<Run> runs;
        for (uint32_t i = 0; i < bytes.size();) {
            if (!bytes[i]) {
                ++i;
                continue;
            }
            uint32_t j = i;
            while (j < bytes.size() && bytes[j]) {
                ++j;
            }
            runs.emplace_back(i, j - i);
            i = j;
        }
        return runs;
    }

    uint32_t total = 0;
    std::vector<bool> open;
    std::vector<bool> completed;
    int result = 0;
    bool finished = false;
    uint32_t finishedBytes = 0;
    uint32_t endOfData = 0xFFFFFFFFu;
    uint64_t shortEnd = 0xFFFFFFFFu;

  private:
    // Bytes outside [0, total) are not part of the set.
    void Mark(std::vector<bool>& bytes, uint64_t begin, uint64_t end, bool value) const {
        end = std::min<uint64_t>(end, total);
        for (uint64_t i = begin; i < end; ++i) {
            bytes[i] = value;
        }
    }
};

}  // namespace TarvosTest
