// The portable mechanism: worker threads (a few, more while operations block) run positioned vectored
// transfers (preadv/pwritev; readv/writev on streams such as pipes, which have no position) and hand each
// result to the I/O thread through a completion list and a semaphore. Every operation works on its own
// duplicate of the descriptor, so a descriptor closed and reused after cancellation never receives an
// operation meant for the old file. A cancelled operation that no worker has taken yet is reported at once
// with -ECANCELED; one already running is reported when its system call returns.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>

#include "CoreClasses/MTCritSecHold.h"
#include "OSServices/Linux/IOMechanismLinux.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {

constexpr uint32_t kInitialWorkers = 2;
// The engine never has more operations outstanding than it has slots; one worker each is the most
// that can be needed, even when every operation blocks (reads of an idle pipe).
constexpr uint32_t kMaximumWorkers = 64;
constexpr uint32_t kSemaphoreMaximum = 0x7FFFFFFF;

class IOMechanismThreads;

class Worker final : public MTThreadBody {
  public:
    explicit Worker(IOMechanismThreads* owner) : owner(owner) {}
    void RunBody(MTThread* thread) override;
    void TerminateBody() override;

  private:
    IOMechanismThreads* owner;
};

class IOMechanismThreads final : public IOMechanism {
  public:
    struct Pending {
        IOOperation operation;
        int fd;  // this operation's own duplicate of operation.file; closed when it ends
    };

    IOMechanismThreads() = default;

    ~IOMechanismThreads() override {
        {
            MTCritSecHold hold(lock);
            stopping = true;
        }
        if (workReady != nullptr) {
            workReady->Signal(static_cast<uint32_t>(threads.size()));
        }
        for (MTThread* thread : threads) {
            delete thread;
        }
        for (Pending& pending : queue) {
            ::close(pending.fd);
        }
        delete workReady;
        delete completionReady;
        delete lock;
    }

    bool Init(std::string* reason) {
        lock = MTInterface::NewCritSec();
        workReady = MTInterface::NewSemaphore(kSemaphoreMaximum, 0);
        completionReady = MTInterface::NewSemaphore(kSemaphoreMaximum, 0);
        if (lock == nullptr || workReady == nullptr || completionReady == nullptr) {
            *reason = "worker threads: cannot create their lock or semaphores";
            return false;
        }
        workers.reserve(kMaximumWorkers);
        threads.reserve(kMaximumWorkers);
        for (uint32_t i = 0; i < kInitialWorkers; ++i) {
            if (!StartWorker()) {
                *reason = "worker threads: cannot start them";
                return false;
            }
        }
        return true;
    }

    // I/O thread (or Init) only: the worker list changes nowhere else.
    bool StartWorker() {
        workers.push_back(std::make_unique<Worker>(this));
        MTThread* thread = nullptr;
        try {
            thread = MTInterface::NewThread(workers.back().get(), MTThread::kMTPriorityTimeCritical,
                                            MTThread::kProcessorAny);
        } catch (const char*) {
            thread = nullptr;
        }
        if (thread == nullptr) {
            workers.pop_back();
            return false;
        }
        threads.push_back(thread);
        return true;
    }

    const char* GetName() override { return "threads"; }
    uint32_t GetMaxRuns() override { return IOV_MAX; }

    int Submit(const IOOperation& operation) override {
        const int copy = ::fcntl(static_cast<int>(operation.file), F_DUPFD_CLOEXEC, 0);
        if (copy < 0) {
            return -errno;
        }
        bool needWorker = false;
        {
            MTCritSecHold hold(lock);
            queue.push_back(Pending{operation, copy});
            // A worker blocked for good (an idle pipe) must not hold up everything queued behind it:
            // there is a worker for every operation outstanding.
            needWorker = queue.size() + running > threads.size();
        }
        if (needWorker && threads.size() < kMaximumWorkers) {
            StartWorker();
        }
        workReady->Signal(1);
        return 0;
    }

    void RequestCancel(uint64_t tag) override {
        bool found = false;
        {
            MTCritSecHold hold(lock);
            for (auto it = queue.begin(); it != queue.end(); ++it) {
                if (it->operation.tag == tag) {
                    ::close(it->fd);
                    queue.erase(it);
                    completions.push_back(IOCompletion{tag, -ECANCELED});
                    found = true;
                    break;
                }
            }
        }
        if (found) {
            completionReady->Signal(1);
        }
    }

    bool Wait(uint32_t timeoutMs, std::vector<IOCompletion>* out) override {
        completionReady->Wait(timeoutMs == kWaitForever ? MTSemaphore::kInfinite : timeoutMs, 1);
        MTCritSecHold hold(lock);
        out->insert(out->end(), completions.begin(), completions.end());
        completions.clear();
        return true;
    }

    void Wake() override { completionReady->Signal(1); }

    // Worker side: the next operation, or false when the mechanism stops.
    bool Take(Pending* next, MTThread* thread) {
        while (true) {
            workReady->Wait(MTSemaphore::kInfinite, 1);
            MTCritSecHold hold(lock);
            if (stopping || thread->IsTerminating()) {
                return false;
            }
            if (!queue.empty()) {
                *next = queue.front();
                queue.pop_front();
                ++running;
                return true;
            }
        }
    }

    void Report(uint64_t tag, int64_t result) {
        {
            MTCritSecHold hold(lock);
            completions.push_back(IOCompletion{tag, result});
            --running;
        }
        completionReady->Signal(1);
    }

    void WakeWorkers() { workReady->Signal(1); }

  private:
    MTCritSec* lock = nullptr;  // guards queue, completions, running and stopping; nothing taken inside
    std::deque<Pending> queue;
    size_t running = 0;  // operations a worker has taken and not yet reported
    std::vector<IOCompletion> completions;
    bool stopping = false;
    MTSemaphore* workReady = nullptr;        // one unit per queued operation, more to stop the workers
    MTSemaphore* completionReady = nullptr;  // one unit per reported completion or Wake
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<MTThread*> threads;  // owned
};

int64_t Transfer(const IOOperation& operation, int fd) {
    const auto offset = static_cast<off_t>(operation.offset);
    const int count = static_cast<int>(operation.runCount);
    ssize_t done = 0;
    do {
        done = operation.write ? ::pwritev(fd, AsIOVecs(operation.runs), count, offset)
                               : ::preadv(fd, AsIOVecs(operation.runs), count, offset);
    } while (done < 0 && errno == EINTR);
    if (done < 0 && errno == ESPIPE) {
        do {
            done = operation.write ? ::writev(fd, AsIOVecs(operation.runs), count)
                                   : ::readv(fd, AsIOVecs(operation.runs), count);
        } while (done < 0 && errno == EINTR);
    }
    return done < 0 ? -int64_t{errno} : int64_t{done};
}

void Worker::RunBody(MTThread* thread) {
    IOMechanismThreads::Pending pending{};
    while (owner->Take(&pending, thread)) {
        const int64_t result = Transfer(pending.operation, pending.fd);
        ::close(pending.fd);
        owner->Report(pending.operation.tag, result);
    }
}

void Worker::TerminateBody() {
    owner->WakeWorkers();
}

}  // namespace

std::unique_ptr<IOMechanism> NewIOMechanismThreads(std::string* reason) {
    auto mechanism = std::make_unique<IOMechanismThreads>();
    if (!mechanism->Init(reason)) {
        return nullptr;
    }
    return mechanism;
}

}  // namespace Tarvos
