// Linux's I/O mechanisms: io_uring, and worker threads running preadv/pwritev where io_uring cannot
// run (an old kernel, a seccomp filter, kernel.io_uring_disabled).
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <memory>
#include <string>

#include "OSServices/IOMechanism.h"

namespace Tarvos {

// The runs are handed to the kernel as iovecs.
static_assert(sizeof(IORun) == sizeof(struct iovec) &&
                  offsetof(IORun, base) == offsetof(struct iovec, iov_base) &&
                  offsetof(IORun, length) == offsetof(struct iovec, iov_len),
              "IORun must be laid out like struct iovec");

inline const struct iovec* AsIOVecs(const IORun* runs) {
    return reinterpret_cast<const struct iovec*>(runs);
}

// The io_uring mechanism, or null with the reason it cannot run.
std::unique_ptr<IOMechanism> NewIOMechanismUring(std::string* reason);
// The worker-thread mechanism (preadv/pwritev on a small pool), or null with the reason.
std::unique_ptr<IOMechanism> NewIOMechanismThreads(std::string* reason);

using IOMechanismMaker = std::unique_ptr<IOMechanism> (*)(std::string* reason);
// NewIOMechanismFor with the io_uring mechanism made by makeUring: "threads" or "uring" force one (a
// forced io_uring that cannot run falls back to threads, saying so in reason); anything else tries
// io_uring first.
std::unique_ptr<IOMechanism> NewIOMechanismChoosing(const char* setting, std::string* reason,
                                                    IOMechanismMaker makeUring);

}  // namespace Tarvos
