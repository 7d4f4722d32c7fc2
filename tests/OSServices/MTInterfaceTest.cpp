#include "Tarvos/MTInterface.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "Support/Waiting.h"

using namespace Tarvos;

namespace {

uint32_t ElapsedMs(uint64_t startMicro) {
    return static_cast<uint32_t>((MTInterface::GetCurrentTimeMicro() - startMicro) / 1000);
}

TEST(MTSemaphoreTest, TimesOutSignalsAndRespectsMaximum) {
    std::unique_ptr<MTSemaphore> semaphore(MTInterface::NewSemaphore(1, 0));
    ASSERT_NE(semaphore, nullptr);
    uint64_t start = MTInterface::GetCurrentTimeMicro();
    EXPECT_FALSE(semaphore->Wait(50, 1));
    EXPECT_GE(ElapsedMs(start), 45u);

    EXPECT_TRUE(semaphore->Signal(1));
    EXPECT_FALSE(semaphore->Signal(1)) << "a second unit passes the maximum of 1";
    start = MTInterface::GetCurrentTimeMicro();
    EXPECT_TRUE(semaphore->Wait(50, 1));
    EXPECT_LT(ElapsedMs(start), 40u);
    EXPECT_FALSE(semaphore->Wait(0, 1)) << "the failed signal must not have released a unit";
}

TEST(MTSemaphoreTest, SplitTimeoutKeepsUnitsAlreadyTaken) {
    std::unique_ptr<MTSemaphore> semaphore(MTInterface::NewSemaphore(10, 2));
    const uint64_t start = MTInterface::GetCurrentTimeMicro();
    EXPECT_FALSE(semaphore->Wait(100, 4));
    const uint32_t elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 20u) << "the third unit waits 100 / 4 ms";
    EXPECT_LT(elapsed, 90u) << "the timeout applies per unit, not to the whole wait";
    EXPECT_FALSE(semaphore->Wait(0, 1)) << "the two units taken are not given back";
}

TEST(MTSemaphoreTest, ZeroUnitsAndSignalsFromOtherThreads) {
    std::unique_ptr<MTSemaphore> semaphore(MTInterface::NewSemaphore(100, 0));
    EXPECT_TRUE(semaphore->Wait(0, 0));
    EXPECT_TRUE(semaphore->Wait(MTSemaphore::kInfinite, 0));
    EXPECT_FALSE(semaphore->Signal(101));
    EXPECT_TRUE(semaphore->Signal(100));
    EXPECT_TRUE(semaphore->Wait(0, 100));

    std::vector<std::thread> signallers;
    for (int i = 0; i < 4; ++i) {
        signallers.emplace_back([&] {
            for (int n = 0; n < 250; ++n) {
                while (!semaphore->Signal(1)) {
                    std::this_thread::yield();
                }
            }
        });
    }
    EXPECT_TRUE(semaphore->Wait(MTSemaphore::kInfinite, 1000));
    for (auto& t : signallers) {
        t.join();
    }
    EXPECT_FALSE(semaphore->Wait(0, 1));
}

TEST(MTAtomicTest, CounterOperations) {
    std::unique_ptr<MTAtomicUnsigned32> counter(MTInterface::NewAtomicUnsigned32(5));
    EXPECT_TRUE(counter->CompareExchange(5, 9));
    EXPECT_EQ(counter->Get(), 9u);
    EXPECT_FALSE(counter->CompareExchange(5, 1));
    EXPECT_EQ(counter->Get(), 9u);
    EXPECT_EQ(counter->Increment(), 10u);
    EXPECT_EQ(counter->Decrement(), 9u);

    std::unique_ptr<MTAtomicUnsigned32> wrap(MTInterface::NewAtomicUnsigned32(0));
    EXPECT_EQ(wrap->Decrement(), 0xFFFFFFFFu);
    EXPECT_EQ(wrap->Increment(), 0u);
}

TEST(MTAtomicTest, ConcurrentIncrementsAreNotLost) {
    std::unique_ptr<MTAtomicUnsigned32> counter(MTInterface::NewAtomicUnsigned32(0));
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int n = 0; n < 20000; ++n) {
                counter->Increment();
                uint32_t seen = counter->Get();
                while (!counter->CompareExchange(seen, seen + 1)) {
                    seen = counter->Get();
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter->Get(), 160000u);
}

TEST(MTAtomicTest, PointerCompareExchange) {
    int a = 0, b = 0;
    std::unique_ptr<MTAtomicPointer> pointer(MTInterface::NewAtomicPointer(&a));
    ASSERT_NE(pointer, nullptr);
    EXPECT_EQ(pointer->Get(), &a);
    EXPECT_FALSE(pointer->CompareExchange(&b, nullptr));
    EXPECT_TRUE(pointer->CompareExchange(&a, &b));
    EXPECT_EQ(pointer->Get(), &b);
}

TEST(MTCritSecTest, ReentrantAndExclusiveAcrossThreads) {
    std::unique_ptr<MTCritSec> lock(MTInterface::NewCritSec());
    lock->Enter();
    lock->Enter();
    std::atomic<bool> entered{false};
    std::thread other([&] {
        lock->Enter();
        entered = true;
        lock->Leave();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());
    lock->Leave();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load()) << "one Leave of two must keep the lock";
    lock->Leave();
    other.join();
    EXPECT_TRUE(entered.load());
}

TEST(MTClockTest, MilliIsMicroDividedBy1000) {
    for (int i = 0; i < 100; ++i) {
        const uint64_t before = MTInterface::GetCurrentTimeMicro();
        const uint32_t milli = MTInterface::GetCurrentTimeMilli();
        const uint64_t after = MTInterface::GetCurrentTimeMicro();
        EXPECT_GE(milli, static_cast<uint32_t>(before / 1000));
        EXPECT_LE(milli, static_cast<uint32_t>(after / 1000));
    }
    const uint64_t start = MTInterface::GetCurrentTimeMicro();
    MTInterface::Sleep(30);
    EXPECT_GE(ElapsedMs(start), 28u);
}

TEST(MTUniqueIdTest, DistinctNonZeroAndConsecutive) {
    const uint32_t first = MTInterface::GetProcessUniqueID();
    const uint32_t second = MTInterface::GetProcessUniqueID();
    EXPECT_NE(first, MTInterface::kInvalidUniqueID);
    EXPECT_EQ(second, first + 1);

    std::vector<std::vector<uint32_t>> seen(4);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < 5000; ++n) {
                seen[i].push_back(MTInterface::GetProcessUniqueID());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::set<uint32_t> all;
    for (auto& ids : seen) {
        all.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(all.size(), 20000u);
    EXPECT_EQ(all.count(0), 0u);
}

TEST(MTInterfaceTest, ReportsProcessorsAndThreadIds) {
    EXPECT_GE(MTInterface::GetCPUCount(), 1u);
    const uint32_t mine = MTInterface::GetCurrentThreadID();
    uint32_t theirs = mine;
    std::thread([&] { theirs = MTInterface::GetCurrentThreadID(); }).join();
    EXPECT_NE(mine, theirs);
}

}  // namespace
