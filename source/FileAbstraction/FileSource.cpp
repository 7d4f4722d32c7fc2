// Routing: every variant becomes one asynchronous list operation. Reads go through the cache when the
// source has one at the moment of the call, else straight to the concrete source; writes always go
// straight to the concrete source, after the cache has forgotten the written range. Synchronous
// forms wait on their own asynchronous call, except a cached read whose bytes are all held in the
// cache, which is copied on the caller's thread. Each read is told to the read-ahead once, after it has
// been served or started: by the entry point that served it from held blocks, else by
// ReadAsyncWithList, which every other form goes through.
#include "Tarvos/FileSource.h"

#include <algorithm>
#include <new>

#include "CoreClasses/CallSite.h"
#include "CoreClasses/DeferredRelease.h"
#include "FileAbstraction/FileSourceAdapters.h"
#include "FileAbstraction/ReadAheadWindow.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/Cache.h"
#include "Tarvos/CacheTransaction.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {

// Runs start (which hands the wrapper to an asynchronous operation as its callback) and waits for the
// wrapper's callback. Consumes the creator's reference on wrapper.
template <typename Start>
CacheSource::Result_t RunAndWait(ResultCallbackWrapper* wrapper, uint32_t* bytesTransferred, Start start) {
    if (!wrapper->CanWait()) {
        wrapper->DecRef(TARVOS_CALL_SITE);
        return CacheSource::kResultFailed;
    }
    // One reference for the callback side, dropped by the callback after its signal.
    wrapper->AddRef(TARVOS_CALL_SITE);
    const CacheSource::Result_t started = start(wrapper);
    if (started != CacheSource::kResultPending) {
        wrapper->DecRef(TARVOS_CALL_SITE);
        wrapper->DecRef(TARVOS_CALL_SITE);
        return started;
    }
    const CacheSource::Result_t result = wrapper->Wait(bytesTransferred);
    wrapper->DecRef(TARVOS_CALL_SITE);
    return result;
}

// The adapter made by make, or null when it cannot be allocated: each entry point then refuses the
// call with kResultFailed instead of letting std::bad_alloc out half done.
template <typename Make>
auto TryMake(Make make) -> decltype(make()) {
    try {
        return make();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool NothingToTransfer(BufferList* list) {
    return list == nullptr || list->GetTotalSizeOfBuffers() == 0;
}

}  // namespace

FileSource::FileSource() = default;

FileSource::ReadAheadHold::ReadAheadHold(FileSource* source)
    : source(source->readAheadOn.load() ? source : nullptr) {
    // A started read's callback may drop the last reference on the source; while read-ahead is on,
    // the window is told after the start, so the source must outlive the call.
    if (this->source != nullptr) {
        this->source->AddRef(TARVOS_CALL_SITE);
    }
}

FileSource::ReadAheadHold::~ReadAheadHold() {
    if (source != nullptr) {
        source->DecRef(TARVOS_CALL_SITE);
    }
}

void FileSource::ReadAheadHold::Note(uint64_t offset, uint32_t size, uint32_t dueTime) {
    if (source != nullptr) {
        source->NoteRead(offset, size, dueTime);
    }
}

bool FileSource::ReportHeldRead(uint64_t offset, Buffer* buffer, ResultCallbackBuffer* callback,
                                BufferList* list, ResultCallbackBufferList* listCallback, uint32_t size,
                                uint32_t dueTime) {
    Cache* cache = GetCache();
    if (cache == nullptr || size == 0 || !AcceptsReads()) {
        return false;
    }
    // Made first, so that bytes once copied are always reported.
    auto* report = TryMake([&] {
        return new HeldReadDelivery(this, offset, buffer, callback, list, listCallback, size, dueTime);
    });
    if (report == nullptr) {
        return false;
    }
    if (!cache->ReadHeldThenReport(this, offset, buffer, list, size, report)) {
        report->Finish(false);
        return false;
    }
    return true;
}

FileSource::~FileSource() {
    delete readAhead.load();
}

FileSource::Result_t FileSource::Read(uint64_t offset, Buffer* buffer, uint32_t* bytesTransferred) {
    // Held in the cache: served here, on the caller's thread, with no queue and no allocation.
    Cache* cache = GetCache();
    if (cache != nullptr && buffer != nullptr && AcceptsReads() &&
        cache->ReadHeld(this, offset, buffer, nullptr, buffer->GetSize(), bytesTransferred)) {
        NoteRead(offset, buffer->GetSize(), kDueASAP);
        return kResultSuccess;
    }
    auto* wrapper = TryMake([&] { return new ResultCallbackWrapper(buffer); });
    if (wrapper == nullptr) {
        return kResultFailed;
    }
    return RunAndWait(wrapper, bytesTransferred, [&](ResultCallbackWrapper* callback) {
        return ReadAsyncWithList(offset, callback->GetList(), callback, kDueASAP);
    });
}

FileSource::Result_t FileSource::ReadWithList(uint64_t offset, BufferList* list, uint32_t* bytesTransferred) {
    Cache* cache = GetCache();
    if (cache != nullptr && list != nullptr && AcceptsReads() &&
        cache->ReadHeld(this, offset, nullptr, list, list->GetTotalSizeOfBuffers(), bytesTransferred)) {
        NoteRead(offset, list->GetTotalSizeOfBuffers(), kDueASAP);
        return kResultSuccess;
    }
    auto* wrapper = TryMake([&] { return new ResultCallbackWrapper(static_cast<Buffer*>(nullptr)); });
    if (wrapper == nullptr) {
        return kResultFailed;
    }
    return RunAndWait(wrapper, bytesTransferred, [&](ResultCallbackWrapper* callback) {
        return ReadAsyncWithList(offset, list, callback, kDueASAP);
    });
}

FileSource::Result_t FileSource::ReadAsync(uint64_t offset, Buffer* buffer, ResultCallbackBuffer* callback,
                                           uint32_t dueTime) {
    // Taken now: once the read has started, its callback may release the buffer.
    const uint32_t size = buffer != nullptr ? buffer->GetSize() : 0;
    ReadAheadHold hold(this);
    if (buffer != nullptr && callback != nullptr &&
        ReportHeldRead(offset, buffer, callback, nullptr, nullptr, size, dueTime)) {
        hold.Note(offset, size, dueTime);
        return kResultPending;
    }
    auto* wrapper = TryMake([&] { return new ResultCallbackWrapper(callback, buffer); });
    if (wrapper == nullptr) {
        return kResultFailed;
    }
    const Result_t result = ReadAsyncWithList(offset, wrapper->GetList(), wrapper, dueTime);
    if (result != kResultPending) {
        wrapper->DecRef(TARVOS_CALL_SITE);
    }
    return result;
}

FileSource::Result_t FileSource::ReadAsyncWithList(uint64_t offset, BufferList* list,
                                                   ResultCallbackBufferList* callback, uint32_t dueTime) {
    // Taken now: once the read has started, its callback may release the list.
    const uint32_t size = list != nullptr ? list->GetTotalSizeOfBuffers() : 0;
    ReadAheadHold hold(this);
    const Result_t result = StartReadWithList(offset, list, callback, dueTime);
    if (result == kResultPending) {
        hold.Note(offset, size, dueTime);
    }
    return result;
}

FileSource::Result_t FileSource::StartReadWithList(uint64_t offset, BufferList* list,
                                                   ResultCallbackBufferList* callback, uint32_t dueTime) {
    // Nothing to read into, or a source that takes no reads: refused alike cached and uncached. The
    // cache would otherwise wait for a copy that has nowhere to go, and the caller for a callback.
    if (NothingToTransfer(list) || !AcceptsReads()) {
        return kResultInvalidArgument;
    }
    if (GetCache() == nullptr) {
        return ReadAsyncWithListNonCached(offset, list, callback, dueTime);
    }
    if (list != nullptr && callback != nullptr &&
        ReportHeldRead(offset, nullptr, nullptr, list, callback, list->GetTotalSizeOfBuffers(), dueTime)) {
        return kResultPending;
    }
    auto* wrapper =
        TryMake([&] { return new ResultBufferListWrapper(this, offset, list, callback, dueTime); });
    if (wrapper == nullptr) {
        return kResultFailed;
    }
    return wrapper->Initiate();
}

void FileSource::PreRead(uint64_t offset, uint32_t size, uint32_t dueTime) {
    Cache* cache = GetCache();
    if (cache == nullptr) {
        PreReadNonCached(offset, size, dueTime);
        return;
    }
    cache->PreRead(this, offset, size, dueTime);
}

void FileSource::PreReadNonCached(uint64_t, uint32_t, uint32_t) {}

void FileSource::SetReadAhead(bool on) {
    if (on && readAhead.load() == nullptr) {
        auto* window = TryMake([] { return new ReadAheadWindow(); });
        if (window == nullptr) {
            return;  // read-ahead is advice: without memory for it the source reads as before
        }
        ReadAheadWindow* none = nullptr;
        if (!readAhead.compare_exchange_strong(none, window)) {
            delete window;  // another thread's is in place
        }
    }
    readAheadOn.store(on);
    if (!on) {
        // A later switch back on starts from a new pattern, not from where the reader was.
        if (ReadAheadWindow* window = readAhead.load()) {
            window->Reset();
        }
    }
}

bool FileSource::GetReadAhead() {
    return readAheadOn.load();
}

void FileSource::SetReadAheadMaximum(uint32_t bytes) {
    readAheadMaximum.store(bytes);
}

uint32_t FileSource::GetReadAheadMaximum() {
    return readAheadMaximum.load();
}

void FileSource::NoteRead(uint64_t offset, uint32_t size, uint32_t dueTime) {
    if (!readAheadOn.load()) {
        return;
    }
    ReadAheadWindow* window = readAhead.load();
    Cache* cache = GetCache();
    if (window == nullptr || cache == nullptr) {
        return;
    }
    const uint64_t blockSize = cache->GetBlockSize();
    const uint64_t cap =
        std::min<uint64_t>(blockSize * cache->GetNumberOfBlocks() / 4, readAheadMaximum.load());
    const ReadAheadWindow::Plan plan = window->OnRead(
        offset, size, dueTime, MTInterface::GetCurrentTimeMilli(), static_cast<uint32_t>(blockSize), cap);
    for (uint32_t i = 0; i < plan.count; ++i) {
        cache->PreRead(this, plan.pieces[i].offset, plan.pieces[i].size, plan.pieces[i].dueTime);
    }
}

bool FileSource::AcceptsReads() {
    return true;
}

bool FileSource::SupportsPreReads() {
    return false;
}

FileSource::Result_t FileSource::Write(uint64_t offset, Buffer* buffer, uint32_t* bytesTransferred) {
    auto* wrapper = TryMake([&] { return new ResultCallbackWrapper(buffer); });
    if (wrapper == nullptr) {
        return kResultFailed;
    }
    return RunAndWait(wrapper, bytesTransferred, [&](ResultCallbackWrapper* callback) {
        return WriteAsyncWithList(offset, callback->GetList(), callback, kDueASAP);
    });
}

FileSource::Result_t FileSource::WriteWithList(uint64_t offset, BufferList* list,
                                               uint32_t* bytesTransferred) {
    auto* wrapper = TryMake([&] { return new ResultCallbackWrapper(static_cast<Buffer*>(nullptr)); });
    if (wrapper == nullptr) {
        return kResultFailed;
    }
    return RunAndWait(wrapper, bytesTransferred, [&](ResultCallbackWrapper* callback) {
        return WriteAsyncWithList(offset, list, callback, kDueASAP);
    });
}

FileSource::Result_t FileSource::WriteAsync(uint64_t offset, Buffer* buffer, ResultCallbackBuffer* callback,
                                            uint32_t dueTime) {
    auto* wrapper = TryMake([&] { return new ResultCallbackWrapper(callback, buffer); });
    if (wrapper == nullptr) {
        return kResultFailed;
    }
    const Result_t result = WriteAsyncWithList(offset, wrapper->GetList(), wrapper, dueTime);
    if (result != kResultPending) {
        wrapper->DecRef(TARVOS_CALL_SITE);
    }
    return result;
}

FileSource::Result_t FileSource::WriteAsyncWithList(uint64_t offset, BufferList* list,
                                                    ResultCallbackBufferList* callback, uint32_t dueTime) {
    if (NothingToTransfer(list)) {
        return kResultInvalidArgument;
    }
    Cache* cache = GetCache();
    if (cache == nullptr) {
        return WriteAsyncWithListNonCached(offset, list, callback, dueTime);
    }
    const uint32_t size = list != nullptr ? list->GetTotalSizeOfBuffers() : 0;
    // Finishes before the write starts, so no later cached read can see the old bytes; the wrapper
    // forgets the range again when the write is over (see WriteInvalidationWrapper).
    cache->Invalidate(this, offset, size);
    auto* wrapper = TryMake([&] { return new WriteInvalidationWrapper(this, offset, size, callback); });
    if (wrapper == nullptr) {
        return kResultFailed;
    }
    const Result_t result = WriteAsyncWithListNonCached(offset, list, wrapper, dueTime);
    if (result != kResultPending) {
        wrapper->DecRef(TARVOS_CALL_SITE);
    }
    return result;
}

int32_t FileSource::DecRef(const char* file, const char* function, uint32_t line) {
    // With one reference left, only its holder can touch the count, so the check cannot race.
    if (GetRefCount() == 1) {
        Cache* cache = GetCache();
        if (cache != nullptr && cache->OnOwnDispatcherThread() && DeferredRelease::HandOver(this)) {
            return 0;
        }
    }
    return CacheSource::DecRef(file, function, line);
}

void FileSource::Cancel() {
    // The pre-reads handed out are cancelled with the rest: a window that remembered them would never
    // ask for those ranges again.
    if (ReadAheadWindow* window = readAhead.load()) {
        window->Reset();
    }
    Cache* cache = GetCache();
    if (cache == nullptr) {
        CancelNonCached();
        return;
    }
    cache->Cancel(this);
}

FileSource::Result_t FileSource::ReadTransaction(CacheTransaction* transaction) {
    if (transaction == nullptr) {
        return kResultInvalidArgument;
    }
    auto* wrapper = TryMake([&] { return new TransactionWrapper(transaction, this); });
    if (wrapper == nullptr) {
        return kResultFailed;
    }
    const Result_t result = ReadAsyncWithListNonCached(transaction->GetOffset(), transaction->GetBufferList(),
                                                       wrapper, transaction->GetDueTime());
    if (result != kResultPending) {
        // The caller (a cache dispatcher) holds the transaction and so the source: not the last one.
        wrapper->DecRef(TARVOS_CALL_SITE);
    }
    return result;
}

void FileSource::CancelAllTransactions() {
    CancelNonCached();
}

void FileSource::PreReadTransaction(CacheTransaction* transaction) {
    if (transaction != nullptr && SupportsPreReads()) {
        PreReadNonCached(transaction->GetOffset(), transaction->GetSize(), transaction->GetDueTime());
    }
}

bool FileSource::SupportsPreReadTransactions() {
    return SupportsPreReads();
}

}  // namespace Tarvos
