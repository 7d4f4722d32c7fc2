// A transaction status callback that records every call (count, last result and byte count) and can
// be waited on from another thread with a bound.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

#include "Support/Waiting.h"
#include "Tarvos/CacheTransaction.h"

namespace TarvosTest {

class RecordingStatusCallback : public Tarvos::CacheTransaction::StatusCallback {
  public:
    void Callback(Tarvos::CacheSource::Result_t result, Tarvos::CacheTransaction*, uint32_t bytes) override {
        std::lock_guard<std::mutex> guard(mutex);
        lastResult = result;
        lastBytes = bytes;
        ++calls;
    }

    int Calls() const { return calls.load(); }
    Tarvos::CacheSource::Result_t LastResult() {
        std::lock_guard<std::mutex> guard(mutex);
        return lastResult;
    }
    uint32_t LastBytes() {
        std::lock_guard<std::mutex> guard(mutex);
        return lastBytes;
    }
    bool WaitForCalls(int count, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
        return WaitUntil([&] { return calls.load() >= count; }, limit);
    }

  protected:
    ~RecordingStatusCallback() override = default;

  private:
    std::mutex mutex;
    std::atomic<int> calls{0};
    Tarvos::CacheSource::Result_t lastResult = Tarvos::CacheSource::kResultNone;
    uint32_t lastBytes = 0;
};

}  // namespace TarvosTest
