// The process's asynchronous I/O engine: 61 request slots, a first-in-first-out queue and one I/O
// thread (time-critical priority) that issues every overlapped read and write, delivers every
// completion and performs every cancellation (CancelIo only reaches operations the calling thread
// issued, and this thread issues them all). It waits on 64 handles at once: the 61 slot events, then
// the work, shutdown and cancel events. Any thread may submit; callbacks run on the I/O thread,
// exactly once per request that was accepted with kResultPending, possibly before the submitting call
// returns, and may themselves submit or cancel. A request's BufferList is locked and referenced by the
// engine while the callback runs, and until the system has finished with its memory; the callback
// object is not referenced. The process-wide engine is created on first use and never destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "OSServices/Win/MTPrimitivesWin.h"
#include "OSServices/Win/WinHeaders.h"
#include "Tarvos/CacheSource.h"
#include "Tarvos/FileSource.h"

namespace Tarvos {

class BufferList;
class ScatterGatherManager;

class NativeIOEngine {
  public:
    static constexpr uint32_t kNativeIORequestSlots = 61;
    static constexpr uint32_t kNativeIOWaitHandles = 64;
    static constexpr uint32_t kNativeIODeadlineMs = 10000;

    // The process-wide engine, created on the first call; null (tried again by a later call) if it
    // cannot be created or its I/O thread cannot start. Not guarded against two first calls at once.
    static NativeIOEngine* GetEngine();

    // A separate engine with its own I/O thread (IsRunning tells whether it started), or without one,
    // refusing every submission; for tests.
    explicit NativeIOEngine(bool startThread = true);
    // Ends every live request with kResultFailed, waits for the system to finish with every issued one
    // and stops the I/O thread. Requires: not called on the I/O thread, no operation that can block
    // forever (a read of an idle pipe) left uncancelled by the system.
    ~NativeIOEngine();
    NativeIOEngine(const NativeIOEngine&) = delete;
    NativeIOEngine& operator=(const NativeIOEngine&) = delete;

    // Submit a transfer of the whole list at offset, to be issued within deadlineMs. kResultPending:
    // queued, the callback follows. kResultBusy: all slots taken. kResultFailed: the I/O thread is not
    // running, the offset is past INT64_MAX, or the list cannot be prepared (null or empty, a buffer that
    // cannot be locked, has no address or is not whole page-aligned pages). On anything but
    // kResultPending the callback is never called.
    // Callback results: kResultSuccess (whole size), kResultPartial (fewer bytes; the rest is not
    // attempted), kResultEndOfFile (the system reported end of file, or a read got 0 bytes),
    // kResultFailed (an error, or the deadline passed before issue, which also fails every other live
    // request of the file, with 0 bytes), kResultCancelled (Cancel, 0 bytes). The offset reported is the
    // one submitted.
    CacheSource::Result_t Read(HANDLE file, BufferList* list, uint64_t offset, uint32_t deadlineMs,
                               FileSource::ResultCallbackBufferList* callback);
    CacheSource::Result_t Write(HANDLE file, BufferList* list, uint64_t offset, uint32_t deadlineMs,
                                FileSource::ResultCallbackBufferList* callback);
    // Ends every live request of file with kResultCancelled; returns after the I/O thread has done so.
    // Called on the I/O thread itself (from a completion callback) it runs the cancellation inline.
    // An issued request keeps its list locked and referenced after its callback until the system has
    // completed the cancelled operation; its slot is not reused before that.
    void Cancel(HANDLE file);
    bool IsIOThread();  // true when called on the engine's I/O thread
    // False when the I/O thread never started or has stopped.
    bool IsRunning();
    // True once destruction has asked the I/O thread to stop.
    bool IsStopping() { return stopRequested.load(); }
    // Transfers issued so far: plain (ReadFile/WriteFile over one range) and scatter/gather; for tests.
    uint64_t GetPlainTransferCount() { return plainTransfers.load(); }
    uint64_t GetVectoredTransferCount() { return vectoredTransfers.load(); }
    // Slots not free (taken, queued, in flight or waiting for the system after cancellation).
    uint32_t GetBusySlotCount();

  private:
    // A slot's states; every change but free -> reserved -> queued or free (submitter) happens on the
    // I/O thread.
    enum SlotState_t : uint32_t {
        kSlotFree = 0,
        kSlotReserved = 1,   // taken by a submitter, being filled
        kSlotQueued = 2,     // in the queue, not yet issued
        kSlotInFlight = 3,   // issued; the slot's event reports it
        kSlotReporting = 4,  // its callback runs (or is about to)
        kSlotDraining = 5,   // reported (cancelled or failed) but the system still owes its completion
    };

    struct NativeIORequest {
        SlotState_t state = kSlotFree;
        uint32_t generation = 0;     // bumped at every acquisition; tells queue entries apart
        bool outstanding = false;    // the system still owes this slot's operation a completion
        OVERLAPPED overlapped = {};  // hEvent is the slot's own event, set once at construction
        uint32_t dueTime = 0;        // GetCurrentTimeMilli by which it must be issued
        FileSource::ResultCallbackBufferList* callback = nullptr;  // not referenced
        BufferList* list = nullptr;  // referenced and locked through manager while live
        HANDLE file = nullptr;
        uint64_t startOffset = 0;
        uint64_t currentOffset = 0;
        uint32_t size = 0;
        uint32_t transferred = 0;
        bool write = false;
        std::unique_ptr<ScatterGatherManager> manager;
    };

    struct QueueEntry {
        uint32_t slot;
        uint32_t generation;
    };

    static unsigned __stdcall ThreadEntry(void* engine);
    void RunLoop();
    CacheSource::Result_t Submit(bool write, HANDLE file, BufferList* list, uint64_t offset,
                                 uint32_t deadlineMs, FileSource::ResultCallbackBufferList* callback);
    // Issues every queued request in submission order; returns the timeout of the next wait.
    DWORD IssuePass();
    void Issue(uint32_t index);
    void HandleCompletion(uint32_t index);
    void ServeCancelRequest();
    // Ends every live request of file (every one with allFiles) with result; I/O thread only.
    void CancelRequests(HANDLE file, bool allFiles, CacheSource::Result_t result);
    // Reports result to the request's callback, then frees the slot or leaves it draining.
    void Report(uint32_t index, CacheSource::Result_t result, uint32_t bytes);
    void Release(uint32_t index);
    bool AnyOutstanding();

    HANDLE workEvent;                          // auto-reset: new requests are queued
    HANDLE shutdownEvent;                      // auto-reset: destruction asks the thread to stop
    HANDLE cancelRequestEvent;                 // auto-reset: a Cancel caller waits
    HANDLE cancelDoneEvent;                    // auto-reset: the I/O thread served the cancel request
    HANDLE waitHandles[kNativeIOWaitHandles];  // slot events, then work, shutdown, cancel request
    NativeIORequest slots[kNativeIORequestSlots];
    // Guards queue, the slots' states and generations, running and the cancel request; taken after the
    // cancel lock and never held while a completion callback or a buffer list's release runs.
    MTCritSecWin queueLock;
    std::vector<QueueEntry> queue;
    bool running;          // submissions are accepted
    bool cancelRequested;  // a Cancel caller waits for cancelDoneEvent
    HANDLE cancelFile;
    MTCritSecWin cancelLock;  // admits one Cancel caller at a time; taken before the queue lock
    HANDLE thread;            // null when it could not be started
    std::atomic<bool> stopRequested;
    std::atomic<DWORD> ioThreadId;  // 0 until the thread runs
    std::atomic<uint64_t> plainTransfers;
    std::atomic<uint64_t> vectoredTransfers;
    std::vector<QueueEntry> batch;  // the I/O thread's copy of the queue during an issue pass
};

}  // namespace Tarvos
