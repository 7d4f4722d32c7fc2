#include "Cache/CacheCommands.h"

#include "Cache/CacheBlock.h"
#include "Cache/DispatchedReadCallback.h"
#include "Cache/ReadGate.h"
#include "CoreClasses/CallSite.h"
#include "Tarvos/Cache.h"
#include "Tarvos/CacheTransaction.h"

namespace Tarvos {

ProcessTransactionCommand::ProcessTransactionCommand(Cache* cache, CacheTransaction* transaction)
    : TransactionCommand(kCommandProcessTransaction, cache, transaction) {}

bool ProcessTransactionCommand::Execute() {
    if (cache == nullptr || transaction == nullptr) {
        return true;
    }
    const bool done = cache->ProcessTransaction(transaction);
    retryAfterMs = cache->claimRetryAfterMs;
    return done;
}

void ProcessTransactionCommand::Finish(bool cancelled) {
    // A transaction whose processing is cancelled still reports, exactly once, so
    // nobody waits for it forever; one that already finished ignores this.
    if (cancelled && transaction != nullptr) {
        transaction->SetResult(CacheSource::kResultCancelled);
    }
    delete this;
}

uint32_t ProcessTransactionCommand::RetryAfterMs() {
    return retryAfterMs;
}

CacheTransaction* ProcessTransactionCommand::HoldTransactionForCancel() {
    if (transaction != nullptr) {
        transaction->AddRef(TARVOS_CALL_SITE);
    }
    return transaction;
}

ReadDirectCommand::ReadDirectCommand(Cache* cache, DispatchedReadCallback* read,
                                     CacheTransaction* readTransaction)
    : TransactionCommand(kCommandReadDirect, cache, readTransaction), read(read) {}

bool ReadDirectCommand::Execute() {
    if (transaction == nullptr) {
        return true;
    }
    if (cache != nullptr && cache->IsCancelling(GetSource())) {
        // Started while its source is cancelled (a retry, or a read the gate let through): it ends now
        // instead of reaching the source after the cancel has passed it.
        transaction->SetResult(CacheSource::kResultCancelled);
        return true;
    }
    ReadGate* gate = read != nullptr ? read->gate : nullptr;
    if (gate != nullptr) {
        // Counted before the source is asked: the read may report on another thread before it answers.
        read->countedStart.store(true);
        gate->Starting();
    }
    const CacheSource::Result_t result = transaction->ReadDirect();
    switch (result) {
        case CacheSource::kResultBusy:
            if (gate != nullptr && read->countedStart.exchange(false)) {
                gate->NotStarted();
            }
            return false;
        case CacheSource::kResultPending:
        case CacheSource::kResultSuccess:
        case CacheSource::kResultPartial:
            // Started (or already done): the source completes the transaction.
            return true;
        default:
            // Refused: nobody else will complete the read, so its blocks and everyone
            // waiting on them learn the refusal now.
            transaction->SetResult(result == CacheSource::kResultEndOfFile ||
                                           result == CacheSource::kResultCancelled
                                       ? result
                                       : CacheSource::kResultFailed);
            return true;
    }
}

uint32_t ReadDirectCommand::RetryAfterMs() {
    const bool heard = read != nullptr && read->gate != nullptr && !read->gate->StartedNone();
    return heard ? MTSemaphore::kInfinite : 1;
}

void ReadDirectCommand::Finish(bool cancelled) {
    if (cancelled && transaction != nullptr) {
        transaction->SetResult(CacheSource::kResultCancelled);
    }
    delete this;
}

BlockCommand::BlockCommand(Cache* cache, CacheBlock* block, uint32_t dueTime, CacheSource* source)
    : DispatcherCommand(kCommandBlock, dueTime, cache, source), block(block) {}

bool BlockCommand::Execute() {
    if (block != nullptr) {
        bool changed = false;
        block->ProcessPendingTransactions(&changed);
        if (changed && cache != nullptr) {
            cache->NotifySomethingChanged();
        }
    }
    return true;
}

void BlockCommand::Finish(bool cancelled) {
    // A command queued for one source's data may find its block emptied and claimed by another
    // source by now: only its own source's transactions are cancelled with it.
    if (cancelled && block != nullptr) {
        bool changed = false;
        if (GetSource() != nullptr) {
            block->CancelPendingTransactionsOf(GetSource(), &changed);
        } else {
            block->CancelPendingTransactions(&changed);
        }
        if (changed && cache != nullptr) {
            cache->NotifySomethingChanged();
        }
    }
    delete this;
}

bool SourceFilter::Matches(DispatcherCommand* command, uint32_t) {
    return command == nullptr || command->GetSource() == source;
}

}  // namespace Tarvos
