// The built-in Linux whole-page memory: every buffer is its own anonymous private mapping, page-aligned,
// its size rounded up to whole pages, unmapped when the buffer dies (on whichever thread drops its last
// reference). Every buffer's first 64 MiB are backed with memory as it is made (best effort; pages beyond
// come on first use), and one of at least a transparent huge page is aligned to one and advised to use
// them (a buffer factory's stock is one such buffer). Never takes memory from the heap and never locks it
// into physical memory. Any thread.
#pragma once

#include <cstdint>

#include "Tarvos/PhysMemInterface.h"

namespace Tarvos {

class PhysMemInterfaceImpPosix : public PhysMemInterfaceImp {
  public:
    // Reads the system page size.
    PhysMemInterfaceImpPosix();
    ~PhysMemInterfaceImpPosix() override = default;

    // Null for size 0, when the whole-page size does not fit in 32 bits, or when the system has no
    // memory; std::bad_alloc when the buffer object itself cannot be allocated.
    Buffer* Allocate(uint32_t size) override;
    uint32_t GetPageSize() override;
    // The transparent huge page size that buffers of at least that size are aligned to and advised
    // for; 0 when the kernel offers none.
    uint32_t GetHugePageSize() const;

    // The size, rounded up to whole pages of pageSize; 0 when that does not fit in 32 bits.
    static uint32_t WholePageSize(uint32_t size, uint32_t pageSize);

  private:
    uint32_t pageSize;
    uint32_t hugePageSize;  // a transparent huge page's size; 0 when the kernel has none
};

}  // namespace Tarvos
