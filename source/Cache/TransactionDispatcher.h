// A worker thread with a queue of cache commands. Commands run one at a time on the worker, kind by kind
// in the order given at construction, earliest due time first; a command that cannot proceed yet is
// put back and tried again in a later pass. The dispatcher owns its thread, queue, semaphore and lock;
// a queued command belongs to the dispatcher until it is finished, exactly once (Finish deletes it).
// Any thread may call Add, Wake, CancelMatching, CancelAll, Lock and Unlock; none of them runs a
// command. The worker never spins: a pass that achieved nothing waits for news or a short time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "CoreClasses/GuardedList.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

class Cache;
class CacheSource;
class CacheTransaction;

// Command kinds; each dispatcher serves a fixed set of them.
constexpr uint32_t kCommandProcessTransaction = 1;
constexpr uint32_t kCommandReadDirect = 2;
constexpr uint32_t kCommandBlock = 3;

class TransactionDispatcher;

// One unit of cache work, queued by due time (equal due times in arrival order).
class DispatcherCommand : public GuardedListItem {
  public:
    ~DispatcherCommand() override;

    // The due time widened to 64 bits.
    uint64_t GetSortKey() override;
    // True when the work is done; false when it cannot proceed now and must be tried again later.
    virtual bool Execute() = 0;
    // Called exactly once at the end of the command's life: after Execute returned true (cancelled
    // false), or when the command is cancelled while queued or at shutdown (cancelled true). Must delete
    // the command.
    virtual void Finish(bool cancelled) = 0;
    // The number of the worker's pass in which the command was last taken; 0 while it never was.
    virtual uint64_t GetPassStamp();
    virtual void SetPassStamp(uint64_t pass);
    // For a command that could not proceed: how many milliseconds until it is worth retrying without
    // a wake-up (MTSemaphore::kInfinite: whatever it waits for announces itself by waking the
    // dispatcher).
    virtual uint32_t RetryAfterMs() { return 1; }
    // A cancel met the command while it ran: the transaction to end as cancelled once the dispatcher's
    // lock is left (with a reference for the caller), or null when the command has none to end early.
    virtual CacheTransaction* HoldTransactionForCancel() { return nullptr; }

    uint32_t GetKind() const { return kind; }
    uint32_t GetDueTime() const { return dueTime; }
    Cache* GetCache() const { return cache; }
    CacheSource* GetSource() const { return source; }

  protected:
    // No references are taken on the cache or the source.
    DispatcherCommand(uint32_t kind, uint32_t dueTime, Cache* cache, CacheSource* source);

    uint32_t kind;
    uint32_t dueTime;
    uint64_t passStamp = 0;  // written and read by the worker only
    Cache* cache;            // the cache the command works for; no reference
    CacheSource* source;     // the source the work belongs to, to cancel a source's commands; no reference

  private:
    friend class TransactionDispatcher;
    DispatcherCommand* nextToCancel = nullptr;  // chains commands taken out of the queue to be cancelled
};

class TransactionDispatcher : public MTThreadBody {
  public:
    // Picks commands to cancel; called with each queued command and its kind.
    class CommandFilter {
      public:
        virtual ~CommandFilter();
        virtual bool Matches(DispatcherCommand* command, uint32_t kind) = 0;
    };

    // Starts the worker at the given priority when there is at least one kind; without kinds the
    // dispatcher has no worker and never runs a command. Throws std::bad_alloc if a primitive cannot
    // be made, and the threading layer's message if the thread cannot be started.
    TransactionDispatcher(const uint32_t* kinds, uint32_t kindCount, MTThread::MTPriority priority);
    // Stop(). Requires: not called from the worker.
    ~TransactionDispatcher() override;

    // Stops the worker (waiting for the command it runs), then finishes every queued command with
    // Finish(true). Commands added afterwards stay queued, never run, and are finished by the
    // destructor. Idempotent. Requires: not called from the worker.
    void Stop();
    // True on the dispatcher's own worker thread (where Stop and the destructor must not be called).
    bool IsWorkerThread() const;

    // The worker loop.
    void RunBody(MTThread* thread) override;

    // Queues the command by its due time and wakes the worker. Ignores null and commands that are in
    // another queue.
    virtual void Add(DispatcherCommand* command);
    // Takes every queued command the filter accepts out of the queue, then finishes each with
    // Finish(true), in queue order. True if at least one was cancelled. A running command the filter
    // accepts ends its transaction as cancelled at once (HoldTransactionForCancel) and is finished as
    // cancelled when it returns, never put back; the call does not wait for it, so a status callback
    // running on the worker may cancel, and so may one that the worker's callback waits for.
    virtual bool CancelMatching(CommandFilter* filter);
    // CancelMatching with a filter that accepts everything.
    virtual bool CancelAll();
    // Makes the worker go over its queue once more (commands that could not proceed are retried).
    virtual void Wake();
    // Waits for the running command to finish and keeps the worker from starting another one until
    // Unlock. Re-entrant; a command may call it on its own dispatcher.
    virtual void Lock();
    virtual void Unlock();

    TransactionDispatcher(const TransactionDispatcher&) = delete;
    TransactionDispatcher& operator=(const TransactionDispatcher&) = delete;

  protected:
    // Wakes a worker that waits, so that it notices termination.
    void TerminateBody() override;

  private:
    struct PassOutcome {
        bool finishedAny = false;  // some command finished: retrying the others may succeed now
        bool putBackAny = false;   // some command could not proceed and waits to be retried
        uint32_t retryAfterMs = MTSemaphore::kInfinite;  // the soonest any of those is retried on time
    };
    // How long the worker watches for an announcement before it sleeps (see the .cpp).
    static constexpr std::chrono::microseconds kAnnouncementSpin{10};

    PassOutcome RunPass(MTThread* worker);
    // True when an announcement came within kAnnouncementSpin (and takes it).
    bool AwaitAnnouncementBriefly();
    bool CancelAccepted(GuardedList::MatchCallback* accept);

    std::unique_ptr<MTSemaphore> wakeUp;   // maximum 1: any number of Adds and Wakes during a pass make
                                           // one further pass
    std::unique_ptr<GuardedList> queue;    // ascending by due time; its lock is taken after `lock`
    std::unique_ptr<GuardedList> stalled;  // commands put back in the current pass, kept apart so
                                           // that taking the next command never walks past them;
                                           // back into `queue` at the start of the next pass
    std::vector<uint32_t> kinds;           // in service order
    std::unique_ptr<MTCritSec> lock;       // held while the worker takes a command or puts it back, and
                                           // while a cancel looks at the lists and `running` (never while
                                           // a command runs); taken before the queue's lock
    DispatcherCommand* running = nullptr;  // the command the worker runs; under `lock`
    bool runningCancelled = false;         // a cancel accepted `running`; under `lock`
    uint64_t pass = 0;                     // passes the worker has started; worker only
    // Add and Wake signal wakeUp only while the worker sleeps (or is about to): a busy worker sees
    // `announced` before it sleeps. Both sequentially consistent (the two sides pair up as in
    // Dekker's protocol: either the announcer sees `sleeping`, or the worker sees `announced`).
    std::atomic<bool> announced{false};
    std::atomic<bool> sleeping{false};
    std::atomic<uint32_t> workerThreadId{0};  // the worker's thread ID once it runs
    std::unique_ptr<MTThread> thread;         // the worker; last, so it is the first member destroyed
};

}  // namespace Tarvos
