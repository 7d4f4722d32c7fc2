// Slot states (the engine's queue lock guards every change):
//
// | state     | left by                                                                    |
// |-----------|----------------------------------------------------------------------------|
// | free      | a submitter takes it (-> reserved)                                         |
// | reserved  | the submitter queues it (-> queued) or cannot prepare the list (-> free)    |
// | queued    | issued (-> in flight); overdue, refused at issue, cancelled (-> reporting)  |
// | in flight | its event's completion, or cancellation of its file (-> reporting)         |
// | reporting | callback returned: nothing outstanding (-> free), else (-> draining)        |
// | draining  | the system completes the cancelled operation on the slot's event (-> free) |
//
// Every change after queued happens on the I/O thread. A request is reported once because the state
// leaves queued or in flight, under the lock, before its callback is called. A slot's OVERLAPPED and
// event serve one operation at a time: the slot is only reused once the system has completed its
// operation, so a late completion never ends a later request of the same slot. Releasing a slot
// unlocks and drops the list outside the lock: that may destroy objects whose destructors call back in.
#include "OSServices/Win/NativeIOEngine.h"

#include <process.h>

#include <algorithm>
#include <new>

#include "CoreClasses/MTCritSecHold.h"
#include "OSServices/Win/ScatterGatherManager.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {

constexpr uint64_t kLargestOffset = 0x7FFFFFFFFFFFFFFFull;
constexpr uint32_t kLongestDeadlineMs = 0x7FFFFFFFu;
constexpr DWORD kWorkIndex = NativeIOEngine::kNativeIORequestSlots;
constexpr DWORD kShutdownIndex = kWorkIndex + 1;

NativeIOEngine* processEngine = nullptr;

// Wrap-aware: a due time up to 2^31 ms behind now counts as passed.
bool Overdue(uint32_t now, uint32_t dueTime) {
    return static_cast<int32_t>(now - dueTime) >= 0;
}

HANDLE NewAutoResetEvent() {
    return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

}  // namespace

NativeIOEngine* NativeIOEngine::GetEngine() {
    if (processEngine != nullptr) {
        return processEngine;
    }
    NativeIOEngine* engine = new (std::nothrow) NativeIOEngine();
    if (engine == nullptr) {
        return nullptr;
    }
    if (!engine->IsRunning()) {
        delete engine;
        return nullptr;
    }
    processEngine = engine;
    return engine;
}

NativeIOEngine::NativeIOEngine(bool startThread)
    : workEvent(NewAutoResetEvent()),
      shutdownEvent(NewAutoResetEvent()),
      cancelRequestEvent(NewAutoResetEvent()),
      cancelDoneEvent(NewAutoResetEvent()),
      waitHandles{},
      running(false),
      cancelRequested(false),
      cancelFile(nullptr),
      thread(nullptr),
      stopRequested(false),
      ioThreadId(0),
      plainTransfers(0),
      vectoredTransfers(0) {
    bool eventsMade = workEvent != nullptr && shutdownEvent != nullptr && cancelRequestEvent != nullptr &&
                      cancelDoneEvent != nullptr;
    for (uint32_t i = 0; i < kNativeIORequestSlots; ++i) {
        slots[i].overlapped.hEvent = NewAutoResetEvent();
        waitHandles[i] = slots[i].overlapped.hEvent;
        eventsMade = eventsMade && waitHandles[i] != nullptr;
        slots[i].manager = std::make_unique<ScatterGatherManager>();
    }
    waitHandles[kWorkIndex] = workEvent;
    waitHandles[kShutdownIndex] = shutdownEvent;
    waitHandles[kShutdownIndex + 1] = cancelRequestEvent;
    queue.reserve(kNativeIORequestSlots);
    batch.reserve(kNativeIORequestSlots);
    if (!eventsMade || !startThread) {
        return;
    }
    unsigned threadId = 0;
    const uintptr_t started =
        _beginthreadex(nullptr, 0, &NativeIOEngine::ThreadEntry, this, CREATE_SUSPENDED, &threadId);
    if (started == 0) {
        return;
    }
    thread = reinterpret_cast<HANDLE>(started);
    ioThreadId.store(threadId);
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    {
        MTCritSecHold hold(&queueLock);
        running = true;
    }
    if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
        // Never ran: nothing of this engine is in use by it.
        TerminateThread(thread, 1);
        CloseHandle(thread);
        thread = nullptr;
        ioThreadId.store(0);
        MTCritSecHold hold(&queueLock);
        running = false;
    }
}

NativeIOEngine::~NativeIOEngine() {
    if (thread != nullptr) {
        stopRequested.store(true);
        SetEvent(shutdownEvent);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    for (NativeIORequest& slot : slots) {
        slot.manager.reset();
        if (slot.overlapped.hEvent != nullptr) {
            CloseHandle(slot.overlapped.hEvent);
        }
    }
    for (HANDLE event : {workEvent, shutdownEvent, cancelRequestEvent, cancelDoneEvent}) {
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
}

CacheSource::Result_t NativeIOEngine::Read(HANDLE file, BufferList* list, uint64_t offset,
                                           uint32_t deadlineMs,
                                           FileSource::ResultCallbackBufferList* callback) {
    return Submit(false, file, list, offset, deadlineMs, callback);
}

CacheSource::Result_t NativeIOEngine::Write(HANDLE file, BufferList* list, uint64_t offset,
                                            uint32_t deadlineMs,
                                            FileSource::ResultCallbackBufferList* callback) {
    return Submit(true, file, list, offset, deadlineMs, callback);
}

CacheSource::Result_t NativeIOEngine::Submit(bool write, HANDLE file, BufferList* list, uint64_t offset,
                                             uint32_t deadlineMs,
                                             FileSource::ResultCallbackBufferList* callback) {
    // The system takes file offsets as signed 64-bit values.
    if (offset > kLargestOffset || list == nullptr) {
        return CacheSource::kResultFailed;
    }
    uint32_t index = kNativeIORequestSlots;
    {
        MTCritSecHold hold(&queueLock);
        if (!running) {
            return CacheSource::kResultFailed;
        }
        for (uint32_t i = 0; i < kNativeIORequestSlots; ++i) {
            if (slots[i].state == kSlotFree) {
                index = i;
                break;
            }
        }
        if (index == kNativeIORequestSlots) {
            return CacheSource::kResultBusy;
        }
        slots[index].state = kSlotReserved;
        ++slots[index].generation;
    }
    NativeIORequest& slot = slots[index];
    bool prepared = false;
    try {
        prepared = slot.manager->StartUsingBufferList(list);
    } catch (...) {
        MTCritSecHold hold(&queueLock);
        slot.state = kSlotFree;
        throw;
    }
    if (!prepared) {
        MTCritSecHold hold(&queueLock);
        slot.state = kSlotFree;
        return CacheSource::kResultFailed;
    }
    slot.callback = callback;
    slot.list = list;
    slot.file = file;
    slot.startOffset = offset;
    slot.currentOffset = offset;
    slot.size = slot.manager->GetTotalSize();
    slot.transferred = 0;
    slot.write = write;
    // Deadlines beyond half the clock's range would read as already passed.
    slot.dueTime = MTInterface::GetCurrentTimeMilli() + std::min(deadlineMs, kLongestDeadlineMs);
    bool queued = false;
    {
        MTCritSecHold hold(&queueLock);
        if (running) {
            slot.state = kSlotQueued;
            queue.push_back(QueueEntry{index, slot.generation});
            queued = true;
        }
    }
    if (!queued) {
        // The I/O thread stopped meanwhile; nobody else touches a reserved slot.
        slot.manager->StopUsingBufferList();
        MTCritSecHold hold(&queueLock);
        slot.callback = nullptr;
        slot.list = nullptr;
        slot.state = kSlotFree;
        return CacheSource::kResultFailed;
    }
    SetEvent(workEvent);
    return CacheSource::kResultPending;
}

void NativeIOEngine::Cancel(HANDLE file) {
    if (IsIOThread()) {
        CancelRequests(file, false, CacheSource::kResultCancelled);
        return;
    }
    MTCritSecHold serialise(&cancelLock);
    {
        MTCritSecHold hold(&queueLock);
        if (!running) {
            // The I/O thread has ended every live request on its way out (or never ran).
            return;
        }
        cancelRequested = true;
        cancelFile = file;
    }
    SetEvent(cancelRequestEvent);
    WaitForSingleObject(cancelDoneEvent, INFINITE);
}

bool NativeIOEngine::IsIOThread() {
    const DWORD id = ioThreadId.load();
    return id != 0 && id == GetCurrentThreadId();
}

bool NativeIOEngine::IsRunning() {
    MTCritSecHold hold(&queueLock);
    return running;
}

uint32_t NativeIOEngine::GetBusySlotCount() {
    MTCritSecHold hold(&queueLock);
    uint32_t busy = 0;
    for (const NativeIORequest& slot : slots) {
        busy += slot.state != kSlotFree ? 1 : 0;
    }
    return busy;
}

unsigned __stdcall NativeIOEngine::ThreadEntry(void* engine) {
    static_cast<NativeIOEngine*>(engine)->RunLoop();
    return 0;
}

void NativeIOEngine::RunLoop() {
    while (!stopRequested.load()) {
        const DWORD timeout = IssuePass();
        // The cancel request is served on every turn, not only when its event wins the wait: the lowest
        // signalled index wins, and a steady stream of completions would otherwise starve it.
        ServeCancelRequest();
        if (stopRequested.load()) {
            break;
        }
        const DWORD signalled = WaitForMultipleObjects(kNativeIOWaitHandles, waitHandles, FALSE, timeout);
        if (signalled == WAIT_FAILED) {
            break;
        }
        if (signalled >= WAIT_OBJECT_0 && signalled < WAIT_OBJECT_0 + kNativeIORequestSlots) {
            HandleCompletion(signalled - WAIT_OBJECT_0);
        } else if (signalled == WAIT_OBJECT_0 + kShutdownIndex) {
            break;
        }
        // The work and cancel events need nothing more: the next turn issues and serves.
    }
    {
        MTCritSecHold hold(&queueLock);
        running = false;
    }
    // Nothing new is accepted now: end what is left, answer a waiting Cancel, then wait until the
    // system has completed every issued operation, so that no slot's memory is still written to.
    CancelRequests(nullptr, true, CacheSource::kResultFailed);
    ServeCancelRequest();
    while (AnyOutstanding()) {
        const DWORD signalled = WaitForMultipleObjects(kNativeIORequestSlots, waitHandles, FALSE, INFINITE);
        if (signalled == WAIT_FAILED || signalled >= WAIT_OBJECT_0 + kNativeIORequestSlots) {
            break;
        }
        HandleCompletion(signalled - WAIT_OBJECT_0);
    }
}

DWORD NativeIOEngine::IssuePass() {
    {
        MTCritSecHold hold(&queueLock);
        batch.swap(queue);
    }
    for (const QueueEntry& entry : batch) {
        NativeIORequest& slot = slots[entry.slot];
        {
            // Cancellation removes its entries from the queue, but an entry taken into this batch can
            // still name a slot that a callback earlier in the pass ended.
            MTCritSecHold hold(&queueLock);
            if (slot.state != kSlotQueued || slot.generation != entry.generation) {
                continue;
            }
        }
        if (Overdue(MTInterface::GetCurrentTimeMilli(), slot.dueTime)) {
            CancelRequests(slot.file, false, CacheSource::kResultFailed);
            continue;
        }
        Issue(entry.slot);
    }
    batch.clear();
    // Every queued request was issued or ended above, so nothing waits for a deadline: the next wait
    // lasts until an event.
    return INFINITE;
}

void NativeIOEngine::Issue(uint32_t index) {
    NativeIORequest& slot = slots[index];
    slot.overlapped.Internal = 0;
    slot.overlapped.InternalHigh = 0;
    slot.overlapped.Offset = static_cast<DWORD>(slot.currentOffset & 0xFFFFFFFFu);
    slot.overlapped.OffsetHigh = static_cast<DWORD>(slot.currentOffset >> 32);
    uint32_t contiguousSize = 0;
    void* contiguous = slot.manager->GetContiguousAddress(&contiguousSize);
    BOOL done = FALSE;
    if (contiguous != nullptr) {
        done = slot.write ? WriteFile(slot.file, contiguous, slot.size, nullptr, &slot.overlapped)
                          : ReadFile(slot.file, contiguous, slot.size, nullptr, &slot.overlapped);
    } else {
        uint32_t segmentBytes = 0;
        auto* segments =
            reinterpret_cast<FILE_SEGMENT_ELEMENT*>(slot.manager->GetSegmentArray(&segmentBytes));
        if (segments == nullptr) {
            Report(index, CacheSource::kResultFailed, 0);
            return;
        }
        done = slot.write ? WriteFileGather(slot.file, segments, slot.size, nullptr, &slot.overlapped)
                          : ReadFileScatter(slot.file, segments, slot.size, nullptr, &slot.overlapped);
    }
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (done || error == ERROR_IO_PENDING) {
        // Started or already finished: the slot's event reports it either way.
        (contiguous != nullptr ? plainTransfers : vectoredTransfers).fetch_add(1);
        slot.outstanding = true;
        MTCritSecHold hold(&queueLock);
        slot.state = kSlotInFlight;
        return;
    }
    Report(index, error == ERROR_HANDLE_EOF ? CacheSource::kResultEndOfFile : CacheSource::kResultFailed, 0);
}

void NativeIOEngine::HandleCompletion(uint32_t index) {
    NativeIORequest& slot = slots[index];
    SlotState_t state = kSlotFree;
    {
        MTCritSecHold hold(&queueLock);
        state = slot.state;
    }
    // Only the I/O thread sets and clears outstanding. A signal without an operation owed is stray.
    if (!slot.outstanding || (state != kSlotInFlight && state != kSlotDraining)) {
        return;
    }
    DWORD bytes = 0;
    const BOOL succeeded = GetOverlappedResult(slot.file, &slot.overlapped, &bytes, FALSE);
    const DWORD error = succeeded ? ERROR_SUCCESS : GetLastError();
    if (!succeeded && error == ERROR_IO_INCOMPLETE) {
        return;
    }
    slot.outstanding = false;
    if (state == kSlotDraining) {
        Release(index);
        return;
    }
    slot.transferred += bytes;
    slot.currentOffset += bytes;
    CacheSource::Result_t result = CacheSource::kResultSuccess;
    if (!succeeded) {
        result = error == ERROR_HANDLE_EOF ? CacheSource::kResultEndOfFile : CacheSource::kResultFailed;
    } else if (slot.transferred == 0 && slot.size != 0 && !slot.write) {
        // A read that succeeds with nothing started at or beyond the end of the file.
        result = CacheSource::kResultEndOfFile;
    } else if (slot.transferred < slot.size) {
        result = CacheSource::kResultPartial;
    }
    Report(index, result, slot.transferred);
}

void NativeIOEngine::ServeCancelRequest() {
    HANDLE file = nullptr;
    {
        MTCritSecHold hold(&queueLock);
        if (!cancelRequested) {
            return;
        }
        file = cancelFile;
    }
    CancelRequests(file, false, CacheSource::kResultCancelled);
    {
        MTCritSecHold hold(&queueLock);
        cancelRequested = false;
    }
    SetEvent(cancelDoneEvent);
}

void NativeIOEngine::CancelRequests(HANDLE file, bool allFiles, CacheSource::Result_t result) {
    // First stop the system's work on the files concerned; the cancelled operations still complete on
    // their slots' events, which is when those slots become free.
    std::vector<HANDLE> cancelled;
    {
        MTCritSecHold hold(&queueLock);
        for (const NativeIORequest& slot : slots) {
            if (slot.state == kSlotInFlight && (allFiles || slot.file == file) &&
                std::find(cancelled.begin(), cancelled.end(), slot.file) == cancelled.end()) {
                cancelled.push_back(slot.file);
            }
        }
    }
    for (HANDLE each : cancelled) {
        CancelIo(each);
    }
    for (uint32_t i = 0; i < kNativeIORequestSlots; ++i) {
        NativeIORequest& slot = slots[i];
        {
            MTCritSecHold hold(&queueLock);
            const bool live = slot.state == kSlotQueued || slot.state == kSlotInFlight;
            if (!live || (!allFiles && slot.file != file)) {
                continue;
            }
            if (slot.state == kSlotQueued) {
                for (auto it = queue.begin(); it != queue.end(); ++it) {
                    if (it->slot == i) {
                        queue.erase(it);
                        break;
                    }
                }
            } else if (std::find(cancelled.begin(), cancelled.end(), slot.file) == cancelled.end()) {
                // Issued by a callback earlier in this routine, after the files were cancelled.
                cancelled.push_back(slot.file);
                CancelIo(slot.file);
            }
            // Taken out of the live states before anything else runs, so that a nested cancellation
            // from the callback below never reports it again.
            slot.state = kSlotReporting;
        }
        Report(i, result, 0);
    }
}

void NativeIOEngine::Report(uint32_t index, CacheSource::Result_t result, uint32_t bytes) {
    NativeIORequest& slot = slots[index];
    {
        MTCritSecHold hold(&queueLock);
        slot.state = kSlotReporting;
    }
    if (slot.callback != nullptr) {
        slot.callback->Callback(result, slot.startOffset, slot.list, bytes);
    }
    if (slot.outstanding) {
        MTCritSecHold hold(&queueLock);
        slot.state = kSlotDraining;
        return;
    }
    Release(index);
}

void NativeIOEngine::Release(uint32_t index) {
    NativeIORequest& slot = slots[index];
    slot.manager->StopUsingBufferList();
    MTCritSecHold hold(&queueLock);
    slot.callback = nullptr;
    slot.list = nullptr;
    slot.file = nullptr;
    slot.state = kSlotFree;
}

bool NativeIOEngine::AnyOutstanding() {
    for (const NativeIORequest& slot : slots) {
        if (slot.outstanding) {
            return true;
        }
    }
    return false;
}

}  // namespace Tarvos
