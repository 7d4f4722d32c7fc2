#include "PhysMemInterfaceImpPosix.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "CoreClasses/CallSite.h"
#include "Tarvos/Buffer.h"

namespace Tarvos {

namespace {

// How much of a mapping is backed with memory as it is made; the pages beyond come on first use.
constexpr uint32_t kBackNowBytes = 64u << 20;

// Backs the start of the mapping with memory now, as physical memory is expected to be: the first read
// into a block there then costs no page faults (for direct I/O, the kernel would otherwise fault and
// clear every page while it submits the read, on the I/O thread). Only the first kBackNowBytes: backing
// a gigabyte of huge pages took 1.6-2.3 s on a virtual machine whose host backs its memory on first
// touch, while the rest of building a cache that size takes a few hundred milliseconds; and backing it
// from a thread of its own while the cache is built slowed the build as much (the kernel's memory map
// lock, held while it backs, is taken by every growth of the heap). Best effort: where the kernel cannot
// (too old, or short of memory right now) the pages come on first use.
void* Populate(void* mapping, uint32_t bytes) {
    ::madvise(mapping, std::min(bytes, kBackNowBytes), MADV_POPULATE_WRITE);
    return mapping;
}

// An anonymous private mapping of `bytes` (whole pages); null when the system refuses. One of at least
// a transparent huge page (hugePageBytes; 0: none to ask for) starts on a huge-page boundary, by
// mapping a huge page more and giving back what lies before and after, and asks for huge pages
// (MADV_HUGEPAGE): backing it (Populate) then takes a page fault per huge page instead of one per small
// page, and its blocks lie in fewer pages of the processor's address translation. Where the kernel
// gives no huge pages the advice changes nothing.
void* MapWholePages(uint32_t bytes, uint32_t hugePageBytes) {
    if (hugePageBytes == 0 || bytes < hugePageBytes) {
        void* mapping = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return mapping == MAP_FAILED ? nullptr : Populate(mapping, bytes);
    }
    const size_t reserved = size_t{bytes} + hugePageBytes;
    void* area = ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<uintptr_t>(area);
    const uintptr_t aligned = (start + hugePageBytes - 1) & ~(uintptr_t{hugePageBytes} - 1);
    const size_t head = aligned - start;
    const size_t tail = reserved - head - bytes;
    // Unmapping whole pages of a mapping just made cannot fail.
    if (head != 0) {
        ::munmap(area, head);
    }
    if (tail != 0) {
        ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    }
    // Advice only: where it is refused (a kernel without transparent huge pages) the mapping works as
    // it is.
    ::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
    return Populate(reinterpret_cast<void*>(aligned), bytes);
}

// The size of a transparent huge page, as the kernel says; 0 when it has none, or one that is not a
// power-of-two multiple of the page size.
uint32_t ReadHugePageSize(uint32_t pageSize) {
    const int fd = ::open("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    char text[32] = {};
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0) {
        return 0;
    }
    const unsigned long long size = std::strtoull(text, nullptr, 10);
    const bool usable =
        size > pageSize && size <= (1u << 30) && (size & (size - 1)) == 0 && size % pageSize == 0;
    return usable ? static_cast<uint32_t>(size) : 0;
}

// A HostBuffer over one anonymous mapping of whole pages (MapWholePages), which it owns. The base is
// built without memory and the mapping attached afterwards, before the buffer is shared; a failed
// mapping leaves the address null.
class PhysMemBuffer : public HostBuffer {
  public:
    PhysMemBuffer(uint32_t wholePageBytes, uint32_t hugePageBytes) : HostBuffer(nullptr, 0) {
        SetAddressAndSize(MapWholePages(wholePageBytes, hugePageBytes), wholePageBytes);
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
    hugePageSize = ReadHugePageSize(pageSize);
}

uint32_t PhysMemInterfaceImpPosix::GetPageSize() {
    return pageSize;
}

uint32_t PhysMemInterfaceImpPosix::GetHugePageSize() const {
    return hugePageSize;
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
        buffer = new PhysMemBuffer(bytes, hugePageSize);
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
