// The worker loop. Each pass has a number; a command taken in a pass is stamped with it, so a command
// that cannot proceed is skipped for the rest of that pass and tried again in the next one.
//
//   wait on wakeUp (how long: see below) -> pass += 1 -> for each kind in service order:
//       take the earliest queued command of the kind not stamped with this pass, stamp it, run it:
//       done -> Finish(false); cannot proceed -> back into the queue; repeat until none is left
//
// How long the worker waits before the next pass:
//   nothing was put back                 -> until an Add, a Wake or termination
//   something was put back, and some
//   command finished in the pass         -> not at all: the finished work may have freed what the
//                                           others wait for
//   everything taken was put back, and
//   all of it waits for an event         -> until an Add, a Wake or termination (a freed block wakes
//                                           the cache's dispatcher)
//   everything taken was put back, some
//   of it on a clock                     -> as above, at most the soonest RetryAfterMs of those (an
//                                           I/O engine whose slots others hold, a pre-read waiting
//                                           for a block's stamp to pass)
// Commands put back wait in `stalled` until the next pass, so a pass takes each command once and
// never walks past the ones it put back.
//
// Before it sleeps the worker watches `announced` for kAnnouncementSpin: a caller with a stream of
// work (asynchronous hits, each handing its callback over) announces again within microseconds, and
// waking a sleeping thread on another core costs tens of microseconds on a virtual machine, on both
// sides. At 32 asynchronous 64 KiB hits in flight the hits went from 4.0-5.9 to 5.3-10.1 GB/s, with less
// CPU per MiB. The window is short because every pass that empties the queue spends it: a pre-read
// stream of 1 MiB blocks empties it thousands of times a second (a 50 us window cost it about a quarter
// more CPU per MiB).
//
// Wake-ups are never lost: Add queues the command before it announces it, and the worker looks at
// `announced` after it said it sleeps and before it waits; the announcer signals when it sees the
// worker sleeping.
//
// Command life: created by the cache -> queued (Add) -> taken and run -> finished (Finish(false)), or
// put back and run again in a later pass, or cancelled while queued or at shutdown (Finish(true)).
#include "Cache/TransactionDispatcher.h"

#include <chrono>
#include <new>

#include "CoreClasses/CallSite.h"
#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/CacheTransaction.h"

namespace Tarvos {

namespace {

template <typename T>
std::unique_ptr<T> Checked(T* made) {
    if (made == nullptr) {
        throw std::bad_alloc();
    }
    return std::unique_ptr<T>(made);
}

// Accepts the earliest queued command of one kind that was not yet taken in the current pass.
class KindFilter : public GuardedList::MatchCallback {
  public:
    KindFilter(uint32_t kind, uint64_t pass) : kind(kind), pass(pass) {}
    bool Matches(GuardedListItem* item) override {
        auto* command = static_cast<DispatcherCommand*>(item);
        return command != nullptr && command->GetKind() == kind && command->GetPassStamp() < pass;
    }

  private:
    const uint32_t kind;
    const uint64_t pass;
};

class CommandFilterMatch : public GuardedList::MatchCallback {
  public:
    explicit CommandFilterMatch(TransactionDispatcher::CommandFilter* filter) : filter(filter) {}
    bool Matches(GuardedListItem* item) override {
        auto* command = static_cast<DispatcherCommand*>(item);
        return filter->Matches(command, command->GetKind());
    }

  private:
    TransactionDispatcher::CommandFilter* const filter;
};

class MatchEverything : public GuardedList::MatchCallback {
  public:
    bool Matches(GuardedListItem*) override { return true; }
};

}  // namespace

DispatcherCommand::DispatcherCommand(uint32_t kind, uint32_t dueTime, Cache* cache, CacheSource* source)
    : kind(kind), dueTime(dueTime), cache(cache), source(source) {}

DispatcherCommand::~DispatcherCommand() = default;

uint64_t DispatcherCommand::GetSortKey() {
    return dueTime;
}

uint64_t DispatcherCommand::GetPassStamp() {
    return passStamp;
}

void DispatcherCommand::SetPassStamp(uint64_t newPass) {
    passStamp = newPass;
}

TransactionDispatcher::CommandFilter::~CommandFilter() = default;

TransactionDispatcher::TransactionDispatcher(const uint32_t* kindList, uint32_t kindCount,
                                             MTThread::MTPriority priority)
    : wakeUp(Checked(MTInterface::NewSemaphore(1, 0))),
      queue(std::make_unique<GuardedList>(true, true)),
      stalled(std::make_unique<GuardedList>(true, true)),
      lock(Checked(MTInterface::NewCritSec())) {
    if (kindList != nullptr && kindCount > 0) {
        kinds.assign(kindList, kindList + kindCount);
        // Last: the worker starts at once and uses everything above.
        thread = Checked(MTInterface::NewThread(this, priority, MTThread::kProcessorAny));
    }
}

TransactionDispatcher::~TransactionDispatcher() {
    Stop();
}

bool TransactionDispatcher::IsWorkerThread() const {
    const uint32_t worker = workerThreadId.load();
    return worker != 0 && worker == MTInterface::GetCurrentThreadID();
}

void TransactionDispatcher::Stop() {
    if (thread != nullptr) {
        thread->Terminate(MTSemaphore::kInfinite);
    }
    CancelAll();
}

void TransactionDispatcher::TerminateBody() {
    wakeUp->Signal(1);
}

bool TransactionDispatcher::AwaitAnnouncementBriefly() {
    const auto until = std::chrono::steady_clock::now() + kAnnouncementSpin;
    do {
        for (int look = 0; look < 64; ++look) {
            if (announced.load(std::memory_order_relaxed) && announced.exchange(false)) {
                return true;
            }
        }
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

void TransactionDispatcher::RunBody(MTThread* worker) {
    if (worker == nullptr || worker->IsTerminating()) {
        return;
    }
    workerThreadId.store(MTInterface::GetCurrentThreadID());
    uint32_t waitMs = MTSemaphore::kInfinite;
    for (;;) {
        // A timed-out wait is as good as a signal: the pass retries what waits in the queue.
        if (!announced.exchange(false) && !AwaitAnnouncementBriefly()) {
            sleeping.store(true);
            if (!announced.exchange(false)) {
                wakeUp->Wait(waitMs, 1);
            }
            sleeping.store(false);
            announced.store(false);
        }
        ++pass;
        if (worker->IsTerminating()) {
            return;
        }
        const PassOutcome outcome = RunPass(worker);
        if (worker->IsTerminating()) {
            return;
        }
        if (!outcome.putBackAny) {
            waitMs = MTSemaphore::kInfinite;
        } else if (outcome.finishedAny) {
            announced.store(true);  // another pass at once
        } else {
            waitMs = outcome.retryAfterMs;
        }
    }
}

TransactionDispatcher::PassOutcome TransactionDispatcher::RunPass(MTThread* worker) {
    PassOutcome outcome;
    {
        // Under `lock`: a Cancel (which holds it) finds every command in one of the two lists.
        MTCritSecHold holder(lock.get());
        for (GuardedListItem* item = stalled->GetAndRemoveFront(); item != nullptr;
             item = stalled->GetAndRemoveFront()) {
            queue->AddInOrder(item);
        }
    }
    for (const uint32_t kind : kinds) {
        KindFilter eligible(kind, pass);
        while (!worker->IsTerminating()) {
            DispatcherCommand* command = nullptr;
            {
                MTCritSecHold holder(lock.get());
                command = static_cast<DispatcherCommand*>(queue->RemoveFirstMatch(&eligible));
                if (command == nullptr) {
                    break;
                }
                command->SetPassStamp(pass);
                running = command;
                runningCancelled = false;
            }
            // Run without `lock`: a status callback it runs may cancel, on this thread or on one this
            // callback waits for.
            const bool done = !worker->IsTerminating() && command->Execute();
            bool putBack = false;
            {
                MTCritSecHold holder(lock.get());
                running = nullptr;
                if (!done && !runningCancelled && !worker->IsTerminating()) {
                    const uint32_t retryAfter = command->RetryAfterMs();
                    if (retryAfter < outcome.retryAfterMs) {
                        outcome.retryAfterMs = retryAfter;
                    }
                    stalled->AddInOrder(command);
                    putBack = true;
                    outcome.putBackAny = true;
                }
            }
            if (done) {
                command->Finish(false);
                outcome.finishedAny = true;
            } else if (!putBack) {
                command->Finish(true);
            }
        }
    }
    return outcome;
}

void TransactionDispatcher::Add(DispatcherCommand* command) {
    if (command == nullptr) {
        return;
    }
    queue->AddInOrder(command);
    Wake();
}

bool TransactionDispatcher::CancelMatching(CommandFilter* filter) {
    if (filter == nullptr) {
        return false;
    }
    CommandFilterMatch accept(filter);
    return CancelAccepted(&accept);
}

bool TransactionDispatcher::CancelAll() {
    MatchEverything accept;
    return CancelAccepted(&accept);
}

bool TransactionDispatcher::CancelAccepted(GuardedList::MatchCallback* accept) {
    // The accepted commands are chained while the queue's lock is held and finished after it was left,
    // so that Finish may take other locks (or Add to this dispatcher) without inverting the lock order.
    class Collect : public GuardedList::MatchCallback {
      public:
        explicit Collect(GuardedList::MatchCallback* accept) : accept(accept) {}
        bool Matches(GuardedListItem* item) override {
            if (!accept->Matches(item)) {
                return false;
            }
            auto* command = static_cast<DispatcherCommand*>(item);
            command->nextToCancel = nullptr;
            *tail = command;
            tail = &command->nextToCancel;
            return true;
        }
        DispatcherCommand* first = nullptr;

      private:
        GuardedList::MatchCallback* const accept;
        DispatcherCommand** tail = &first;
    };
    Collect collect(accept);
    bool fromQueue = false;
    bool fromStalled = false;
    CacheTransaction* runningTransaction = nullptr;
    {
        // Under `lock`: every command is in one of the two lists or is `running`.
        MTCritSecHold holder(lock.get());
        fromQueue = queue->RemoveAllMatches(&collect);
        fromStalled = stalled->RemoveAllMatches(&collect);
        if (running != nullptr && !runningCancelled && accept->Matches(running)) {
            runningCancelled = true;
            runningTransaction = running->HoldTransactionForCancel();
        }
    }
    if (runningTransaction != nullptr) {
        runningTransaction->SetResult(CacheSource::kResultCancelled);
        runningTransaction->DecRef(TARVOS_CALL_SITE);
    }
    if (!fromQueue && !fromStalled) {
        return false;
    }
    for (DispatcherCommand* command = collect.first; command != nullptr;) {
        DispatcherCommand* next = command->nextToCancel;
        command->Finish(true);
        command = next;
    }
    return true;
}

void TransactionDispatcher::Wake() {
    announced.store(true);
    if (sleeping.load()) {
        wakeUp->Signal(1);  // fails when a signal is already pending, which serves as well
    }
}

void TransactionDispatcher::Lock() {
    lock->Enter();
}

void TransactionDispatcher::Unlock() {
    lock->Leave();
}

}  // namespace Tarvos
