// A whole-page memory implementation for tests: forwards to the platform's, but refuses any single
// allocation larger than a limit and, on request, the Nth allocation; records every size asked for and
// counts the chunks it handed out that are still alive. Safe to use from several threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>
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
            if (size > largestAllocation) {
                return nullptr;
            }
            if (armedThread != std::thread::id{} && std::this_thread::get_id() == armedThread) {
                ++armedRequests;
                if (failingAllocation != 0 && (armedRequests == failingAllocation ||
                                               (failPersistently && armedRequests > failingAllocation))) {
                    fired = true;
                    return nullptr;
                }
            } else if (armedThread == std::thread::id{} && requests.size() == failingAllocation) {
                return nullptr;
            }
        }
        Tarvos::Buffer* mapping = platform.Allocate(size);
        if (mapping == nullptr) {
            return nullptr;
        }
        // The chunk handed out is a window over the whole mapping that holds the mapping alive.
        Chunk* chunk = nullptr;
        try {
            chunk = new Chunk(mapping, &liveChunks);
        } catch (const std::bad_alloc&) {
            chunk = nullptr;
        }
        mapping->DecRef("tests/Support/LimitingPhysMemImp", "TarvosTest::LimitingPhysMemImp::Allocate",
                        __LINE__);
        return chunk;
    }
    uint32_t GetPageSize() override { return platform.GetPageSize(); }

    // Fails the nth allocation from now (1-based) made on the calling thread, and with persistent every
    // one after it too; nth 0 fails none. Fired tells whether an armed failure has been handed out since.
    void Arm(uint32_t nth, bool persistent) {
        std::lock_guard<std::mutex> hold(mutex);
        armedThread = std::this_thread::get_id();
        armedRequests = 0;
        failingAllocation = nth;
        failPersistently = persistent;
        fired = false;
    }
    // Stops failing; Fired keeps its answer.
    void Disarm() {
        std::lock_guard<std::mutex> hold(mutex);
        failingAllocation = 0;
    }
    bool Fired() {
        std::lock_guard<std::mutex> hold(mutex);
        return fired;
    }

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
    std::mutex mutex;            // guards the record of requests and the failure settings
    uint32_t failingAllocation;  // 1-based index into requests; 0 fails none
    bool failPersistently = false;
    std::thread::id armedThread;  // set by Arm; until then failingAllocation counts every request
    uint32_t armedRequests = 0;
    bool fired = false;
    std::vector<uint32_t> requests;
    std::atomic<int> liveChunks{0};
};

}  // namespace TarvosTest
