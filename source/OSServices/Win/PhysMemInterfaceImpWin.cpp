#include "OSServices/Win/PhysMemInterfaceImpWin.h"

#include <new>

#include "CoreClasses/CallSite.h"
#include "OSServices/Win/WinHeaders.h"
#include "Tarvos/Buffer.h"

namespace Tarvos {

namespace {

// The system page size; written once at construction, before any other thread of the library starts.
uint32_t systemPageSize = 0;

// A HostBuffer over one committed region of whole pages, which it owns. The base is built without
// memory and the region attached afterwards, before the buffer is shared; a failed allocation leaves
// the address null.
class PhysMemBuffer : public HostBuffer {
  public:
    explicit PhysMemBuffer(uint32_t wholePageBytes) : HostBuffer(nullptr, 0) {
        void* region =
            VirtualAlloc(nullptr, wholePageBytes, MEM_COMMIT | MEM_RESERVE | MEM_TOP_DOWN, PAGE_READWRITE);
        SetAddressAndSize(region, wholePageBytes);
    }

  protected:
    ~PhysMemBuffer() override {
        void* region = HostBuffer::GetAddress();
        if (region != nullptr && HostBuffer::GetSize() != 0) {
            // Cannot fail for a region this buffer allocated itself; nothing useful could be done if it did.
            VirtualFree(region, 0, MEM_RELEASE);
        }
    }
};

}  // namespace

PhysMemInterfaceImpWin::PhysMemInterfaceImpWin() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    systemPageSize = info.dwPageSize != 0 ? static_cast<uint32_t>(info.dwPageSize) : 4096u;
}

uint32_t PhysMemInterfaceImpWin::GetPageSize() {
    return systemPageSize;
}

uint32_t PhysMemInterfaceImpWin::WholePageSize(uint32_t size, uint32_t pageSize) {
    if (pageSize == 0) {
        return 0;
    }
    const uint64_t pages = size / pageSize + (size % pageSize != 0 ? 1 : 0);
    const uint64_t bytes = pages * pageSize;
    return bytes <= UINT32_MAX ? static_cast<uint32_t>(bytes) : 0;
}

Buffer* PhysMemInterfaceImpWin::Allocate(uint32_t size) {
    if (size == 0) {
        return nullptr;
    }
    // A size near 4 GiB whose whole-page size no longer fits is refused rather than wrapped.
    const uint32_t bytes = WholePageSize(size, systemPageSize);
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
