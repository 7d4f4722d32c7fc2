// Slot states (the engine's queue lock guards every change):
//
// | state     | left by                                                                  |
// |-----------|--------------------------------------------------------------------------|
// | free      | a submitter takes it (-> reserved)                                       |
// | reserved  | the submitter queues it (-> queued) or cannot prepare the list (-> free)  |
// | queued    | issued (-> in flight); overdue, refused at issue, cancelled (-> reporting)|
// | in flight | its completion, or cancellation of its file (-> reporting)               |
// | reporting | callback returned: nothing outstanding (-> free), else (-> draining)      |
// | draining  | the mechanism reports the cancelled operation (-> free)                  |
//
// The queue holds the queued slots sorted by due time (equal ones in arrival order); an issue pass first
// fails the files of requests past their deadline, then issues from the front while fewer than the
// in-kernel limit are outstanding, and the I/O thread waits no longer than until the earliest deadline
// of what still waits. Every change after queued happens on the I/O thread. A request is reported once
// because the state leaves queued or in flight, under the lock, before its callback is called. A slot is only
// reused once the mechanism has reported its operation, and every operation carries its slot and the slot's
// generation, so a late completion never ends a later request of the same slot. Releasing a slot
// unlocks and drops the list outside the lock: that may destroy objects whose destructors call back in.
#include "OSServices/NativeIOEngine.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "CoreClasses/MTCritSecHold.h"
#include "OSServices/ScatterGatherManager.h"

namespace Tarvos {

namespace {

constexpr uint32_t kSlotBits = 8;
constexpr uint64_t kSlotMask = (uint64_t{1} << kSlotBits) - 1;
// A transfer that ends with EINTR or EAGAIN is issued again up to this many times before it fails.
constexpr uint32_t kTransientRetries = 3;
constexpr uint64_t kLargestOffset = 0x7FFFFFFFFFFFFFFFull;
constexpr uint32_t kLongestDeadlineMs = 0x7FFFFFFFu;

NativeIOEngine* processEngine = nullptr;
// The engine whose I/O thread this is; null on every other thread.
thread_local NativeIOEngine* runningEngine = nullptr;

uint64_t MakeTag(uint32_t slot, uint32_t generation) {
    return (uint64_t{generation} << kSlotBits) | slot;
}

// Wrap-aware: a due time up to 2^31 ms behind now counts as passed.
bool Overdue(uint32_t now, uint32_t dueTime) {
    return static_cast<int32_t>(now - dueTime) >= 0;
}

}  // namespace

NativeIOEngine::SlotFreedListener::~SlotFreedListener() = default;
NativeIOEngine::IOErrorListener::~IOErrorListener() = default;
NativeIOEngine::IssueObserver::~IssueObserver() = default;

NativeIOEngine* NativeIOEngine::GetEngine() {
    if (processEngine != nullptr) {
        return processEngine;
    }
    std::string why;
    std::unique_ptr<IOMechanism> chosen;
    NativeIOEngine* engine = nullptr;
    try {
        chosen = NewIOMechanismFor(std::getenv("TARVOS_IO_BACKEND"), &why);
        if (chosen == nullptr) {
            return nullptr;
        }
        engine = new NativeIOEngine(std::move(chosen), why);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (!engine->IsRunning()) {
        delete engine;
        return nullptr;
    }
    processEngine = engine;
    return engine;
}

NativeIOEngine::NativeIOEngine(std::unique_ptr<IOMechanism> chosenMechanism, const std::string& why,
                               uint32_t limit)
    : mechanism(std::move(chosenMechanism)),
      reason(why),
      maxRuns(mechanism != nullptr ? mechanism->GetMaxRuns() : 0),
      inKernelLimit(std::max(limit, 1u)),
      inKernel(0),
      queuedOnIOThread(false),
      issueObserver(nullptr),
      queueLock(MTInterface::NewCritSec()),
      running(false),
      ioThreadMayWait(false),
      cancelRequested(false),
      cancelFile(-1),
      cancelLock(MTInterface::NewCritSec()),
      cancelDone(MTInterface::NewSemaphore(1, 0)),
      listenerLock(MTInterface::NewCritSec()),
      thread(nullptr),
      stopRequested(false),
      plainTransfers(0),
      vectoredTransfers(0) {
    for (NativeIORequest& slot : slots) {
        slot.manager = std::make_unique<ScatterGatherManager>();
    }
    queue.reserve(kNativeIORequestSlots);
    completions.reserve(4 * kNativeIORequestSlots);
    if (mechanism == nullptr || queueLock == nullptr || cancelLock == nullptr || cancelDone == nullptr ||
        listenerLock == nullptr) {
        return;
    }
    running = true;
    try {
        thread = MTInterface::NewThread(this, MTThread::kMTPriorityTimeCritical, MTThread::kProcessorAny);
    } catch (const char*) {
        thread = nullptr;
    }
    if (thread == nullptr) {
        MTCritSecHold hold(queueLock);
        running = false;
    }
}

NativeIOEngine::~NativeIOEngine() {
    if (thread != nullptr) {
        thread->Terminate(MTSemaphore::kInfinite);
        delete thread;
    }
    for (NativeIORequest& slot : slots) {
        slot.manager.reset();
    }
    delete cancelDone;
    delete listenerLock;
    delete cancelLock;
    delete queueLock;
}

CacheSource::Result_t NativeIOEngine::Read(IOFileHandle file, BufferList* list, uint64_t offset,
                                           uint32_t deadlineMs,
                                           FileSource::ResultCallbackBufferList* callback, uint32_t dueTime,
                                           IOErrorListener* errors) {
    return Submit(false, file, list, offset, deadlineMs, callback, dueTime, errors);
}

CacheSource::Result_t NativeIOEngine::Write(IOFileHandle file, BufferList* list, uint64_t offset,
                                            uint32_t deadlineMs,
                                            FileSource::ResultCallbackBufferList* callback, uint32_t dueTime,
                                            IOErrorListener* errors) {
    return Submit(true, file, list, offset, deadlineMs, callback, dueTime, errors);
}

CacheSource::Result_t NativeIOEngine::Submit(bool write, IOFileHandle file, BufferList* list, uint64_t offset,
                                             uint32_t deadlineMs,
                                             FileSource::ResultCallbackBufferList* callback, uint32_t dueTime,
                                             IOErrorListener* errors) {
    // Larger offsets are negative to the system, and io_uring would take all ones for "current position".
    if (offset > kLargestOffset || list == nullptr || queueLock == nullptr || mechanism == nullptr) {
        return CacheSource::kResultFailed;
    }
    uint32_t index = kNativeIORequestSlots;
    {
        MTCritSecHold hold(queueLock);
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
        prepared = slot.manager->StartUsingBufferList(list, maxRuns);
    } catch (...) {
        MTCritSecHold hold(queueLock);
        slot.state = kSlotFree;
        throw;
    }
    if (!prepared) {
        {
            MTCritSecHold hold(queueLock);
            slot.state = kSlotFree;
        }
        // Someone may have been told "busy" while this slot was reserved.
        NotifySlotFreed();
        return CacheSource::kResultFailed;
    }
    slot.callback = callback;
    slot.errors = errors;
    slot.list = list;
    slot.file = file;
    slot.startOffset = offset;
    slot.size = slot.manager->GetTotalSize();
    slot.write = write;
    slot.retries = 0;
    slot.dueTime = dueTime;
    // Deadlines beyond half the clock's range would read as already passed.
    slot.deadline = MTInterface::GetCurrentTimeMilli() + std::min(deadlineMs, kLongestDeadlineMs);
    bool queued = false;
    bool wake = false;
    const bool onIOThread = IsIOThread();
    {
        MTCritSecHold hold(queueLock);
        if (running) {
            slot.state = kSlotQueued;
            // After every entry due at the same time or sooner: equal due times keep arrival order.
            const auto place =
                std::upper_bound(queue.begin(), queue.end(), dueTime,
                                 [](uint32_t due, const QueueEntry& entry) { return due < entry.dueTime; });
            queue.insert(place, QueueEntry{index, slot.generation, dueTime, slot.deadline});
            queued = true;
            if (!onIOThread) {
                wake = ioThreadMayWait;
                ioThreadMayWait = false;
            }
        }
    }
    if (!queued) {
        // The I/O thread stopped meanwhile; nobody else touches a reserved slot.
        slot.manager->StopUsingBufferList();
        {
            MTCritSecHold hold(queueLock);
            slot.callback = nullptr;
            slot.errors = nullptr;
            slot.list = nullptr;
            slot.state = kSlotFree;
        }
        NotifySlotFreed();
        return CacheSource::kResultFailed;
    }
    // A wake-up costs a system call here and a trip round the I/O thread's loop: only when the I/O
    // thread may be waiting. A callback on the I/O thread needs none; it issues before it waits again.
    if (onIOThread) {
        queuedOnIOThread = true;
    } else if (wake) {
        mechanism->Wake();
    }
    return CacheSource::kResultPending;
}

void NativeIOEngine::Cancel(IOFileHandle file) {
    if (IsIOThread()) {
        CancelRequests(file, false, CacheSource::kResultCancelled);
        return;
    }
    if (cancelLock == nullptr || mechanism == nullptr) {
        return;
    }
    MTCritSecHold serialise(cancelLock);
    {
        MTCritSecHold hold(queueLock);
        if (!running) {
            // The I/O thread has ended every live request on its way out (or never ran).
            return;
        }
        cancelRequested = true;
        cancelFile = file;
    }
    mechanism->Wake();
    cancelDone->Wait(MTSemaphore::kInfinite, 1);
}

bool NativeIOEngine::IsIOThread() {
    return runningEngine == this;
}

const char* NativeIOEngine::GetMechanismName() {
    return mechanism != nullptr ? mechanism->GetName() : "none";
}

const char* NativeIOEngine::GetMechanismReason() {
    return reason.c_str();
}

bool NativeIOEngine::IsRunning() {
    if (queueLock == nullptr) {
        return false;
    }
    MTCritSecHold hold(queueLock);
    return running;
}

void NativeIOEngine::AddSlotFreedListener(SlotFreedListener* listener) {
    if (listener == nullptr || listenerLock == nullptr) {
        return;
    }
    MTCritSecHold hold(listenerLock);
    listeners.push_back(listener);
}

void NativeIOEngine::RemoveSlotFreedListener(SlotFreedListener* listener) {
    if (listenerLock == nullptr) {
        return;
    }
    MTCritSecHold hold(listenerLock);
    for (auto it = listeners.begin(); it != listeners.end(); ++it) {
        if (*it == listener) {
            listeners.erase(it);
            return;
        }
    }
}

uint32_t NativeIOEngine::GetBusySlotCount() {
    if (queueLock == nullptr) {
        return 0;
    }
    MTCritSecHold hold(queueLock);
    uint32_t busy = 0;
    for (const NativeIORequest& slot : slots) {
        busy += slot.state != kSlotFree ? 1 : 0;
    }
    return busy;
}

void NativeIOEngine::TerminateBody() {
    stopRequested.store(true);
    mechanism->Wake();
}

void NativeIOEngine::RunBody(MTThread* ioThread) {
    runningEngine = this;
    while (!stopRequested.load() && !ioThread->IsTerminating()) {
        const uint32_t timeout = IssuePass();
        ServeCancelRequest();
        if (stopRequested.load()) {
            break;
        }
        if (queuedOnIOThread) {
            // A cancellation's callback queued a request: issue it before waiting.
            continue;
        }
        completions.clear();
        if (!mechanism->Wait(timeout, &completions)) {
            break;
        }
        for (const IOCompletion& completion : completions) {
            HandleCompletion(completion);
        }
        ServeCancelRequest();
    }
    {
        MTCritSecHold hold(queueLock);
        running = false;
    }
    // Nothing new is accepted now: end what is left, answer a waiting Cancel, then wait until the
    // kernel has let go of the memory of every issued request.
    CancelRequests(-1, true, CacheSource::kResultFailed);
    ServeCancelRequest();
    while (AnyOutstanding()) {
        completions.clear();
        if (!mechanism->Wait(IOMechanism::kWaitForever, &completions)) {
            break;
        }
        for (const IOCompletion& completion : completions) {
            HandleCompletion(completion);
        }
    }
    runningEngine = nullptr;
}

uint32_t NativeIOEngine::IssuePass() {
    queuedOnIOThread = false;
    while (FailOverdueFile()) {
    }
    for (;;) {
        QueueEntry entry{};
        {
            MTCritSecHold hold(queueLock);
            if (queue.empty() || inKernel >= inKernelLimit) {
                // Set under the lock that every submitter queues under: one that queues after this
                // point wakes the thread, one that queued before it is seen here.
                ioThreadMayWait = true;
                if (queue.empty()) {
                    return IOMechanism::kWaitForever;
                }
                // Wake in time to fail what waits past its deadline.
                uint32_t earliest = queue.front().deadline;
                for (const QueueEntry& waiting : queue) {
                    earliest = Overdue(earliest, waiting.deadline) ? waiting.deadline : earliest;
                }
                const uint32_t now = MTInterface::GetCurrentTimeMilli();
                return Overdue(now, earliest) ? 0 : earliest - now;
            }
            entry = queue.front();
            queue.erase(queue.begin());
            // Cancellation removes its entries from the queue, so the entry names a queued slot; the
            // check guards the invariant rather than a known path.
            if (slots[entry.slot].state != kSlotQueued || slots[entry.slot].generation != entry.generation) {
                continue;
            }
        }
        if (Overdue(MTInterface::GetCurrentTimeMilli(), entry.deadline)) {
            {
                MTCritSecHold hold(queueLock);
                // Back in front, so that the cancellation below finds and reports it.
                queue.insert(queue.begin(), entry);
            }
            CancelRequests(slots[entry.slot].file, false, CacheSource::kResultFailed);
            continue;
        }
        Issue(entry.slot);
    }
}

bool NativeIOEngine::FailOverdueFile() {
    IOFileHandle file = -1;
    {
        MTCritSecHold hold(queueLock);
        const uint32_t now = MTInterface::GetCurrentTimeMilli();
        auto overdue = std::find_if(queue.begin(), queue.end(),
                                    [&](const QueueEntry& entry) { return Overdue(now, entry.deadline); });
        if (overdue == queue.end()) {
            return false;
        }
        file = slots[overdue->slot].file;
    }
    CancelRequests(file, false, CacheSource::kResultFailed);
    return true;
}

void NativeIOEngine::Issue(uint32_t index) {
    NativeIORequest& slot = slots[index];
    uint32_t contiguousSize = 0;
    void* contiguous = slot.manager->GetContiguousAddress(&contiguousSize);
    const IORun* runs = nullptr;
    uint32_t count = 0;
    if (contiguous != nullptr) {
        slot.single.base = contiguous;
        slot.single.length = contiguousSize;
        runs = &slot.single;
        count = 1;
    } else {
        runs = slot.manager->GetRunArray(&count);
    }
    const IOOperation operation{slot.file,
                                slot.write,
                                slot.startOffset,
                                slot.size,
                                runs,
                                count,
                                slot.manager->GetSegmentArray(nullptr),
                                MakeTag(index, slot.generation)};
    if (runs == nullptr || count == 0) {
        Report(index, CacheSource::kResultFailed, 0);
        return;
    }
    if (issueObserver != nullptr) {
        issueObserver->Issuing(slot.file, slot.startOffset, slot.dueTime);
    }
    const int refused = mechanism->Submit(operation);
    if (refused != 0) {
        Report(index, CacheSource::kResultFailed, 0, -refused);
        return;
    }
    (contiguous != nullptr ? plainTransfers : vectoredTransfers).fetch_add(1);
    slot.outstanding = true;
    ++inKernel;
    MTCritSecHold hold(queueLock);
    slot.state = kSlotInFlight;
}

void NativeIOEngine::HandleCompletion(const IOCompletion& completion) {
    const uint64_t index = completion.tag & kSlotMask;
    if (index >= kNativeIORequestSlots) {
        return;
    }
    NativeIORequest& slot = slots[index];
    SlotState_t state = kSlotFree;
    {
        MTCritSecHold hold(queueLock);
        if (MakeTag(static_cast<uint32_t>(index), slot.generation) != completion.tag) {
            return;
        }
        state = slot.state;
        // A completion for a slot that is free or being filled again is a stray copy (the mechanism
        // owes nothing there), and those states belong to submitters: leave the slot alone.
        if (state == kSlotFree || state == kSlotReserved || state == kSlotQueued) {
            return;
        }
    }
    if (!slot.outstanding) {
        return;
    }
    slot.outstanding = false;
    --inKernel;
    if (state == kSlotDraining) {
        Release(static_cast<uint32_t>(index));
        return;
    }
    if (state != kSlotInFlight) {
        return;
    }
    const int32_t error = completion.result < 0 ? static_cast<int32_t>(-completion.result) : 0;
    const IOErrorKind_t kind = error != 0 ? ClassifyIOError(error) : kIOErrorOther;
    if (kind == kIOErrorTransient && slot.retries < kTransientRetries && !stopRequested.load()) {
        // Nothing was transferred and the cause passes: issue the same transfer again, under a new
        // generation so that a stray copy of the old completion can never be taken for the new one.
        ++slot.retries;
        {
            MTCritSecHold hold(queueLock);
            ++slot.generation;
        }
        Issue(static_cast<uint32_t>(index));
        return;
    }
    CacheSource::Result_t result = CacheSource::kResultSuccess;
    uint32_t bytes = 0;
    if (kind == kIOErrorEndOfFile && !slot.write) {
        result = CacheSource::kResultEndOfFile;
    } else if (completion.result < 0) {
        result = CacheSource::kResultFailed;
    } else if (completion.result == 0) {
        result = slot.write ? CacheSource::kResultPartial : CacheSource::kResultEndOfFile;
    } else if (static_cast<uint64_t>(completion.result) >= slot.size) {
        bytes = slot.size;
    } else {
        result = CacheSource::kResultPartial;
        bytes = static_cast<uint32_t>(completion.result);
    }
    Report(static_cast<uint32_t>(index), result, bytes, result == CacheSource::kResultFailed ? error : 0);
}

void NativeIOEngine::ServeCancelRequest() {
    IOFileHandle file = -1;
    {
        MTCritSecHold hold(queueLock);
        if (!cancelRequested) {
            return;
        }
        file = cancelFile;
    }
    CancelRequests(file, false, CacheSource::kResultCancelled);
    {
        MTCritSecHold hold(queueLock);
        cancelRequested = false;
    }
    cancelDone->Signal(1);
}

void NativeIOEngine::CancelRequests(IOFileHandle file, bool allFiles, CacheSource::Result_t result) {
    for (uint32_t i = 0; i < kNativeIORequestSlots; ++i) {
        NativeIORequest& slot = slots[i];
        bool inFlight = false;
        {
            MTCritSecHold hold(queueLock);
            const bool live = slot.state == kSlotQueued || slot.state == kSlotInFlight;
            if (!live || (!allFiles && slot.file != file)) {
                continue;
            }
            inFlight = slot.state == kSlotInFlight;
            if (!inFlight) {
                for (auto it = queue.begin(); it != queue.end(); ++it) {
                    if (it->slot == i) {
                        queue.erase(it);
                        break;
                    }
                }
            }
            // Taken out of the live states before anything else runs, so that a nested cancellation
            // from the callback below never reports it again.
            slot.state = kSlotReporting;
        }
        if (inFlight) {
            mechanism->RequestCancel(MakeTag(i, slot.generation));
        }
        Report(i, result, 0);
    }
}

void NativeIOEngine::Report(uint32_t index, CacheSource::Result_t result, uint32_t bytes, int32_t error) {
    // Whatever the callback does next (close the file, whose descriptor may then be reused) must come
    // after the system holds every operation prepared so far.
    mechanism->Flush();
    NativeIORequest& slot = slots[index];
    {
        MTCritSecHold hold(queueLock);
        slot.state = kSlotReporting;
    }
    if (error != 0 && slot.errors != nullptr) {
        slot.errors->IOFailed(error, slot.startOffset, slot.write);
    }
    if (slot.callback != nullptr) {
        slot.callback->Callback(result, slot.startOffset, slot.list, bytes);
    }
    if (slot.outstanding) {
        MTCritSecHold hold(queueLock);
        slot.state = kSlotDraining;
        return;
    }
    Release(index);
}

void NativeIOEngine::Release(uint32_t index) {
    NativeIORequest& slot = slots[index];
    slot.manager->StopUsingBufferList();
    {
        MTCritSecHold hold(queueLock);
        slot.callback = nullptr;
        slot.errors = nullptr;
        slot.list = nullptr;
        slot.file = -1;
        slot.state = kSlotFree;
    }
    NotifySlotFreed();
}

void NativeIOEngine::NotifySlotFreed() {
    MTCritSecHold hold(listenerLock);
    // By index: a listener may add or remove listeners (the lock is re-entrant).
    for (size_t i = 0; i < listeners.size(); ++i) {
        listeners[i]->SlotFreed(this);
    }
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
