// The io_uring mechanism. The I/O thread owns the ring: it alone prepares and submits entries and
// reaps completions. Other threads wake it through an eventfd that the ring always has a read pending
// on, so they never touch the ring. Prepared entries go to the kernel with the next Flush or Wait, so
// a pass that issues several operations and then waits makes one system call.
#include <liburing.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "OSServices/Linux/IOMechanismLinux.h"

namespace Tarvos {

namespace {

constexpr unsigned kRingEntries = 256;  // 61 operations, as many cancellations and the wake read fit
constexpr uint64_t kWakeTag = IOMechanism::kReservedTags + 1;
constexpr uint64_t kCancelTag = IOMechanism::kReservedTags + 2;

std::string Describe(const char* call, int error) {
    return std::string(call) + ": " + std::strerror(error);
}

class IOMechanismUring final : public IOMechanism {
  public:
    IOMechanismUring() = default;
    ~IOMechanismUring() override {
        if (ringReady) {
            io_uring_queue_exit(&ring);
        }
        if (eventFd >= 0) {
            ::close(eventFd);
        }
    }

    bool Init(std::string* reason) {
        const int result = io_uring_queue_init(kRingEntries, &ring, 0);
        if (result < 0) {
            *reason = Describe("io_uring_queue_init", -result);
            return false;
        }
        ringReady = true;
        struct io_uring_probe* probe = io_uring_get_probe_ring(&ring);
        if (probe == nullptr) {
            *reason = "io_uring_get_probe_ring: the kernel cannot list its io_uring operations";
            return false;
        }
        const bool supported = io_uring_opcode_supported(probe, IORING_OP_READ) &&
                               io_uring_opcode_supported(probe, IORING_OP_WRITE) &&
                               io_uring_opcode_supported(probe, IORING_OP_READV) &&
                               io_uring_opcode_supported(probe, IORING_OP_WRITEV) &&
                               io_uring_opcode_supported(probe, IORING_OP_ASYNC_CANCEL);
        io_uring_free_probe(probe);
        if (!supported) {
            *reason = "io_uring lacks read, write, readv, writev or async cancel";
            return false;
        }
        // Blocking on purpose: a non-blocking eventfd would make the ring's read fail with EAGAIN
        // instead of waiting for the next wake.
        eventFd = ::eventfd(0, EFD_CLOEXEC);
        if (eventFd < 0) {
            *reason = Describe("eventfd", errno);
            return false;
        }
        if (!ArmWakeRead()) {
            *reason = "io_uring: cannot queue the wake read";
            return false;
        }
        SubmitPending();
        *reason = "io_uring available";
        return true;
    }

    const char* GetName() override { return "uring"; }
    uint32_t GetMaxRuns() override { return IOV_MAX; }

    int Submit(const IOOperation& operation) override {
        struct io_uring_sqe* entry = GetEntry();
        if (entry == nullptr) {
            return -EBUSY;
        }
        const struct iovec* vecs = AsIOVecs(operation.runs);
        const IOFileHandle fd = operation.file;
        if (operation.runCount == 1) {
            if (operation.write) {
                io_uring_prep_write(entry, static_cast<int>(fd), vecs[0].iov_base,
                                    static_cast<unsigned>(vecs[0].iov_len), operation.offset);
            } else {
                io_uring_prep_read(entry, static_cast<int>(fd), vecs[0].iov_base,
                                   static_cast<unsigned>(vecs[0].iov_len), operation.offset);
            }
        } else if (operation.write) {
            io_uring_prep_writev(entry, static_cast<int>(fd), vecs, operation.runCount, operation.offset);
        } else {
            io_uring_prep_readv(entry, static_cast<int>(fd), vecs, operation.runCount, operation.offset);
        }
        io_uring_sqe_set_data64(entry, operation.tag);
        // Handed over by the next Flush or Wait; an entry the kernel refuses for now stays in the ring
        // and goes with the one after, so the operation is started either way and will be reported.
        return 0;
    }

    void RequestCancel(uint64_t tag) override {
        struct io_uring_sqe* entry = GetEntry();
        if (entry == nullptr) {
            return;
        }
        io_uring_prep_cancel64(entry, tag, 0);
        io_uring_sqe_set_data64(entry, kCancelTag);
    }

    void Flush() override {
        if (io_uring_sq_ready(&ring) > 0) {
            SubmitPending();
        }
    }

    bool Wait(uint32_t timeoutMs, std::vector<IOCompletion>* out) override {
        struct __kernel_timespec timeout = {};
        timeout.tv_sec = timeoutMs / 1000;
        timeout.tv_nsec = static_cast<long long>(timeoutMs % 1000) * 1000000;
        struct io_uring_cqe* completion = nullptr;
        const int waited = io_uring_submit_and_wait_timeout(
            &ring, &completion, 1, timeoutMs == kWaitForever ? nullptr : &timeout, nullptr);
        if (waited < 0 && waited != -ETIME && waited != -EINTR && waited != -EAGAIN && waited != -EBUSY) {
            return false;
        }
        bool rearm = false;
        unsigned seen = 0;
        unsigned head = 0;
        io_uring_for_each_cqe(&ring, head, completion) {
            ++seen;
            const uint64_t tag = io_uring_cqe_get_data64(completion);
            if (tag == kWakeTag) {
                rearm = true;
            } else if (tag < kReservedTags) {
                out->push_back(IOCompletion{tag, completion->res});
            }
        }
        io_uring_cq_advance(&ring, seen);
        if (rearm && !ArmWakeRead()) {
            return false;
        }
        return true;
    }

    void Wake() override {
        const uint64_t one = 1;
        while (::write(eventFd, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
    }

  private:
    struct io_uring_sqe* GetEntry() {
        struct io_uring_sqe* entry = io_uring_get_sqe(&ring);
        if (entry == nullptr) {
            SubmitPending();
            entry = io_uring_get_sqe(&ring);
        }
        return entry;
    }

    void SubmitPending() {
        while (io_uring_submit(&ring) == -EINTR) {
        }
    }

    bool ArmWakeRead() {
        struct io_uring_sqe* entry = GetEntry();
        if (entry == nullptr) {
            return false;
        }
        io_uring_prep_read(entry, eventFd, &wakeValue, sizeof(wakeValue), 0);
        io_uring_sqe_set_data64(entry, kWakeTag);
        return true;
    }

    struct io_uring ring = {};
    bool ringReady = false;
    int eventFd = -1;
    uint64_t wakeValue = 0;  // written by the kernel's eventfd read; only its completion matters
};

}  // namespace

std::unique_ptr<IOMechanism> NewIOMechanismUring(std::string* reason) {
    auto mechanism = std::make_unique<IOMechanismUring>();
    if (!mechanism->Init(reason)) {
        return nullptr;
    }
    return mechanism;
}

}  // namespace Tarvos
