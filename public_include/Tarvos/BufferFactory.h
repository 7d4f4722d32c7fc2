// Buffer factories: a fixed stock of equal-sized buffers, filled once by Initialize, handed out and
// given back. The factory keeps its own (creation) reference on every buffer it made; a user who takes
// a buffer gets no reference of its own and gives it back with ReturnBufferToFactory. BufferFactoryHeap
// fills the stock with heap buffers, BufferFactoryPhysMem with windows onto a few large page-aligned
// chunks of whole-page memory. Any thread may call any operation: one lock per factory serialises them
// (the pool's lock is taken inside it). Out of memory for an object throws std::bad_alloc.
#pragma once

#include <atomic>
#include <cstdint>

#include "Tarvos/Export.h"
#include "Tarvos/SharedObject.h"

namespace Tarvos {

class Buffer;
class MTCritSec;
class SharedObjectList;
class SharedObjectPool;

class TARVOS_EXPORT BufferFactory : public SharedObject {
  public:
    // Makes between minimumCount and maximumCount buffers of bufferSize bytes; false when the stock
    // cannot reach minimumCount. The fourth argument is not used.
    virtual bool Initialize(uint32_t bufferSize, uint32_t minimumCount, uint32_t maximumCount,
                            uint32_t unused) = 0;
    virtual uint32_t GetBufferSize() = 0;
    virtual uint32_t GetTotalNumberOfBuffers() = 0;
    virtual uint32_t GetNumberOfBuffersFree() = 0;
    virtual uint32_t GetNumberOfBuffersInUse() = 0;
    // The free buffer returned or made last, now in use; null when none is free. No reference is given.
    virtual Buffer* GetBufferFromFactory() = 0;
    // False when the buffer is not one this factory handed out and has not had back yet.
    virtual bool ReturnBufferToFactory(Buffer* buffer) = 0;

  protected:
    BufferFactory() = default;
    ~BufferFactory() override;
};

// Everything but Initialize, over a SharedObjectPool.
class TARVOS_EXPORT BufferFactoryCommon : public BufferFactory {
  public:
    // The buffer size, 0 before initialisation. Does not take the factory's lock.
    uint32_t GetBufferSize() override;
    uint32_t GetTotalNumberOfBuffers() override;
    uint32_t GetNumberOfBuffersFree() override;
    uint32_t GetNumberOfBuffersInUse() override;
    Buffer* GetBufferFromFactory() override;
    bool ReturnBufferToFactory(Buffer* buffer) override;

  protected:
    // Throws std::bad_alloc when the lock cannot be made.
    BufferFactoryCommon();
    // Purges the free buffers and releases the pool. Buffers still handed out keep the factory's
    // creation reference, so they stay valid for whoever holds them.
    ~BufferFactoryCommon() override;

    // Offers a new buffer to the free stock; false without a pool, for null, for a buffer already free
    // or when the stock is at its maximum. The factory's creation reference stays with the caller.
    virtual bool AddBuffer(Buffer* buffer);
    // Fixes the buffer size and creates the pool; false (changing nothing) if either is already set or
    // the size is 0.
    virtual bool InternalInit(uint32_t bufferSize, uint32_t maximumCount);
    // Releases every free buffer (the factory's reference too) and drops the handed-out ones from the pool.
    virtual void Purge();

    // For an Initialize undoing its own work: takes a buffer it made back out of the pool and releases
    // the factory's reference on it. Requires: the buffer is free.
    void WithdrawBuffer(Buffer* buffer);
    // Whether an Initialize may make buffers of this size: not 0, and the size already fixed if any.
    bool CanMakeBuffersOfSize(uint32_t size);
    // The factory's lock, for Initialize to hold for its whole run. Re-entrant.
    MTCritSec* FactoryLock() { return lock; }

  private:
    MTCritSec* lock;                   // owned; serialises the factory's operations; taken before the pool's
    std::atomic<uint32_t> bufferSize;  // written once under the lock, read by GetBufferSize without it
    SharedObjectPool* pool;            // one reference owned; null until InternalInit
};

class TARVOS_EXPORT BufferFactoryHeap : public BufferFactoryCommon {
  public:
    BufferFactoryHeap() = default;
    // False when maximumCount (raised to minimumCount) is 0 or bufferSize cannot be used.
    bool Initialize(uint32_t bufferSize, uint32_t minimumCount, uint32_t maximumCount,
                    uint32_t unused) override;

  protected:
    ~BufferFactoryHeap() override;
};

class TARVOS_EXPORT BufferFactoryPhysMem : public BufferFactoryCommon {
  public:
    BufferFactoryPhysMem();
    // Takes the memory in as few chunks as PhysMemInterface gives and cuts each into windows; stops
    // once fewer than minimumCount buffers are still wanted. False, with everything it made undone,
    // when the stock cannot reach minimumCount, and without doing anything when bufferSize times
    // maximumCount does not fit in 32 bits or bufferSize cannot be used.
    bool Initialize(uint32_t bufferSize, uint32_t minimumCount, uint32_t maximumCount,
                    uint32_t unused) override;

  protected:
    ~BufferFactoryPhysMem() override;
    // Also drops the chunks (a chunk lives on while a window onto it does).
    void Purge() override;

  private:
    SharedObjectList* chunkList;  // one reference owned; the locked chunks the windows look into
};

}  // namespace Tarvos
