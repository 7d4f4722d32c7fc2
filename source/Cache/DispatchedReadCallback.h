// One read from a source into the buffers of one or more consecutive claimed blocks (at most
// kMostBytesPerRead together). The cache builds it block by block (AddBlock), then hands it to its read
// gate, which starts it (MakeReadTransaction, then a ReadDirectCommand) at once or once its source has
// room. When the read finishes (on whichever thread the source reports it), or is cancelled while it
// waits at the gate, Callback fills in every block and serves the transactions waiting on it right there,
// tells the gate, then lets go of the read. The creator's reference is released by Callback; the read
// transaction holds the other one until it dies.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "Tarvos/CacheTransaction.h"

namespace Tarvos {

class BufferList;
class CacheBlock;
class ReadGate;

class DispatchedReadCallback : public CacheTransaction::StatusCallback {
  public:
    // The largest read gathered from consecutive blocks (a single block may be larger).
    static constexpr uint32_t kMostBytesPerRead = 1024 * 1024;

    DispatchedReadCallback(CacheSource* source, uint32_t dueTime, ReadGate* gate);

    // True when the block joined the read (or is null); false when it does not follow the last block
    // or would make the read longer than kMostBytesPerRead.
    bool AddBlock(CacheBlock* block);
    // Hands the read to the gate; nothing without a gate or without blocks.
    void Dispatch();
    // Creates the read transaction (once) at the read's due time; no reference is handed out. Null
    // when it cannot be made.
    CacheTransaction* MakeReadTransaction();
    void Callback(CacheSource::Result_t result, CacheTransaction* transaction, uint32_t bytes) override;

    CacheSource* GetSource() const { return source; }
    uint32_t GetDueTime() const { return dueTime; }
    uint32_t GetSize() const { return totalShares; }
    // Before the read transaction is made (the gate's lock held).
    void SetDueTime(uint32_t due) { dueTime = due; }
    bool Covers(const CacheBlock* block) const;

    // The gate's bookkeeping, under its lock: the read holds one of its source's places.
    bool admitted = false;
    // Set while the read was handed to the source and has not reported (see ReadGate::Starting).
    std::atomic<bool> countedStart{false};
    ReadGate* const gate;  // not owned

  protected:
    ~DispatchedReadCallback() override;

  private:
    std::vector<CacheBlock*> blocks;  // in offset order; no references
    // Each block's share of the read, fixed when it joined: an invalidation while the read runs
    // empties a block but must not move the bytes that belong to the blocks after it.
    std::vector<uint32_t> shares;
    uint32_t dueTime;
    uint32_t totalShares = 0;
    BufferList* bufferList = nullptr;             // one reference
    CacheTransaction* readTransaction = nullptr;  // one reference, until Callback
    uint64_t startOffset = 0;
    uint64_t nextOffset = 0xFFFFFFFFFFFFFFFFull;
    CacheSource* source;  // no reference
};

}  // namespace Tarvos
