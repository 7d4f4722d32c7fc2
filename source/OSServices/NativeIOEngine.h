// The process's asynchronous I/O engine: 61 request slots, a queue ordered by due time and one I/O
// thread (time-critical priority) that issues every read and write, delivers every completion and
// performs every cancellation, over the platform's I/O mechanism (IOMechanism.h). At most
// kNativeIOInKernelLimit requests are in the system at once; the others wait in the queue, the one due
// soonest first (equal due times in arrival order), so a request due sooner overtakes those due later
// however long they have waited. Any thread may submit; callbacks run on the I/O thread, exactly once per
// request that was accepted with kResultPending, possibly before the submitting call returns, and may
// themselves submit or cancel. A request's BufferList is locked and referenced by the engine while
// the callback runs, and until the kernel has finished with its memory; the callback object is not
// referenced. The process-wide engine is created on first use and never destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OSServices/IOMechanism.h"
#include "Tarvos/CacheSource.h"
#include "Tarvos/FileSource.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

class BufferList;
class ScatterGatherManager;

class NativeIOEngine : private MTThreadBody {
  public:
    static constexpr uint32_t kNativeIORequestSlots = 61;
    static constexpr uint32_t kNativeIODeadlineMs = 10000;
    // Requests handed to the system at once (issued and not yet reported by the mechanism, cancelled
    // ones included): enough to keep a fast disk busy, few enough that a late urgent request does not
    // queue in the device behind many less urgent ones.
    static constexpr uint32_t kNativeIOInKernelLimit = 32;

    // Told the operating-system error of a request that failed with one, on the I/O thread, just before
    // the request's callback. Must be quick and must not block.
    class IOErrorListener {
      public:
        virtual ~IOErrorListener();
        virtual void IOFailed(int32_t error, uint64_t offset, bool write) = 0;
    };

    // Told each time a slot becomes free again, after it can be taken: lets a caller that got
    // kResultBusy retry without polling (register on GetEngine() for the process's engine). Called on
    // the I/O thread, or on a submitting thread whose refused submission gives back the slot it took.
    // Register before submitting, since the news can come before the busy result is returned. Must be
    // quick, must not block, and may submit.
    class SlotFreedListener {
      public:
        virtual ~SlotFreedListener();
        virtual void SlotFreed(NativeIOEngine* engine) = 0;
    };

    // The process-wide engine over the platform's mechanism (on Linux the one TARVOS_IO_BACKEND, uring
    // or threads, asks for, else io_uring when the kernel offers it, else worker threads). Created on the
    // first call; null (tried again by a later call) if it cannot be created. Not guarded against two first
    // calls at once.
    static NativeIOEngine* GetEngine();

    // An engine over the given mechanism (null: none, so every submission fails), with the reason it
    // runs, and the most requests it hands the system at once (at least 1); starts the I/O thread. For
    // the process-wide engine and for tests of each mechanism.
    NativeIOEngine(std::unique_ptr<IOMechanism> mechanism, const std::string& reason,
                   uint32_t inKernelLimit = kNativeIOInKernelLimit);
    // Ends every live request with kResultFailed, waits for the kernel to finish with every issued one
    // and stops the I/O thread. Requires: not called on the I/O thread, no operation that can block
    // forever (a read of an idle pipe) outstanding.
    ~NativeIOEngine() override;
    NativeIOEngine(const NativeIOEngine&) = delete;
    NativeIOEngine& operator=(const NativeIOEngine&) = delete;

    // Submit a transfer of the whole list at offset, to be issued within deadlineMs, queued by dueTime
    // (an ordering key: smaller is sooner, kDueASAP first); errors, when set, hears the operating-system
    // error of a failure and must stay valid until the callback has run. kResultPending:
    // queued, the callback follows. kResultBusy: all slots taken. kResultFailed: the I/O thread is not
    // running, the offset is past INT64_MAX, or the list cannot be prepared (null or empty, a buffer that
    // cannot be locked, has no address or is not whole page-aligned pages, more than IOV_MAX separate
    // runs of memory than the mechanism takes). On anything but kResultPending the callback is never
    // called.
    // Callback results: kResultSuccess (whole size), kResultPartial (fewer bytes; the rest is not
    // attempted), kResultEndOfFile (a read that got 0 bytes), kResultFailed (an error, or the deadline
    // passed before issue, which also fails every other live request of the file, with 0 bytes),
    // kResultCancelled (Cancel, 0 bytes). The offset reported is the one submitted.
    CacheSource::Result_t Read(IOFileHandle file, BufferList* list, uint64_t offset, uint32_t deadlineMs,
                               FileSource::ResultCallbackBufferList* callback,
                               uint32_t dueTime = CacheSource::kDueASAP, IOErrorListener* errors = nullptr);
    CacheSource::Result_t Write(IOFileHandle file, BufferList* list, uint64_t offset, uint32_t deadlineMs,
                                FileSource::ResultCallbackBufferList* callback,
                                uint32_t dueTime = CacheSource::kDueASAP, IOErrorListener* errors = nullptr);
    // Ends every live request of file with kResultCancelled; returns after the I/O thread has done so.
    // Called on the I/O thread itself (from a completion callback) it runs the cancellation inline.
    // An issued request keeps its list locked and referenced after its callback until the kernel has
    // let go of the memory; its slot is not reused before that.
    void Cancel(IOFileHandle file);
    bool IsIOThread();                 // true when called on the engine's I/O thread
    const char* GetMechanismName();    // "uring", "threads" or "overlapped"
    const char* GetMechanismReason();  // why this mechanism runs (e.g. "TARVOS_IO_BACKEND=threads",
                                       // "io_uring_queue_init: Operation not permitted")

    // False when the I/O thread never started or has stopped.
    bool IsRunning();
    // True once destruction has asked the I/O thread to stop.
    bool IsStopping() { return stopRequested.load(); }
    void AddSlotFreedListener(SlotFreedListener* listener);
    // Once this returns (off the I/O thread) the listener is not called any more.
    void RemoveSlotFreedListener(SlotFreedListener* listener);
    // Transfers issued so far: plain (one contiguous range) and vectored; for tests.
    uint64_t GetPlainTransferCount() { return plainTransfers.load(); }
    uint64_t GetVectoredTransferCount() { return vectoredTransfers.load(); }
    // Slots not free (taken, queued, in flight or waiting for the kernel after cancellation).
    uint32_t GetBusySlotCount();
    uint32_t GetInKernelLimit() const { return inKernelLimit; }
    // Observes every transfer just before it is handed to the mechanism, on the I/O thread; for tests
    // and measurements of the issue order. Set before the first submission.
    class IssueObserver {
      public:
        virtual ~IssueObserver();
        virtual void Issuing(IOFileHandle file, uint64_t offset, uint32_t dueTime) = 0;
    };
    void SetIssueObserver(IssueObserver* observer) { issueObserver = observer; }

  private:
    // A slot's states; every change but free -> reserved -> queued or free (submitter) happens on the
    // I/O thread.
    enum SlotState_t : uint32_t {
        kSlotFree = 0,
        kSlotReserved = 1,   // taken by a submitter, being filled
        kSlotQueued = 2,     // in the queue, not yet issued
        kSlotInFlight = 3,   // issued; the mechanism will report it
        kSlotReporting = 4,  // its callback runs (or is about to)
        kSlotDraining = 5,   // reported (cancelled or failed) but the mechanism still owes its completion
    };

    struct NativeIORequest {
        SlotState_t state = kSlotFree;
        uint32_t generation = 0;   // bumped at every acquisition; part of the operation's tag
        bool outstanding = false;  // the mechanism still owes this request's completion
        uint32_t deadline = 0;     // GetCurrentTimeMilli by which it must be issued
        uint32_t dueTime = 0;      // the queue's ordering key
        FileSource::ResultCallbackBufferList* callback = nullptr;  // not referenced
        IOErrorListener* errors = nullptr;                         // not referenced
        BufferList* list = nullptr;  // referenced and locked through manager while live
        IOFileHandle file = -1;
        uint64_t startOffset = 0;
        uint32_t size = 0;
        bool write = false;
        uint32_t retries = 0;  // times the transfer was issued again after EINTR or EAGAIN
        IORun single = {};     // the one range of a contiguous list, for as long as it is issued
        std::unique_ptr<ScatterGatherManager> manager;
    };

    struct QueueEntry {
        uint32_t slot;
        uint32_t generation;
        uint32_t dueTime;
        uint32_t deadline;
    };

    CacheSource::Result_t Submit(bool write, IOFileHandle file, BufferList* list, uint64_t offset,
                                 uint32_t deadlineMs, FileSource::ResultCallbackBufferList* callback,
                                 uint32_t dueTime, IOErrorListener* errors);
    void RunBody(MTThread* thread) override;
    void TerminateBody() override;
    // Fails the files of overdue queued requests, then issues from the front of the queue while fewer
    // than inKernelLimit are in the system; returns how long the next wait may last.
    uint32_t IssuePass();
    bool FailOverdueFile();
    void Issue(uint32_t index);
    void HandleCompletion(const IOCompletion& completion);
    void ServeCancelRequest();
    // Ends every live request of file (every one with allFiles) with result; I/O thread only.
    void CancelRequests(IOFileHandle file, bool allFiles, CacheSource::Result_t result);
    // Reports result to the request's callback (error, when not 0, to its error listener first), then
    // frees the slot or leaves it draining.
    void Report(uint32_t index, CacheSource::Result_t result, uint32_t bytes, int32_t error = 0);
    void Release(uint32_t index);
    void NotifySlotFreed();
    bool AnyOutstanding();

    std::unique_ptr<IOMechanism> mechanism;
    std::string reason;
    const uint32_t maxRuns;
    const uint32_t inKernelLimit;
    NativeIORequest slots[kNativeIORequestSlots];
    uint32_t inKernel;  // slots whose operation the mechanism still owes; I/O thread only
    // A callback on the I/O thread queued a request after the last issue pass; I/O thread only.
    bool queuedOnIOThread;
    IssueObserver* issueObserver;
    // Guards queue (sorted by due time, equal ones in arrival order), the slots' states and generations,
    // running, ioThreadMayWait and the cancel request; taken after the cancel lock and never held while
    // a callback, a listener or a buffer list's release runs.
    MTCritSec* queueLock;
    std::vector<QueueEntry> queue;
    bool running;  // submissions are accepted
    // The I/O thread has found nothing more to issue and may be waiting for completions: the next
    // submitter wakes it and clears this. While it is clear the I/O thread looks at the queue before it
    // waits again, so further submitters need not wake it.
    bool ioThreadMayWait;
    bool cancelRequested;  // a Cancel caller waits for cancelDone
    IOFileHandle cancelFile;
    MTCritSec* cancelLock;    // admits one Cancel caller at a time; taken before the queue lock
    MTSemaphore* cancelDone;  // signalled by the I/O thread when it served the cancel request
    MTCritSec* listenerLock;  // guards listeners; held while they are called, never with the queue lock
    std::vector<SlotFreedListener*> listeners;
    MTThread* thread;  // owned; null when it could not be started
    std::atomic<bool> stopRequested;
    std::atomic<uint64_t> plainTransfers;
    std::atomic<uint64_t> vectoredTransfers;
    std::vector<IOCompletion> completions;  // the I/O thread's reap buffer
};

}  // namespace Tarvos
