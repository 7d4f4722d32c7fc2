// Drives one TransactionRangeSet through a sequence of operations decoded from the input and checks
// every answer, both range lists and every listener call against the byte-by-byte reference model.
// Pieces are taken, given back and completed in any order, with any result, including overlapping and
// empty pieces, pieces past the end of the set and offsets at the 32-bit boundaries.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Cache/TransactionRangeSet.h"
#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "FuzzStart.h"
#include "Support/RangeSetModel.h"
#include "Tarvos/CacheSource.h"

using Tarvos::CacheSource;
using Tarvos::TransactionRangeSet;
using TarvosFuzz::FuzzInput;
using TarvosTest::RangeSetModel;

namespace {

// The model holds one flag per byte, so sets stay small; offsets and sizes do not.
constexpr uint32_t kMaxTotal = 1024;
constexpr int kMaxOperations = 256;

class CheckingListener : public TransactionRangeSet::Listener {
  public:
    void Finished(int rangeResult, TransactionRangeSet* set, uint32_t bytes) override {
        ++calls;
        lastResult = rangeResult;
        lastBytes = bytes;
        lastSet = set;
        // The set is finished before its listener is told: the result is already readable from here.
        uint32_t inside = 0xDEADBEEFu;
        resultInside = set->GetResult(&inside);
        bytesInside = inside;
    }
    int calls = 0;
    int lastResult = -1;
    uint32_t lastBytes = 0;
    TransactionRangeSet* lastSet = nullptr;
    int resultInside = -1;
    uint32_t bytesInside = 0;
};

void CheckList(const std::vector<TransactionRangeSet::Range>& ranges, const std::vector<bool>& bytes,
               const char* which) {
    std::vector<RangeSetModel::Run> runs;
    for (size_t i = 0; i < ranges.size(); ++i) {
        TARVOS_FUZZ_CHECK(ranges[i].size > 0, "%s range %zu is empty", which, i);
        TARVOS_FUZZ_CHECK(uint64_t{ranges[i].offset} + ranges[i].size <= bytes.size(),
                          "%s range %zu [%u,+%u) outside the set of %zu", which, i, ranges[i].offset,
                          ranges[i].size, bytes.size());
        if (i > 0) {
            TARVOS_FUZZ_CHECK(ranges[i].offset > uint64_t{ranges[i - 1].offset} + ranges[i - 1].size,
                              "%s ranges %zu and %zu overlap or touch", which, i - 1, i);
        }
        runs.emplace_back(ranges[i].offset, ranges[i].size);
    }
    const std::vector<RangeSetModel::Run> expected = RangeSetModel::Runs(bytes);
    TARVOS_FUZZ_CHECK(runs == expected, "%s ranges differ from the model (%zu ranges, model %zu)", which,
                      runs.size(), expected.size());
}

int DecodeRangeResult(FuzzInput& input) {
    const uint8_t choice = input.Byte() % 9;
    if (choice < 6) {
        return choice;  // pending .. failed
    }
    return choice == 6 ? 6 : (choice == 7 ? -1 : 0x7FFFFFFF);  // values the ranking does not know
}

class Run {
  public:
    Run() : set(0), model(0) { set.SetListener(&listener); }

    void Reset(uint32_t total) {
        set.Reset(total);
        model.Reset(total);
        held.clear();
        finishes = 0;
        listener.calls = 0;
    }

    void GetRangeToComplete(uint32_t maxSize) {
        uint32_t offset = 1;
        uint32_t size = 1;
        uint32_t modelOffset = 2;
        uint32_t modelSize = 2;
        const bool got = set.GetRangeToComplete(offset, size, maxSize);
        const bool modelGot = model.GetRangeToComplete(modelOffset, modelSize, maxSize);
        TARVOS_FUZZ_CHECK(got == modelGot && offset == modelOffset && size == modelSize,
                          "GetRangeToComplete(max %u): %d (%u,%u), model %d (%u,%u)", maxSize, got, offset,
                          size, modelGot, modelOffset, modelSize);
        if (got) {
            held.push_back({offset, size});
        }
    }

    void Reserve(uint32_t offset, uint32_t requested) {
        uint32_t size = 7;
        uint32_t modelSize = 9;
        uint32_t pieceOffset = 0;
        const bool got = set.Reserve(offset, size, requested);
        const bool modelGot = model.Reserve(offset, modelSize, requested, &pieceOffset);
        TARVOS_FUZZ_CHECK(got == modelGot && size == modelSize,
                          "Reserve(%u, %u): %d size %u, model %d size %u", offset, requested, got, size,
                          modelGot, modelSize);
        if (got) {
            held.push_back({pieceOffset, size});
        }
    }

    void ReturnRange(uint32_t offset, uint32_t size) {
        set.ReturnRange(offset, size);
        model.ReturnRange(offset, size);
    }

    void Complete(uint32_t offset, uint32_t size, int rangeResult) {
        const int before = listener.calls;
        set.Complete(offset, size, rangeResult);
        const bool finishedNow = model.Complete(offset, size, rangeResult);
        TARVOS_FUZZ_CHECK(listener.calls == before + (finishedNow ? 1 : 0),
                          "Complete(%u, %u, %d): listener calls %d -> %d, model finished now %d", offset,
                          size, rangeResult, before, listener.calls, finishedNow);
        if (finishedNow) {
            ++finishes;
            uint32_t modelBytes = 0;
            const int modelResult = model.GetResult(&modelBytes);
            TARVOS_FUZZ_CHECK(
                listener.lastResult == model.result && listener.lastBytes == model.finishedBytes,
                "Complete(%u, %u, %d) finished with (%d, %u), model (%d, %u)", offset, size, rangeResult,
                listener.lastResult, listener.lastBytes, model.result, model.finishedBytes);
            TARVOS_FUZZ_CHECK(listener.lastSet == &set, "listener told about another set");
            TARVOS_FUZZ_CHECK(listener.resultInside == modelResult && listener.bytesInside == modelBytes,
                              "GetResult inside the listener: (%d, %u), model (%d, %u)",
                              listener.resultInside, listener.bytesInside, modelResult, modelBytes);
        }
    }

    void Compare() {
        TARVOS_FUZZ_CHECK(set.StillRangesToComplete() == model.StillRangesToComplete(),
                          "StillRangesToComplete differs from the model");
        uint32_t bytes = 1;
        uint32_t modelBytes = 2;
        const int result = set.GetResult(&bytes);
        const int modelResult = model.GetResult(&modelBytes);
        TARVOS_FUZZ_CHECK(result == modelResult && bytes == modelBytes, "GetResult (%d, %u), model (%d, %u)",
                          result, bytes, modelResult, modelBytes);
        TARVOS_FUZZ_CHECK(set.GetResult(nullptr) == result, "GetResult without a byte count differs");
        CheckList(set.GetOpenRanges(), model.open, "open");
        CheckList(set.GetCompletedRanges(), model.completed, "completed");
        TARVOS_FUZZ_CHECK(listener.calls == finishes && finishes <= 1,
                          "listener called %d times in one cycle", listener.calls);
        // A finished set's result is fixed and hands nothing out.
        if (model.finished) {
            uint32_t offset = 5;
            uint32_t size = 5;
            TARVOS_FUZZ_CHECK(
                !set.GetRangeToComplete(offset, size, RangeSetModel::kWholeSet) && offset == 0 && size == 0,
                "a finished set handed out (%u, %u)", offset, size);
            TARVOS_FUZZ_CHECK(!set.Reserve(0, size, RangeSetModel::kWholeSet) && size == 0,
                              "a finished set reserved %u bytes", size);
        }
    }

    uint32_t Total() const { return model.total; }

    TransactionRangeSet set;
    RangeSetModel model;
    CheckingListener listener;
    std::vector<TransactionRangeSet::Range> held;  // pieces taken and not given back or completed
    int finishes = 0;
};

void CheckResultMapping(int32_t value) {
    int expected = TransactionRangeSet::kRangeResultFailed;
    switch (value) {
        case CacheSource::kResultNone:
        case CacheSource::kResultPending:
            expected = TransactionRangeSet::kRangeResultPending;
            break;
        case CacheSource::kResultSuccess:
            expected = TransactionRangeSet::kRangeResultSuccess;
            break;
        case CacheSource::kResultPartial:
            expected = TransactionRangeSet::kRangeResultPartial;
            break;
        case CacheSource::kResultCancelled:
            expected = TransactionRangeSet::kRangeResultCancelled;
            break;
        case CacheSource::kResultEndOfFile:
            expected = TransactionRangeSet::kRangeResultEndOfFile;
            break;
        default:
            break;
    }
    const int mapped = TransactionRangeSet::RangeResultFromResult(value);
    TARVOS_FUZZ_CHECK(mapped == expected, "result %d maps to %d, expected %d", value, mapped, expected);
    const int32_t back = TransactionRangeSet::ResultFromRangeResult(mapped);
    const int32_t expectedBack =
        mapped == TransactionRangeSet::kRangeResultPending  ? CacheSource::kResultPending
        : mapped == TransactionRangeSet::kRangeResultFailed ? CacheSource::kResultFailed
                                                            : value;
    TARVOS_FUZZ_CHECK(back == expectedBack, "range result %d maps back to %d, expected %d", mapped, back,
                      expectedBack);
    const int32_t fromUnknown = TransactionRangeSet::ResultFromRangeResult(static_cast<int>(value));
    if (value > TransactionRangeSet::kRangeResultFailed || value < 0) {
        TARVOS_FUZZ_CHECK(fromUnknown == CacheSource::kResultFailed, "unknown range result %d maps to %d",
                          value, fromUnknown);
    }
}

uint32_t DecodeTotal(FuzzInput& input) {
    const uint8_t kind = input.Byte();
    switch (kind % 4) {
        case 0:
            return input.Byte() % 8;  // empty and tiny sets
        case 1:
            return 256u + input.Below(2);
        default:
            return (uint32_t{input.Byte()} << 8 | input.Byte()) % (kMaxTotal + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TarvosFuzz::StartLibraryOnce();
    FuzzInput input(data, size);
    Run run;
    run.Reset(DecodeTotal(input));
    run.Compare();
    for (int step = 0; step < kMaxOperations && !input.Done(); ++step) {
        const uint32_t total = run.Total();
        switch (input.Byte() % 11) {
            case 0:
                run.GetRangeToComplete(input.Value(total));
                break;
            case 1: {
                const uint32_t offset = input.Value(total);
                run.Reserve(offset, input.Value(total));
                break;
            }
            case 2: {
                const uint32_t offset = input.Value(total);
                run.ReturnRange(offset, input.Value(total));
                break;
            }
            case 3: {
                const uint32_t offset = input.Value(total);
                const uint32_t length = input.Value(total);
                run.Complete(offset, length, DecodeRangeResult(input));
                break;
            }
            case 4:
                // How a transaction sets its result without data.
                run.Complete(0, 0, DecodeRangeResult(input));
                break;
            case 5:
                run.Reset(DecodeTotal(input));
                break;
            case 6:
            case 7:
            case 8: {
                // A piece somebody took: given back, completed whole, or completed in two halves in
                // either order (a short piece completes only its front).
                if (run.held.empty()) {
                    break;
                }
                const size_t index = input.Byte() % run.held.size();
                const TransactionRangeSet::Range piece = run.held[index];
                run.held.erase(run.held.begin() + static_cast<std::ptrdiff_t>(index));
                const uint8_t how = input.Byte();
                if (how % 4 == 0) {
                    run.ReturnRange(piece.offset, piece.size);
                } else if (how % 4 == 1) {
                    run.Complete(piece.offset, piece.size, DecodeRangeResult(input));
                } else if (how % 4 == 2) {
                    const uint32_t front = input.Below(piece.size);
                    run.Complete(piece.offset, front, TransactionRangeSet::kRangeResultPartial);
                } else {
                    const uint32_t split = input.Below(piece.size);
                    const int first = DecodeRangeResult(input);
                    const int second = DecodeRangeResult(input);
                    run.Complete(piece.offset + split, piece.size - split, second);
                    run.Complete(piece.offset, split, first);
                }
                break;
            }
            case 9:
                CheckResultMapping(static_cast<int32_t>(input.Value(0)));
                break;
            default: {
                // Everything still held is given back, then the rest is completed piece by piece.
                for (const TransactionRangeSet::Range& piece : run.held) {
                    run.ReturnRange(piece.offset, piece.size);
                }
                run.held.clear();
                const uint32_t maxSize = input.Value(64);
                const int rangeResult = DecodeRangeResult(input);
                for (int i = 0; i < 64; ++i) {
                    uint32_t offset = 0;
                    uint32_t length = 0;
                    run.GetRangeToComplete(maxSize);
                    if (run.held.empty()) {
                        break;
                    }
                    offset = run.held.back().offset;
                    length = run.held.back().size;
                    run.held.pop_back();
                    run.Complete(offset, length,
                                 i == 0 ? rangeResult : TransactionRangeSet::kRangeResultSuccess);
                }
                break;
            }
        }
        run.Compare();
    }
    return 0;
}
