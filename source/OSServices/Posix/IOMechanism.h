// The operating-system half of the I/O engine: positioned transfers started on the engine's I/O thread
// and reported back to it as completions carrying the tag they were started with. Every operation that
// Submit accepted is reported exactly once, cancelled or not, and only after the kernel no longer
// touches its memory; RequestCancel only hurries that report along (-ECANCELED when it worked).
// Submit, RequestCancel and Wait are called on the I/O thread only; Wake may be called on any thread
// and never touches the state the I/O thread works on. A fault-injecting wrapper can stand in for it.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Tarvos {

struct IOOperation {
    int fd;
    bool write;
    uint64_t offset;             // at most INT64_MAX; ignored by streams such as pipes
    const struct iovec* ioVecs;  // valid until the operation is reported
    uint32_t ioVecCount;         // 1 means a plain read or write
    uint64_t tag;                // below kReservedTags
};

struct IOCompletion {
    uint64_t tag;
    int64_t result;  // bytes transferred, or -errno
};

class IOMechanism {
  public:
    // Tags from here up belong to the mechanisms themselves.
    static constexpr uint64_t kReservedTags = 0xFFFFFFFFFFFFFF00ull;
    static constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

    virtual ~IOMechanism();
    virtual const char* GetName() = 0;
    // 0 when started (the completion follows through Wait), or -errno when the operation was not
    // started and will never be reported.
    virtual int Submit(const IOOperation& operation) = 0;
    // Asks that the operation with tag end early; harmless when it already ended.
    virtual void RequestCancel(uint64_t tag) = 0;
    // Appends the completions that are ready to out, waiting up to timeoutMs for at least one unless a
    // Wake came since the last Wait. Returns false when the mechanism can no longer wait.
    virtual bool Wait(uint32_t timeoutMs, std::vector<IOCompletion>* out) = 0;
    // Makes the current or next Wait return; any thread.
    virtual void Wake() = 0;
};

// The io_uring mechanism, or null with the reason it cannot run.
std::unique_ptr<IOMechanism> NewIOMechanismUring(std::string* reason);
// The worker-thread mechanism (preadv/pwritev on a small pool), or null with the reason.
std::unique_ptr<IOMechanism> NewIOMechanismThreads(std::string* reason);
// The mechanism that setting (the value of TARVOS_IO_BACKEND, or null) asks for: "threads" or "uring"
// force one (a forced io_uring that cannot run falls back to threads, saying so in reason); anything
// else tries io_uring first. reason receives why the returned mechanism runs; null only when neither
// can run.
std::unique_ptr<IOMechanism> NewIOMechanismFor(const char* setting, std::string* reason);

}  // namespace Tarvos
