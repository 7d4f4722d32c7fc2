// A whole-page memory implementation for tests: forwards to the platform's, but refuses any single
// allocation larger than a limit and, on request, the Nth allocation; records every size asked for and
// counts the chunks it handed out that are still alive. Safe to use from several threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "PlatformImps.h"
#include "Tarvos/Buffer.h"

namespace TarvosTest {

class LimitingPhysMemImp : public Tarvos::PhysMemInterfaceImp {
  public:
    explicit LimitingPhysMemImp(uint32_t largestAllocation = UINT32_MAX, uint32_t failingAllocation = 0)
        : largestAllocation(largestAllocation), failingAllocation(failingAllocation) {}
    ~LimitingPhysMemImp() override = default;

    Tarvos::Buffer* Allocate(uint32_t size) override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            requests.push_back(size);
            if (size > largestAllocation || requests.size() == failingAllocation) {
                return nullptr;
            }
        }
        Tarvos::Buffer* mapping = platform.Allocate(size);
        if (mapping == nullptr) {
            return nullptr;
        }
        // The chunk handed out is a window over the whole mapping that holds the mapping alive.
        auto* chunk = new Chunk(mapping, &liveChunks);
        mapping->DecRef("tests/Support/LimitingPhysMemImp", "TarvosTest::LimitingPhysMemImp::Allocate",
                        __LINE__);
        return chunk;
    }
    uint32_t GetPageSize() override { return platform.GetPageSize(); }

    std::vector<uint32_t> Requests() {
        std::lock_guard<std::mutex> hold(mutex);
        return requests;
    }
    int LiveChunks() const { return liveChunks.load(); }

  private:
    class Chunk : public Tarvos::BufferPartOfBuffer {
      public:
        Chunk(Tarvos::Buffer* mapping, std::atomic<int>* live)
            : BufferPartOfBuffer(mapping->GetAddress(), mapping->GetSize(), mapping), live(live) {
            ++*live;
        }

      protected:
        ~Chunk() override { --*live; }

      private:
        std::atomic<int>* live;
    };

    PlatformPhysMemInterfaceImp platform;
    uint32_t largestAllocation;
    uint32_t failingAllocation;  // 1-based; 0 fails none
    std::mutex mutex;            // guards the record of requests
    std::vector<uint32_t> requests;
    std::atomic<int> liveChunks{0};
};

}  // namespace TarvosTest
