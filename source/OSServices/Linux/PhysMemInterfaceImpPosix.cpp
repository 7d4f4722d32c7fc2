#include "PhysMemInterfaceImpPosix.h"

#include <new>

#include <sys/mman.h>
#include <unistd.h>

#include "CoreClasses/CallSite.h"
#include "Tarvos/Buffer.h"

namespace Tarvos {

namespace {

// A HostBuffer over one anonymous mapping of whole pages, which it owns. The base is built without
// memory and the mapping attached afterwards, before the buffer is shared; a failed mapping leaves the
// address null.
class PhysMemBuffer : public HostBuffer {
  public:
    explicit PhysMemBuffer(uint32_t wholePageBytes) : HostBuffer(nullptr, 0) {
        void* mapping =
            ::mmap(nullptr, wholePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        SetAddressAndSize(mapping == MAP_FAILED ? nullptr : mapping, wholePageBytes);
    }

  protected:
    ~PhysMemBuffer() override {
        void* mapping = HostBuffer::GetAddress();
        const uint32_t bytes = HostBuffer::GetSize();
        if (mapping != nullptr && bytes != 0) {
            // Cannot fail for a mapping this buffer made itself; nothing useful could be done if it did.
            ::munmap(mapping, bytes);
        }
    }
};

}  // namespace

PhysMemInterfaceImpPosix::PhysMemInterfaceImpPosix() {
    const long systemPageSize = ::sysconf(_SC_PAGESIZE);
    pageSize = systemPageSize > 0 ? static_cast<uint32_t>(systemPageSize) : 4096u;
}

uint32_t PhysMemInterfaceImpPosix::GetPageSize() {
    return pageSize;
}

uint32_t PhysMemInterfaceImpPosix::WholePageSize(uint32_t size, uint32_t pageSize) {
    if (pageSize == 0) {
        return 0;
    }
    const uint64_t pages = size / pageSize + (size % pageSize != 0 ? 1 : 0);
    const uint64_t bytes = pages * pageSize;
    return bytes <= UINT32_MAX ? static_cast<uint32_t>(bytes) : 0;
}

Buffer* PhysMemInterfaceImpPosix::Allocate(uint32_t size) {
    if (size == 0) {
        return nullptr;
    }
    // A size near 4 GiB whose whole-page size no longer fits is refused rather than wrapped.
    const uint32_t bytes = WholePageSize(size, pageSize);
    if (bytes == 0) {
        return nullptr;
    }
    PhysMemBuffer* buffer = nullptr;
    try {
        buffer = new PhysMemBuffer(bytes);
    } catch (const std::bad_alloc&) {
        return nullptr;  // the buffer's own bookkeeping could not be made
    }
    if (buffer->GetAddress() != nullptr && buffer->GetSize() >= size) {
        return buffer;
    }
    buffer->DecRef(TARVOS_CALL_SITE);
    return nullptr;
}

}  // namespace Tarvos
