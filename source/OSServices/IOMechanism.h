// The operating-system half of the I/O engine: positioned transfers started on the engine's I/O thread
// and reported back to it as completions carrying the tag they were started with. Every operation that
// Submit accepted is reported exactly once, cancelled or not, and only after the system no longer
// touches its memory; RequestCancel only hurries that report along. Submit and RequestCancel may only
// prepare their work and leave it to the next Flush or Wait to hand to the system, so that one system
// call carries a batch. Submit, RequestCancel, Flush and Wait are called on the I/O thread only; Wake
// may be called on any thread and never touches the state the I/O thread works on. Each platform folder
// supplies its mechanisms (io_uring and worker threads on Linux, overlapped I/O on Windows) and the two
// functions at the end; a fault-injecting wrapper built into the tests can stand in for any of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Tarvos {

// A file descriptor on Linux, a HANDLE on Windows.
using IOFileHandle = intptr_t;

// One run of contiguous memory; laid out like the Linux struct iovec, which the Linux mechanisms rely on.
struct IORun {
    void* base;
    size_t length;
};

struct IOOperation {
    IOFileHandle file;
    bool write;
    uint64_t offset;        // at most INT64_MAX; ignored by streams such as pipes
    uint32_t size;          // the sum of the runs' lengths
    const IORun* runs;      // valid until the operation is reported
    uint32_t runCount;      // 1 means a plain read or write
    const uint64_t* pages;  // the same memory one page-aligned address per page, closed by 0
    uint64_t tag;           // below kReservedTags
};

struct IOCompletion {
    uint64_t tag;
    int64_t result;  // bytes transferred, or minus the operating-system error
};

// How the engine treats a failed transfer's operating-system error.
enum IOErrorKind_t : uint32_t {
    kIOErrorOther = 0,      // the request fails
    kIOErrorTransient = 1,  // nothing was transferred and the cause passes (a signal): issue it again
    kIOErrorEndOfFile = 2,  // the system's own way of saying a read began at or past the end
};

class IOMechanism {
  public:
    // Tags from here up belong to the mechanisms themselves.
    static constexpr uint64_t kReservedTags = 0xFFFFFFFFFFFFFF00ull;
    static constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

    virtual ~IOMechanism();
    virtual const char* GetName() = 0;
    // The most runs one operation may have; a list needing more is refused before it is queued.
    virtual uint32_t GetMaxRuns() = 0;
    // 0 when started (the completion follows through Wait), or minus the operating-system error when
    // the operation was not started and will never be reported.
    virtual int Submit(const IOOperation& operation) = 0;
    // Asks that the operation with tag end early; harmless when it already ended.
    virtual void RequestCancel(uint64_t tag) = 0;
    // Hands the system whatever Submit and RequestCancel prepared. The engine calls it before anybody
    // can learn that an operation ended, since a file closed then may give its descriptor to another
    // file while an operation on it still waits to be handed over.
    virtual void Flush() {}
    // Appends the completions that are ready to out, waiting up to timeoutMs for at least one unless a
    // Wake came since the last Wait. Returns false when the mechanism can no longer wait.
    virtual bool Wait(uint32_t timeoutMs, std::vector<IOCompletion>* out) = 0;
    // Makes the current or next Wait return; any thread.
    virtual void Wake() = 0;
};

// The mechanism that setting (the value of TARVOS_IO_BACKEND, or null) asks for, else the platform's
// preferred one; reason receives why the returned mechanism runs. Null only when none can run.
std::unique_ptr<IOMechanism> NewIOMechanismFor(const char* setting, std::string* reason);
// What a completion's operating-system error means to the engine on this platform.
IOErrorKind_t ClassifyIOError(int32_t error);

}  // namespace Tarvos
