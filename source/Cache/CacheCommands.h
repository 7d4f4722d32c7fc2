// clang-format off
// The kinds of work a cache queues on its dispatchers, and the filter that picks one source's commands.
// Each command is finished exactly once by its dispatcher and deletes itself there.
//   ProcessTransactionCommand  transaction dispatcher  serves a caller's transaction (retried when a
//                                                      block becomes free); cancelled: the transaction
//                                                      ends with kResultCancelled
//   ReadDirectCommand          transaction dispatcher  a read the engine had no slot for, retried (run
//                                                      first where the read is dispatched, directly);
//                                                      a refusal or a cancellation ends the read
//                                                      transaction with it
//   BlockCommand               transaction dispatcher  copies a block's data into the transactions
//                                                      queued on it; cancelled: cancels its source's ones
// clang-format on
#pragma once

#include "Cache/TransactionCommand.h"
#include "Cache/TransactionDispatcher.h"

namespace Tarvos {

class CacheBlock;

class ProcessTransactionCommand : public TransactionCommand {
  public:
    ProcessTransactionCommand(Cache* cache, CacheTransaction* transaction);
    bool Execute() override;
    void Finish(bool cancelled) override;
    // A pre-read may wait for a block's stamp to pass, which nothing announces; a demand read waits
    // for a free block, whose release wakes the dispatcher, and is retried on the clock too (see the
    // definition).
    bool RetriesOnTime() override;

  private:
    bool waitsOnTime = false;  // the last Execute could not claim a block for a reason nothing announces
};

class ReadDirectCommand : public TransactionCommand {
  public:
    ReadDirectCommand(Cache* cache, CacheTransaction* readTransaction);
    bool Execute() override;
    void Finish(bool cancelled) override;
};

class BlockCommand : public DispatcherCommand {
  public:
    // No references are taken: the block belongs to the cache's block list, which
    // outlives the cache's dispatchers.
    BlockCommand(Cache* cache, CacheBlock* block, uint32_t dueTime, CacheSource* source);
    bool Execute() override;
    void Finish(bool cancelled) override;

  private:
    CacheBlock* block;
};

class SourceFilter : public TransactionDispatcher::CommandFilter {
  public:
    explicit SourceFilter(CacheSource* source) : source(source) {}
    bool Matches(DispatcherCommand* command, uint32_t kind) override;

  private:
    CacheSource* source;  // no reference
};

}  // namespace Tarvos
