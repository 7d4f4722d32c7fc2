// Buffers: reference-counted memory with a size, an advisory lock count and bounded copies. Buffer is
// the interface; HostBuffer works over memory somebody else owns; HeapBuffer owns heap memory;
// BufferPartOfBuffer is a window onto part of another buffer that keeps that buffer alive. Buffers die
// through DecRef. The lock count is atomic and any thread may use it; address and size are fixed before
// a buffer is shared. Copies are clipped to the buffer, take their own lock while they touch the memory
// and never throw: every failure is a BufferResult_t. BufferLockAuto holds a lock for a scope.
#pragma once

#include <cstdint>

#include "Tarvos/Export.h"
#include "Tarvos/SharedObject.h"

namespace Tarvos {

class MTAtomicUnsigned32;

class TARVOS_EXPORT Buffer : public SharedObject {
  public:
    enum LockState_t : int32_t {
        kLockStateUnlocked = 0,  // lock count below 1, or a lock attempt that did not count
        kLockStateLocked = 1,    // lock count 1 or more
    };

    enum BufferResult_t : int32_t {
        kBufferResultSuccess = 0,     // the bytes were copied and acknowledged
        kBufferResultLockFailed = 1,  // a buffer could not be locked, or no source buffer was given
        kBufferResultNoAddress = 2,   // the buffer whose memory is needed has a null address
        kBufferResultCopyFault = 3,   // the copy or its acknowledgement raised an exception
        kBufferResultOutOfRange = 4,  // the position is at or past the end, or nothing is left to copy
    };

    // Both return the same address in every buffer of the library.
    virtual void* GetAddress() = 0;
    virtual uint32_t GetSize() = 0;
    virtual LockState_t Lock() = 0;
    virtual LockState_t GetLockState() = 0;
    virtual LockState_t Unlock() = 0;
    virtual void* GetVirtualAddress() = 0;

    // Copies up to length bytes from caller memory into the buffer at position; *bytesMoved (when not
    // null) is set to 0 first and to the clipped count once the bytes are copied.
    virtual BufferResult_t CopyInto(void* source, uint32_t length, uint32_t position,
                                    uint32_t* bytesMoved) = 0;
    // Copies from source (from sourcePosition; length 0 means the whole rest of it) into this buffer at
    // position, clipped to both buffers. *bytesMoved is written only by the inner CopyInto.
    virtual BufferResult_t CopyFromOtherBuffer(Buffer* source, uint32_t length, uint32_t sourcePosition,
                                               uint32_t position, uint32_t* bytesMoved) = 0;
    // Hook called after every successful copy into the buffer.
    virtual void AcknowledgeBytesMovedInto(uint32_t length, uint32_t position) = 0;
    // Copies up to length bytes from the buffer at position into caller memory.
    virtual BufferResult_t CopyOutOf(void* destination, uint32_t length, uint32_t position,
                                     uint32_t* bytesMoved) = 0;
    // Hook called after every successful copy out of the buffer.
    virtual void AcknowledgeBytesMovedOutOf(uint32_t length, uint32_t position) = 0;

  protected:
    Buffer() = default;
    ~Buffer() override;
};

class TARVOS_EXPORT HostBuffer : public Buffer {
  public:
    // Neither value is validated. Throws std::bad_alloc when the lock counter cannot be allocated.
    HostBuffer(void* address, uint32_t size);

    void* GetAddress() override;
    uint32_t GetSize() override;
    LockState_t Lock() override;
    LockState_t GetLockState() override;
    LockState_t Unlock() override;
    void* GetVirtualAddress() override;
    BufferResult_t CopyInto(void* source, uint32_t length, uint32_t position, uint32_t* bytesMoved) override;
    BufferResult_t CopyFromOtherBuffer(Buffer* source, uint32_t length, uint32_t sourcePosition,
                                       uint32_t position, uint32_t* bytesMoved) override;
    void AcknowledgeBytesMovedInto(uint32_t length, uint32_t position) override;
    BufferResult_t CopyOutOf(void* destination, uint32_t length, uint32_t position,
                             uint32_t* bytesMoved) override;
    void AcknowledgeBytesMovedOutOf(uint32_t length, uint32_t position) override;

  protected:
    // Never frees the memory it was given.
    ~HostBuffer() override;
    // For buffers that obtain their memory after construction, before they are shared.
    void SetAddressAndSize(void* newAddress, uint32_t newSize);

  private:
    // CopyInto (into true) and CopyOutOf (into false) over callerMemory.
    BufferResult_t CopyWithCallerMemory(bool into, void* callerMemory, uint32_t length, uint32_t position,
                                        uint32_t* bytesMoved);

    void* address;                    // not owned
    uint32_t size;                    // bytes
    MTAtomicUnsigned32* lockCounter;  // owned; read as a signed count, unbounded either way
};

class TARVOS_EXPORT HeapBuffer : public HostBuffer {
  public:
    // Uninitialised heap memory of size bytes; throws std::bad_alloc when there is none.
    explicit HeapBuffer(uint32_t size);

  protected:
    ~HeapBuffer() override;
};

// A window of size bytes at address, normally inside parent's memory (not checked), that holds a
// reference on parent (when not null) for as long as it exists. It has its own lock count: locking the
// window does not lock the parent.
class TARVOS_EXPORT BufferPartOfBuffer : public HostBuffer {
  public:
    BufferPartOfBuffer(void* address, uint32_t size, Buffer* parent)
        : HostBuffer(address, size), parent(parent) {
        if (parent != nullptr) {
            parent->AddRef("public_include/Buffer", "Tarvos::BufferPartOfBuffer::BufferPartOfBuffer",
                           __LINE__);
        }
    }

    Buffer* GetParent() const { return parent; }

  protected:
    ~BufferPartOfBuffer() override {
        if (parent != nullptr) {
            parent->DecRef("public_include/Buffer", "Tarvos::BufferPartOfBuffer::~BufferPartOfBuffer",
                           __LINE__);
        }
    }

  private:
    Buffer* parent;  // one counted reference, or null
};

// Locks a buffer for a scope. IsLocked() tells whether the lock counted; only then does the holder also
// keep a reference on the buffer and undo the lock on destruction. A lock attempt that answered
// kLockStateUnlocked is not undone.
class BufferLockAuto {
  public:
    explicit BufferLockAuto(Buffer* buffer) : buffer(buffer), locked(false) {
        if (buffer != nullptr) {
            locked = buffer->Lock() == Buffer::kLockStateLocked;
            if (locked) {
                buffer->AddRef("public_include/Buffer", "Tarvos::BufferLockAuto::BufferLockAuto", __LINE__);
            }
        }
    }
    ~BufferLockAuto() {
        if (buffer != nullptr && locked) {
            buffer->Unlock();
            buffer->DecRef("public_include/Buffer", "Tarvos::BufferLockAuto::~BufferLockAuto", __LINE__);
        }
    }
    BufferLockAuto(const BufferLockAuto&) = delete;
    BufferLockAuto& operator=(const BufferLockAuto&) = delete;

    bool IsLocked() const { return locked; }
    Buffer* GetBuffer() const { return buffer; }

  private:
    Buffer* buffer;
    bool locked;
};

}  // namespace Tarvos
