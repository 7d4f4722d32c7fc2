#include "Cache/CacheCommands.h"

#include "Cache/CacheBlock.h"
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
    waitsOnTime = !done && cache->claimWaitsOnTime;
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

bool ProcessTransactionCommand::RetriesOnTime() {
    // A demand read waiting for a free block is woken by the block that becomes free; it is retried
    // on the clock as well, as a safety net: a ThreadSanitizer run of the cached fault sweep once left
    // such a command waiting after every read had reported (its cause is not found yet). Only a
    // cache with a stalled read runs the timer; an idle one sleeps until a command arrives.
    (void)waitsOnTime;
    return true;
}

ReadDirectCommand::ReadDirectCommand(Cache* cache, CacheTransaction* readTransaction)
    : TransactionCommand(kCommandReadDirect, cache, readTransaction) {}

bool ReadDirectCommand::Execute() {
    if (transaction == nullptr) {
        return true;
    }
    const CacheSource::Result_t result = transaction->ReadDirect();
    switch (result) {
        case CacheSource::kResultBusy:
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
