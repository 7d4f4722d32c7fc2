// clang-format off
// The kinds of work a cache queues on its dispatchers, and the filter that picks one source's commands.
// Each command is finished exactly once by its dispatcher and deletes itself there.
//   ProcessTransactionCommand  transaction dispatcher  serves a caller's transaction (retried when a
//                                                      block becomes free); cancelled: the transaction
//                                                      ends with kResultCancelled
//   ReadDirectCommand          transaction dispatcher  a read the engine had no slot for, retried (run
//                                                      first where the read gate starts it, directly);
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
class DispatchedReadCallback;

class ProcessTransactionCommand : public TransactionCommand {
  public:
    ProcessTransactionCommand(Cache* cache, CacheTransaction* transaction);
    bool Execute() override;
    void Finish(bool cancelled) override;
    // A read waiting for a free block is woken by its release; on the clock only what nothing
    // announces: a block's stamp passing (pre-reads), a block's memory let go by the kernel.
    uint32_t RetryAfterMs() override;
    CacheTransaction* HoldTransactionForCancel() override;

  private:
    uint32_t retryAfterMs = 1;  // from the last Execute that could not claim a block
};

class ReadDirectCommand : public TransactionCommand {
  public:
    // `read` is the read transaction's status callback (kept alive by it).
    ReadDirectCommand(Cache* cache, DispatchedReadCallback* read, CacheTransaction* readTransaction);
    bool Execute() override;
    void Finish(bool cancelled) override;
    // Woken when one of the cache's started reads reports; on the clock only with none started (the
    // engine's slots are then all taken by others, whose ends nobody here hears of).
    uint32_t RetryAfterMs() override;

  private:
    DispatchedReadCallback* const read;
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
