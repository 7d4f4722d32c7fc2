#include "FileAbstraction/FileSourceAdapters.h"

#include <new>

#include "CoreClasses/CallSite.h"
#include "CoreClasses/DeferredRelease.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/Cache.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {
// A list that owns the one reference taken here on the caller's buffer.
BufferList* ListAround(Buffer* buffer) {
    if (buffer == nullptr) {
        return nullptr;
    }
    buffer->AddRef(TARVOS_CALL_SITE);
    try {
        return new BufferList(buffer, true, 1);
    } catch (...) {
        buffer->DecRef(TARVOS_CALL_SITE);
        throw;
    }
}
}  // namespace

ResultCallbackWrapper::ResultCallbackWrapper(Buffer* buffer)
    : semaphore(nullptr),
      callerCallback(nullptr),
      result(CacheSource::kResultPending),
      bytes(0),
      list(nullptr) {
    semaphore = MTInterface::NewSemaphore(1, 0);
    try {
        list = ListAround(buffer);
    } catch (...) {
        delete semaphore;
        throw;
    }
}

ResultCallbackWrapper::ResultCallbackWrapper(FileSource::ResultCallbackBuffer* callback, Buffer* buffer)
    : semaphore(nullptr),
      callerCallback(callback),
      result(CacheSource::kResultPending),
      bytes(0),
      list(ListAround(buffer)) {}

ResultCallbackWrapper::~ResultCallbackWrapper() {
    if (list != nullptr) {
        list->DecRef(TARVOS_CALL_SITE);
    }
    delete semaphore;
}

bool ResultCallbackWrapper::CanWait() {
    // The semaphore starts empty with a maximum of 1: a unit given and taken back at once leaves it
    // as it was, and proves that both directions work.
    return semaphore != nullptr && semaphore->Signal(1) && semaphore->Wait(0, 1);
}

void ResultCallbackWrapper::Callback(CacheSource::Result_t newResult, uint64_t offset, BufferList* doneList,
                                     uint32_t bytesTransferred) {
    if (semaphore != nullptr) {
        result = newResult;
        bytes = bytesTransferred;
        // The waiter may release its reference as soon as it wakes; the reference held for this side
        // keeps the wrapper (and its semaphore) alive until the signal has returned.
        semaphore->Signal(1);
        DecRef(TARVOS_CALL_SITE);
        return;
    }
    if (callerCallback != nullptr) {
        Buffer* first = doneList != nullptr ? doneList->GetBuffer(0) : nullptr;
        callerCallback->Callback(newResult, offset, first, bytesTransferred);
    }
    // Holds no source or cache, so this release cannot start a destruction that waits for this thread.
    DecRef(TARVOS_CALL_SITE);
}

CacheSource::Result_t ResultCallbackWrapper::Wait(uint32_t* bytesTransferred) {
    if (semaphore == nullptr || !semaphore->Wait(MTSemaphore::kInfinite, 1)) {
        return CacheSource::kResultFailed;
    }
    if (bytesTransferred != nullptr) {
        *bytesTransferred = bytes;
    }
    return result;
}

TransactionWrapper::TransactionWrapper(CacheTransaction* transaction, FileSource* source)
    : transaction(transaction), source(source) {
    if (transaction != nullptr) {
        transaction->AddRef(TARVOS_CALL_SITE);
    }
    if (source != nullptr) {
        source->AddRef(TARVOS_CALL_SITE);
    }
}

TransactionWrapper::~TransactionWrapper() {
    if (transaction != nullptr) {
        transaction->DecRef(TARVOS_CALL_SITE);
    }
    if (source != nullptr) {
        source->DecRef(TARVOS_CALL_SITE);
    }
}

void TransactionWrapper::Callback(CacheSource::Result_t result, uint64_t offset, BufferList*,
                                  uint32_t bytesTransferred) {
    if (transaction != nullptr) {
        // Every outcome, failures and cancellations included, so that the cache's read finishes.
        transaction->Complete(offset, bytesTransferred, result);
    }
    DeferredRelease::Release(this);
}

ResultBufferListWrapper::ResultBufferListWrapper(FileSource* source, uint64_t offset, BufferList* list,
                                                 FileSource::ResultCallbackBufferList* callback,
                                                 uint32_t dueTime)
    : source(source),
      cache(nullptr),
      callerCallback(callback),
      transaction(nullptr),
      outcomeClaimed(MTInterface::NewAtomicUnsigned32(0)) {
    if (outcomeClaimed == nullptr) {
        throw std::bad_alloc();
    }
    if (source == nullptr || callback == nullptr || source->GetCache() == nullptr) {
        this->source = nullptr;
        callerCallback = nullptr;
        return;
    }
    cache = source->GetCache();
    try {
        transaction = new CacheTransaction(source, offset, list, this, dueTime);
    } catch (...) {
        delete outcomeClaimed;
        throw;
    }
    callerCallback->AddRef(TARVOS_CALL_SITE);
    source->AddRef(TARVOS_CALL_SITE);
    cache->AddRef(TARVOS_CALL_SITE);
}

ResultBufferListWrapper::~ResultBufferListWrapper() {
    // The last reference may go on a cache dispatcher thread (when the transaction outlived the
    // callback), where the source's or the cache's destruction must not run.
    DeferredRelease::Release(cache);
    DeferredRelease::Release(source);
    DeferredRelease::Release(callerCallback);
    if (transaction != nullptr) {
        transaction->DecRef(TARVOS_CALL_SITE);
    }
    delete outcomeClaimed;
}

bool ResultBufferListWrapper::ClaimOutcome() {
    return outcomeClaimed->CompareExchange(0, 1);
}

CacheSource::Result_t ResultBufferListWrapper::Initiate() {
    Cache* current = source != nullptr ? source->GetCache() : nullptr;
    if (callerCallback == nullptr || current == nullptr || transaction == nullptr) {
        if (transaction != nullptr) {
            transaction->Cleanup();
        }
        DecRef(TARVOS_CALL_SITE);
        return CacheSource::kResultInvalidArgument;
    }
    // Cache::Read may finish the transaction before it returns, and the status callback then releases
    // the wrapper; this reference keeps it alive until the outcome's owner is known.
    AddRef(TARVOS_CALL_SITE);
    const CacheSource::Result_t result = current->Read(transaction);
    if (result != CacheSource::kResultPending && ClaimOutcome()) {
        // Refused before anything was reported: the caller learns it from the return value.
        transaction->Cleanup();
        DecRef(TARVOS_CALL_SITE);
        DeferredRelease::Release(this);
        return CacheSource::kResultInvalidArgument;
    }
    // Queued, or finished inside Cache::Read (its status callback has told the caller): either way
    // the caller's callback reports the outcome, exactly once.
    DeferredRelease::Release(this);
    return CacheSource::kResultPending;
}

void ResultBufferListWrapper::Callback(CacheSource::Result_t result, CacheTransaction* done, uint32_t bytes) {
    if (!ClaimOutcome()) {
        return;
    }
    if (callerCallback != nullptr && done != nullptr) {
        callerCallback->Callback(result, done->GetOffset(), done->GetBufferList(), bytes);
    }
    // The transaction is not emptied here: a cache dispatcher may still be walking the blocks for it
    // and reading its source and list. Dropping this wrapper's reference breaks the cycle through the
    // transaction's status callback instead; the transaction releases its source, list and this
    // wrapper when the cache lets go of it too.
    CacheTransaction* finished = transaction;
    transaction = nullptr;
    DeferredRelease::Release(finished);
    DeferredRelease::Release(this);
}

WriteInvalidationWrapper::WriteInvalidationWrapper(FileSource* source, uint64_t offset, uint32_t size,
                                                   FileSource::ResultCallbackBufferList* callback)
    : source(source), offset(offset), size(size), callerCallback(callback) {
    source->AddRef(TARVOS_CALL_SITE);
    if (callerCallback != nullptr) {
        callerCallback->AddRef(TARVOS_CALL_SITE);
    }
}

WriteInvalidationWrapper::~WriteInvalidationWrapper() {
    if (callerCallback != nullptr) {
        callerCallback->DecRef(TARVOS_CALL_SITE);
    }
    source->DecRef(TARVOS_CALL_SITE);
}

void WriteInvalidationWrapper::Callback(CacheSource::Result_t result, uint64_t callbackOffset,
                                        BufferList* list, uint32_t bytesTransferred) {
    Cache* cache = source->GetCache();
    if (cache != nullptr) {
        cache->Invalidate(source, offset, size);
    }
    if (callerCallback != nullptr) {
        callerCallback->Callback(result, callbackOffset, list, bytesTransferred);
    }
    // The source's last reference may go with this wrapper.
    DeferredRelease::Release(this);
}

HeldReadDelivery::HeldReadDelivery(FileSource* source, uint64_t offset, Buffer* buffer,
                                   FileSource::ResultCallbackBuffer* callback, BufferList* list,
                                   FileSource::ResultCallbackBufferList* listCallback, uint32_t bytes,
                                   uint32_t dueTime)
    : DispatcherCommand(kCommandBlock, dueTime, source->GetCache(), source),
      heldSource(source),
      offset(offset),
      buffer(buffer),
      callback(callback),
      list(list),
      listCallback(listCallback),
      bytes(bytes) {
    for (SharedObject* held : {static_cast<SharedObject*>(heldSource), static_cast<SharedObject*>(buffer),
                               static_cast<SharedObject*>(callback), static_cast<SharedObject*>(list),
                               static_cast<SharedObject*>(listCallback)}) {
        if (held != nullptr) {
            held->AddRef(TARVOS_CALL_SITE);
        }
    }
}

HeldReadDelivery::~HeldReadDelivery() {
    for (SharedObject* held : {static_cast<SharedObject*>(listCallback), static_cast<SharedObject*>(list),
                               static_cast<SharedObject*>(callback), static_cast<SharedObject*>(buffer),
                               static_cast<SharedObject*>(heldSource)}) {
        if (held != nullptr) {
            held->DecRef(TARVOS_CALL_SITE);
        }
    }
}

void HeldReadDelivery::Report(CacheSource::Result_t result, uint32_t count) {
    try {
        if (callback != nullptr) {
            callback->Callback(result, offset, buffer, count);
        } else if (listCallback != nullptr) {
            listCallback->Callback(result, offset, list, count);
        }
    } catch (...) {
    }
}

bool HeldReadDelivery::Execute() {
    Report(CacheSource::kResultSuccess, bytes);
    return true;
}

void HeldReadDelivery::Finish(bool cancelled) {
    if (cancelled) {
        Report(CacheSource::kResultCancelled, 0);
    }
    delete this;
}

}  // namespace Tarvos
