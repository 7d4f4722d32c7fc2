// BufferList: an ordered set of distinct buffers treated as one byte range (each buffer continues where
// the one before it ends). The list holds one reference per buffer until it is destroyed and never
// removes a buffer before that. It can lock all its buffers at once and report whether they form one
// contiguous block and how many whole pages they cover. No lock of its own: it is filled by one thread
// and then handed on; concurrent AddBuffer calls are not supported. Never blocks.
#pragma once

#include <atomic>

#include <cstdint>

#include "Tarvos/Export.h"
#include "Tarvos/SharedObject.h"

namespace Tarvos {

class Buffer;
class BufferArray;

class TARVOS_EXPORT BufferList : public SharedObject {
  public:
    // Room for initialCapacity pointers; more than 0x3FFFFFFF throws std::length_error.
    explicit BufferList(uint32_t initialCapacity = 1);
    // As above, then AddBuffer(buffer, adoptReference); a null buffer gives an empty list.
    BufferList(Buffer* buffer, bool adoptReference, uint32_t initialCapacity = 1);

    // Appends buffer. False, changing nothing (an adopted reference stays the caller's), for null, for
    // a buffer already in the list, or when the list's total size would no longer fit in 32 bits.
    // Otherwise the list takes a reference, or with adoptReference takes over one the caller holds.
    bool AddBuffer(Buffer* buffer, bool adoptReference);
    uint32_t GetNumberOfBuffers();
    // No reference is added; null when index is out of range.
    Buffer* GetBuffer(uint32_t index);
    // Sum of the buffers' sizes, cached until the next AddBuffer.
    uint32_t GetTotalSizeOfBuffers();
    // The buffer holding byte offset of the list, with the offset inside it and the bytes left in it
    // from there (each stored when not null); null (nothing stored) when offset is past the end.
    Buffer* GetBufferAtOffset(uint32_t offset, uint32_t* offsetInBuffer, uint32_t* bytesLeftInBuffer);
    // Locks every buffer. On success returns the first buffer's address (the lock token) and reports
    // the total size if the buffers form one contiguous block (else 0) and, with countPages, the sum of
    // their whole pages. Fails (null, 0 and 0, every lock undone) on an empty list, a lock that does not
    // count, a null address or empty buffer, or with countPages a buffer that is not whole pages.
    void* LockAllBuffers(bool countPages, uint32_t* numberOfPages, uint32_t* contiguousSize);
    // Undoes one LockAllBuffers that returned lockToken, unlocking from the last buffer to the first;
    // any other token, or more unlocks than locks, does nothing. Locks nest: a list locked twice (by
    // two requests at once, say) needs both unlocks. Lock and unlock may run on different threads.
    void UnlockAllBuffers(void* lockToken);

  protected:
    // Releases every buffer; does not unlock them.
    ~BufferList() override;

  private:
    BufferArray* array;               // owned
    std::atomic<void*> lockToken;     // from the last successful LockAllBuffers; null before any
    std::atomic<uint32_t> lockDepth;  // successful LockAllBuffers not yet undone
    uint32_t totalSize;               // cached sum of the sizes; 0 means not computed
};

}  // namespace Tarvos
