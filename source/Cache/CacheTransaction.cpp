// A transaction's life: set up (Setup or SetupForPreRead) -> served in pieces (ranges taken, reserved,
// returned and completed by any thread) -> finished (the range set decides, once per set-up, and its
// listener calls the status callback) -> set up again, cleaned up or released.
#include "Tarvos/CacheTransaction.h"

#include "Cache/TransactionRangeSet.h"
#include "CoreClasses/CallSite.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {
CacheSource::Result_t CallerResult(int rangeResult, uint32_t bytes) {
    // End of file reached after data from the start is a short read: the caller gets kResultPartial and
    // the bytes up to the end, exactly as from a source without a cache. kResultEndOfFile stays for a
    // transaction that found no data at all.
    if (rangeResult == TransactionRangeSet::kRangeResultEndOfFile && bytes > 0) {
        return CacheSource::kResultPartial;
    }
    return static_cast<CacheSource::Result_t>(TransactionRangeSet::ResultFromRangeResult(rangeResult));
}
}  // namespace

// Turns the range set's single finish into the status callback; an exception from the callback must
// not escape into whichever thread completed the last piece.
class TransactionListener final : public TransactionRangeSet::Listener {
  public:
    explicit TransactionListener(CacheTransaction* transaction) : transaction(transaction) {}

    void Finished(int rangeResult, TransactionRangeSet*, uint32_t bytes) override {
        CacheTransaction::StatusCallback* callback = transaction->statusCallback;
        if (callback == nullptr) {
            return;
        }
        callback->AddRef(TARVOS_CALL_SITE);
        try {
            callback->Callback(CallerResult(rangeResult, bytes), transaction, bytes);
        } catch (...) {
        }
        callback->DecRef(TARVOS_CALL_SITE);
    }

  private:
    CacheTransaction* transaction;  // the owner; no reference
};

namespace {
int RangeResult(CacheSource::Result_t result) {
    return TransactionRangeSet::RangeResultFromResult(result);
}
}  // namespace

CacheTransaction::CacheTransaction()
    : source(nullptr),
      offset(0),
      bufferList(nullptr),
      statusCallback(nullptr),
      cacheInUseBy(MTInterface::NewAtomicPointer(nullptr)),
      ranges(nullptr),
      dueTime(0),
      preReadSize(0),
      listener(nullptr) {
    if (cacheInUseBy == nullptr) {
        throw std::bad_alloc();
    }
}

CacheTransaction::CacheTransaction(CacheSource* source, uint64_t offset, BufferList* list,
                                   StatusCallback* callback, uint32_t dueTime)
    : CacheTransaction() {
    Setup(source, offset, list, callback, dueTime);
}

CacheTransaction::~CacheTransaction() {
    Cleanup();
    delete ranges;
    delete cacheInUseBy;
    delete listener;
}

bool CacheTransaction::Setup(CacheSource* newSource, uint64_t newOffset, BufferList* list,
                             StatusCallback* callback, uint32_t newDueTime) {
    if (cacheInUseBy->Get() != nullptr) {
        return false;
    }
    preReadSize = 0;
    const bool sourceChanges = source != newSource;
    const bool listChanges = bufferList != list;
    const bool callbackChanges = statusCallback != callback;
    if (source != nullptr && sourceChanges) {
        source->DecRef(TARVOS_CALL_SITE);
    }
    if (bufferList != nullptr && listChanges) {
        bufferList->DecRef(TARVOS_CALL_SITE);
    }
    if (statusCallback != nullptr && callbackChanges) {
        statusCallback->DecRef(TARVOS_CALL_SITE);
    }
    if (newSource == nullptr) {
        if (sourceChanges) {
            source = nullptr;
        }
        if (listChanges) {
            bufferList = nullptr;
        }
        if (callbackChanges) {
            statusCallback = nullptr;
        }
        // Whatever is still held is dropped too: a transaction without a source holds nothing.
        if (bufferList != nullptr) {
            bufferList->DecRef(TARVOS_CALL_SITE);
            bufferList = nullptr;
        }
        if (statusCallback != nullptr) {
            statusCallback->DecRef(TARVOS_CALL_SITE);
            statusCallback = nullptr;
        }
        source = nullptr;
        return false;
    }
    if (sourceChanges) {
        newSource->AddRef(TARVOS_CALL_SITE);
    }
    if (list != nullptr && listChanges) {
        list->AddRef(TARVOS_CALL_SITE);
    }
    if (callback != nullptr && callbackChanges) {
        callback->AddRef(TARVOS_CALL_SITE);
    }
    source = newSource;
    offset = newOffset;
    bufferList = list;
    statusCallback = callback;
    dueTime = newDueTime;
    if (list == nullptr) {
        return true;
    }
    const uint32_t total = list->GetTotalSizeOfBuffers();
    if (ranges != nullptr) {
        ranges->Reset(total);
    } else {
        ranges = new TransactionRangeSet(total);
    }
    // A transaction first used as a pre-read has a range set without a listener: give it one now,
    // so that its status callback is told the outcome like any other.
    if (listener == nullptr) {
        listener = new TransactionListener(this);
        ranges->SetListener(listener);
    }
    return true;
}

bool CacheTransaction::SetupForPreRead(CacheSource* newSource, uint64_t newOffset, uint32_t size,
                                       uint32_t newDueTime) {
    if (size == 0 || !Setup(newSource, newOffset, nullptr, nullptr, newDueTime)) {
        return false;
    }
    preReadSize = size;
    if (ranges != nullptr) {
        ranges->Reset(size);
    } else {
        ranges = new TransactionRangeSet(size);
    }
    return true;
}

bool CacheTransaction::Cleanup() {
    if (cacheInUseBy->Get() != nullptr) {
        return false;
    }
    if (source != nullptr) {
        source->DecRef(TARVOS_CALL_SITE);
    }
    if (bufferList != nullptr) {
        bufferList->DecRef(TARVOS_CALL_SITE);
    }
    if (statusCallback != nullptr) {
        statusCallback->DecRef(TARVOS_CALL_SITE);
    }
    source = nullptr;
    bufferList = nullptr;
    statusCallback = nullptr;
    offset = 0;
    preReadSize = 0;
    return true;
}

uint64_t CacheTransaction::GetOffset() {
    return offset;
}

uint32_t CacheTransaction::GetSize() {
    if (preReadSize != 0) {
        return preReadSize;
    }
    return bufferList != nullptr ? bufferList->GetTotalSizeOfBuffers() : 0;
}

uint32_t CacheTransaction::GetDueTime() {
    return dueTime;
}
CacheSource* CacheTransaction::GetSource() {
    return source;
}
BufferList* CacheTransaction::GetBufferList() {
    return bufferList;
}
bool CacheTransaction::IsPreReadTransaction() {
    return preReadSize != 0;
}

bool CacheTransaction::GetRangeToComplete(uint64_t& rangeOffset, uint32_t& size, uint32_t maxSize) {
    if (ranges == nullptr) {
        size = 0;
        return false;
    }
    uint32_t relative = 0;
    if (!ranges->GetRangeToComplete(relative, size, maxSize)) {
        return false;
    }
    rangeOffset = offset + relative;
    return true;
}

void CacheTransaction::ReturnRangeToComplete(uint64_t rangeOffset, uint32_t size) {
    if (ranges != nullptr && rangeOffset >= offset) {
        ranges->ReturnRange(Relative(rangeOffset), size);
    }
}

bool CacheTransaction::Reserve(uint64_t& rangeOffset, uint32_t& size) {
    if (ranges == nullptr || !CacheSource::GetRangeIntersection(rangeOffset, size, offset, GetSize())) {
        return false;
    }
    return ranges->Reserve(Relative(rangeOffset), size, size);
}

bool CacheTransaction::StillRangesToComplete() {
    return ranges != nullptr && ranges->StillRangesToComplete();
}

// Completing may run the status callback, which may drop the last reference other than the caller's;
// the transaction keeps itself alive until its range set has returned.
void CacheTransaction::Complete(uint64_t rangeOffset, uint32_t size, CacheSource::Result_t result) {
    SharedObjectAutoRef hold(this);
    if (ranges != nullptr && rangeOffset >= offset) {
        ranges->Complete(Relative(rangeOffset), size, RangeResult(result));
    }
}

void CacheTransaction::SetResult(CacheSource::Result_t result) {
    SharedObjectAutoRef hold(this);
    if (ranges != nullptr) {
        ranges->Complete(0, 0, RangeResult(result));
    }
}

CacheSource::Result_t CacheTransaction::GetResult(uint32_t* bytes) {
    if (ranges == nullptr) {
        return CacheSource::kResultFailed;
    }
    const int rangeResult = ranges->GetResult(bytes);
    if (rangeResult == TransactionRangeSet::kRangeResultEndOfFile) {
        // The bytes before the end of the data count as a short read, as the listener reported them.
        const std::vector<TransactionRangeSet::Range> completed = ranges->GetCompletedRanges();
        const uint32_t run = !completed.empty() && completed.front().offset == 0 ? completed.front().size : 0;
        if (run > 0) {
            if (bytes != nullptr) {
                *bytes = run;
            }
            return CacheSource::kResultPartial;
        }
    }
    return static_cast<CacheSource::Result_t>(TransactionRangeSet::ResultFromRangeResult(rangeResult));
}

Buffer* CacheTransaction::GetBufferAtOffset(uint64_t bufferOffset, uint32_t* offsetInBuffer,
                                            uint32_t* bytesLeftInBuffer) {
    if (bufferList == nullptr || bufferOffset < offset || bufferOffset - offset > 0xFFFFFFFFu) {
        return nullptr;
    }
    return bufferList->GetBufferAtOffset(Relative(bufferOffset), offsetInBuffer, bytesLeftInBuffer);
}

// Results: kResultEndOfFile when the data lies wholly outside the transaction; the read's result for
// an empty overlap; the transaction's current result (kResultPending until finished) after a clean
// copy; kResultBufferLocked when a destination buffer could not be locked before anything was
// copied, kResultFailed for any other copy failure.
CacheSource::Result_t CacheTransaction::CopyInto(void* data, uint64_t dataOffset, uint32_t dataSize,
                                                 CacheSource::Result_t result, uint64_t* copiedOffset,
                                                 uint32_t* copiedSize) {
    SharedObjectAutoRef hold(this);
    if (bufferList == nullptr) {
        if (preReadSize == 0) {
            return CacheSource::kResultEndOfFile;
        }
        CacheSource::GetRangeIntersection(dataOffset, dataSize, offset, preReadSize);
        if (ranges != nullptr && dataOffset >= offset) {
            ranges->Complete(Relative(dataOffset), dataSize, TransactionRangeSet::kRangeResultSuccess);
        }
        return CacheSource::kResultSuccess;
    }
    uint64_t end = dataOffset + dataSize;
    if (end <= offset) {
        return CacheSource::kResultEndOfFile;
    }
    const uint64_t transactionEnd = offset + bufferList->GetTotalSizeOfBuffers();
    if (dataOffset >= transactionEnd) {
        return CacheSource::kResultEndOfFile;
    }
    auto* bytes = static_cast<uint8_t*>(data);
    if (dataOffset < offset) {
        bytes += offset - dataOffset;
        dataOffset = offset;
    }
    if (end > transactionEnd) {
        end = transactionEnd;
    }
    const uint32_t length = static_cast<uint32_t>(end - dataOffset);
    if (length == 0) {
        Complete(dataOffset, 0, result);
        return result;
    }
    uint32_t copied = 0;
    Buffer::BufferResult_t bufferResult = Buffer::kBufferResultSuccess;
    auto copy = [&] {
        while (bufferResult == Buffer::kBufferResultSuccess) {
            uint32_t offsetInBuffer = 0;
            uint32_t bytesLeft = 0;
            Buffer* buffer = GetBufferAtOffset(dataOffset + copied, &offsetInBuffer, &bytesLeft);
            if (buffer == nullptr || bytesLeft == 0) {
                break;
            }
            uint32_t n = bytesLeft < length - copied ? bytesLeft : length - copied;
            bufferResult = buffer->CopyInto(bytes + copied, n, offsetInBuffer, &n);
            if (n == 0) {
                break;
            }
            copied += n;
            if (copied >= length) {
                break;
            }
        }
    };
    // A transaction that ends meanwhile (a cancel on another thread) is not written to any more: its
    // owner may reuse the memory as soon as it is told.
    if (ranges == nullptr) {
        copy();
    } else if (!ranges->RunWhileOpen(copy)) {
        return GetResult(nullptr);
    }
    if (copied > 0) {
        Complete(dataOffset, copied, result);
        if (copiedOffset != nullptr) {
            *copiedOffset = dataOffset;
        }
        if (copiedSize != nullptr) {
            *copiedSize = copied;
        }
        if (bufferResult == Buffer::kBufferResultSuccess) {
            return GetResult(nullptr);
        }
    }
    return bufferResult == Buffer::kBufferResultLockFailed ? CacheSource::kResultBufferLocked
                                                           : CacheSource::kResultFailed;
}

CacheSource::Result_t CacheTransaction::ReadDirect() {
    return source != nullptr ? source->ReadTransaction(this) : CacheSource::kResultInvalidArgument;
}

bool CacheTransaction::SupportsPreReads() {
    return source != nullptr && source->SupportsPreReadTransactions();
}

void CacheTransaction::PreReadDirect() {
    if (source != nullptr) {
        source->PreReadTransaction(this);
    }
}

bool CacheTransaction::SetCacheInUseBy(Cache* cache) {
    return cache != nullptr && cacheInUseBy->CompareExchange(nullptr, cache);
}

bool CacheTransaction::ClearCacheInUseBy(Cache* cache) {
    return cache != nullptr && cacheInUseBy->CompareExchange(cache, nullptr);
}

}  // namespace Tarvos
