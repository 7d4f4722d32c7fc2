// HostBuffer and HeapBuffer. A copy checks its range before it locks, holds a BufferLockAuto on every
// buffer whose memory it touches (so the lock count is back where it was however the copy ends), and
// turns any exception from the copy or from an acknowledgement hook into kBufferResultCopyFault.
#include "Tarvos/Buffer.h"

#include <cstring>
#include <new>

#include "Tarvos/MTInterface.h"

namespace Tarvos {

Buffer::~Buffer() = default;

HostBuffer::HostBuffer(void* address, uint32_t size)
    : address(address), size(size), lockCounter(MTInterface::NewAtomicUnsigned32(0)) {
    // The lock operations have no meaning without a counter, so such a buffer is never made.
    if (lockCounter == nullptr) {
        throw std::bad_alloc();
    }
}

HostBuffer::~HostBuffer() {
    delete lockCounter;
}

void HostBuffer::SetAddressAndSize(void* newAddress, uint32_t newSize) {
    address = newAddress;
    size = newSize;
}

void* HostBuffer::GetAddress() {
    return address;
}

void* HostBuffer::GetVirtualAddress() {
    return address;
}

uint32_t HostBuffer::GetSize() {
    return size;
}

Buffer::LockState_t HostBuffer::Lock() {
    return lockCounter->Increment() != 0 ? kLockStateLocked : kLockStateUnlocked;
}

Buffer::LockState_t HostBuffer::Unlock() {
    return static_cast<int32_t>(lockCounter->Decrement()) >= 1 ? kLockStateLocked : kLockStateUnlocked;
}

Buffer::LockState_t HostBuffer::GetLockState() {
    return static_cast<int32_t>(lockCounter->Get()) >= 1 ? kLockStateLocked : kLockStateUnlocked;
}

void HostBuffer::AcknowledgeBytesMovedInto(uint32_t, uint32_t) {}

void HostBuffer::AcknowledgeBytesMovedOutOf(uint32_t, uint32_t) {}

Buffer::BufferResult_t HostBuffer::CopyInto(void* source, uint32_t length, uint32_t position,
                                            uint32_t* bytesMoved) {
    return CopyWithCallerMemory(true, source, length, position, bytesMoved);
}

Buffer::BufferResult_t HostBuffer::CopyOutOf(void* destination, uint32_t length, uint32_t position,
                                             uint32_t* bytesMoved) {
    return CopyWithCallerMemory(false, destination, length, position, bytesMoved);
}

Buffer::BufferResult_t HostBuffer::CopyWithCallerMemory(bool into, void* callerMemory, uint32_t length,
                                                        uint32_t position, uint32_t* bytesMoved) {
    if (bytesMoved != nullptr) {
        *bytesMoved = 0;
    }
    try {
        const uint32_t bufferSize = GetSize();
        if (position >= bufferSize) {
            return kBufferResultOutOfRange;
        }
        if (length > bufferSize - position) {
            length = bufferSize - position;
        }
        if (length == 0) {
            return kBufferResultOutOfRange;
        }
        BufferLockAuto hold(this);
        if (!hold.IsLocked()) {
            return kBufferResultLockFailed;
        }
        auto* memory = static_cast<uint8_t*>(GetVirtualAddress());
        if (memory == nullptr || callerMemory == nullptr) {
            return kBufferResultNoAddress;
        }
        // memmove, so that a copy between overlapping parts of one buffer is still well defined.
        if (into) {
            std::memmove(memory + position, callerMemory, length);
        } else {
            std::memmove(callerMemory, memory + position, length);
        }
        if (bytesMoved != nullptr) {
            *bytesMoved = length;
        }
        if (into) {
            AcknowledgeBytesMovedInto(length, position);
        } else {
            AcknowledgeBytesMovedOutOf(length, position);
        }
        return kBufferResultSuccess;
    } catch (...) {
        // The lock has already been undone by the unwinding BufferLockAuto.
        return kBufferResultCopyFault;
    }
}

Buffer::BufferResult_t HostBuffer::CopyFromOtherBuffer(Buffer* source, uint32_t length,
                                                       uint32_t sourcePosition, uint32_t position,
                                                       uint32_t* bytesMoved) {
    try {
        BufferLockAuto hold(source);
        if (source == nullptr || !hold.IsLocked()) {
            return kBufferResultLockFailed;
        }
        auto* sourceMemory = static_cast<uint8_t*>(source->GetVirtualAddress());
        if (sourceMemory == nullptr) {
            return kBufferResultNoAddress;
        }
        const uint32_t sourceSize = source->GetSize();
        if (sourcePosition >= sourceSize) {
            return kBufferResultOutOfRange;
        }
        uint32_t count = sourceSize - sourcePosition;
        if (length != 0 && length <= count) {
            count = length;
        }
        // The source stays locked until the inner copy, which clips to this buffer and locks it, is done.
        return CopyInto(sourceMemory + sourcePosition, count, position, bytesMoved);
    } catch (...) {
        return kBufferResultCopyFault;
    }
}

HeapBuffer::HeapBuffer(uint32_t size) : HostBuffer(nullptr, 0) {
    // Allocated once the base exists, so that a failure of either leaks nothing.
    SetAddressAndSize(new uint8_t[size], size);
}

HeapBuffer::~HeapBuffer() {
    delete[] static_cast<uint8_t*>(HostBuffer::GetAddress());
}

}  // namespace Tarvos
