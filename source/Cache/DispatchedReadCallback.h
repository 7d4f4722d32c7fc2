// One read from a source into the buffers of one or more consecutive claimed
// blocks. The cache builds it block by block (AddBlock), then Dispatch creates
// the read transaction and starts it at once (a read the I/O engine has no slot
// for is queued on the dispatcher, which retries it). When the
// read finishes (on whichever thread the source reports it), Callback fills in
// every block and serves the transactions waiting on it right there (one hand-
// off less than a block command), then lets go of the read.
// The creator's reference is released by Callback; the read transaction holds
// the other one until it dies.
#pragma once

#include <cstdint>
#include <vector>

#include "Tarvos/CacheTransaction.h"

namespace Tarvos {

class BufferList;
class Cache;
class CacheBlock;
class TransactionDispatcher;

class DispatchedReadCallback : public CacheTransaction::StatusCallback {
  public:
    DispatchedReadCallback(Cache* cache, CacheSource* source, uint32_t dueTime);

    // True when the block joined the read (or is null); false when it does not
    // follow the last block.
    bool AddBlock(CacheBlock* block);
    // Starts the read; nothing without a dispatcher or without blocks.
    void Dispatch(TransactionDispatcher* retryDispatcher);
    void Callback(CacheSource::Result_t result, CacheTransaction* transaction, uint32_t bytes) override;

  protected:
    ~DispatchedReadCallback() override;

  private:
    std::vector<CacheBlock*> blocks;  // in offset order; no references
    // Each block's share of the read, fixed when it joined: an invalidation while the read runs
    // empties a block but must not move the bytes that belong to the blocks after it.
    std::vector<uint32_t> shares;
    Cache* cache;  // no reference
    uint32_t dueTime;
    BufferList* bufferList = nullptr;             // one reference
    CacheTransaction* readTransaction = nullptr;  // one reference, until Callback
    uint64_t startOffset = 0;
    uint64_t nextOffset = 0xFFFFFFFFFFFFFFFFull;
    CacheSource* source;  // no reference
};

}  // namespace Tarvos
