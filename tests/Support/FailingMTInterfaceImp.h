// A threading implementation for tests: forwards to the platform's, but once armed makes the Nth
// object creation from then on (critical section, semaphore, counter or thread, counted together)
// made on the arming thread come back null, and with persistent every creation after it too, until
// disarmed. Creations on other threads are never failed.
#pragma once

#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "OSServices/Linux/MTInterfaceImpPosix.h"

namespace TarvosTest {

class FailingMTInterfaceImp : public Tarvos::MTInterfaceImpPosix {
  public:
    // Fails the nth creation from now (1-based); nth 0 disarms.
    void Arm(uint32_t nth, bool persistent) {
        armedThread = std::this_thread::get_id();
        failed = false;
        this->persistent = persistent;
        countdown = nth;
    }
    void Disarm() { countdown = 0; }
    // Whether an armed failure has been handed out since Arm.
    bool Fired() const { return failed.load(); }

    Tarvos::MTCritSec* NewCritSec() override { return Fail() ? nullptr : MTInterfaceImpPosix::NewCritSec(); }
    Tarvos::MTSemaphore* NewSemaphore(uint32_t maximumCount, uint32_t initialCount) override {
        return Fail() ? nullptr : MTInterfaceImpPosix::NewSemaphore(maximumCount, initialCount);
    }
    Tarvos::MTAtomicUnsigned32* NewAtomicUnsigned32(uint32_t initial) override {
        return Fail() ? nullptr : MTInterfaceImpPosix::NewAtomicUnsigned32(initial);
    }
    Tarvos::MTThread* NewThread(Tarvos::MTThreadBody* body, Tarvos::MTThread::MTPriority priority,
                                uint64_t affinity) override {
        return Fail() ? nullptr : MTInterfaceImpPosix::NewThread(body, priority, affinity);
    }

  private:
    // With TARVOS_TEST_TRACE_FAILURES set, where each failure was handed out goes to stderr.
    static void Trace() {
        if (std::getenv("TARVOS_TEST_TRACE_FAILURES") != nullptr) {
            static const char kMark[] = "--- allocation failure\n";
            (void)!::write(2, kMark, sizeof(kMark) - 1);
            void* frames[24];
            backtrace_symbols_fd(frames, backtrace(frames, 24), 2);
        }
    }
    bool Fail() {
        const bool fail = Decide();
        if (fail) {
            Trace();
        }
        return fail;
    }
    bool Decide() {
        if (std::this_thread::get_id() != armedThread.load()) {
            return false;
        }
        uint32_t left = countdown.load();
        while (left != 0) {
            if (left == 1 && persistent.load()) {
                failed = true;
                return true;  // stays at 1: every later creation fails too
            }
            if (countdown.compare_exchange_weak(left, left - 1)) {
                if (left == 1) {
                    failed = true;
                    return true;
                }
                return false;
            }
        }
        return false;
    }

    std::atomic<std::thread::id> armedThread{};
    std::atomic<uint32_t> countdown{0};
    std::atomic<bool> persistent{false};
    std::atomic<bool> failed{false};
};

}  // namespace TarvosTest
