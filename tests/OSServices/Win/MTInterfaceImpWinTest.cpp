#include "OSServices/Win/MTInterfaceImpWin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "OSServices/Win/WinHeaders.h"
#include "Tarvos/MTInterface.h"

using namespace Tarvos;

namespace {

constexpr int kNotRun = -1000;

class PriorityProbe : public MTThreadBody {
  public:
    void RunBody(MTThread*) override {
        priority = GetThreadPriority(GetCurrentThread());
        threadId = GetCurrentThreadId();
    }
    std::atomic<int> priority{kNotRun};
    std::atomic<DWORD> threadId{0};
};

int PriorityOfThreadWith(MTThread::MTPriority priority, uint64_t affinity = MTThread::kProcessorAny) {
    PriorityProbe probe;
    std::unique_ptr<MTThread> thread(MTInterface::NewThread(&probe, priority, affinity));
    EXPECT_NE(thread, nullptr);
    EXPECT_TRUE(thread->Terminate(10000));
    return probe.priority.load();
}

TEST(MTInterfaceImpWinTest, PrioritiesMapOntoTheWindowsTable) {
    EXPECT_EQ(MTInterfaceImpWin::WindowsPriorityFor(MTThread::kMTPriorityTimeCritical), 15);
    EXPECT_EQ(MTInterfaceImpWin::WindowsPriorityFor(MTThread::kMTPriorityHigh), 2);
    EXPECT_EQ(MTInterfaceImpWin::WindowsPriorityFor(MTThread::kMTPriorityAboveNormal), 1);
    EXPECT_EQ(MTInterfaceImpWin::WindowsPriorityFor(MTThread::kMTPriorityNormal), 0);
    EXPECT_EQ(MTInterfaceImpWin::WindowsPriorityFor(MTThread::kMTPriorityBelowNormal), -1);
    EXPECT_EQ(MTInterfaceImpWin::WindowsPriorityFor(MTThread::kMTPriorityLow), -2);
    EXPECT_EQ(MTInterfaceImpWin::WindowsPriorityFor(static_cast<MTThread::MTPriority>(5)), 0);
    EXPECT_EQ(MTInterfaceImpWin::WindowsPriorityFor(static_cast<MTThread::MTPriority>(-1000)), 0);
}

TEST(MTInterfaceImpWinTest, TheBodyRunsAtThePriorityAskedFor) {
    // The thread is created suspended and resumed after its priority is set, so the body sees it.
    EXPECT_EQ(PriorityOfThreadWith(MTThread::kMTPriorityBelowNormal), THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(PriorityOfThreadWith(MTThread::kMTPriorityLow), THREAD_PRIORITY_LOWEST);
    EXPECT_EQ(PriorityOfThreadWith(MTThread::kMTPriorityAboveNormal), THREAD_PRIORITY_ABOVE_NORMAL);
    EXPECT_EQ(PriorityOfThreadWith(MTThread::kMTPriorityTimeCritical), THREAD_PRIORITY_TIME_CRITICAL);
}

TEST(MTInterfaceImpWinTest, PriorityOutsideTheTableRunsAtNormalPriority) {
    EXPECT_EQ(PriorityOfThreadWith(static_cast<MTThread::MTPriority>(5)), THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(PriorityOfThreadWith(MTThread::kMTPriorityNormal), THREAD_PRIORITY_NORMAL);
}

TEST(MTInterfaceImpWinTest, AffinityToTheFirstProcessorRuns) {
    EXPECT_NE(PriorityOfThreadWith(MTThread::kMTPriorityNormal, 1), kNotRun);
    // Only the low 32 bits count: a mask of high bits alone leaves the thread free to run anywhere.
    EXPECT_NE(PriorityOfThreadWith(MTThread::kMTPriorityNormal, 0x100000000ull), kNotRun);
}

TEST(MTInterfaceImpWinTest, ThreadIdentifiersAreTheSystemOnes) {
    EXPECT_EQ(MTInterface::GetCurrentThreadID(), GetCurrentThreadId());
    PriorityProbe probe;
    std::unique_ptr<MTThread> thread(MTInterface::NewThread(&probe, MTThread::kMTPriorityNormal, 0));
    ASSERT_TRUE(thread->Terminate(10000));
    EXPECT_NE(probe.threadId.load(), 0u);
    EXPECT_NE(probe.threadId.load(), GetCurrentThreadId());
}

TEST(MTInterfaceImpWinTest, ProcessorCountIsTheSystemOne) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    EXPECT_EQ(MTInterface::GetCPUCount(), info.dwNumberOfProcessors);
}

TEST(MTInterfaceImpWinTest, TheClockFollowsThePerformanceCounter) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER before;
    LARGE_INTEGER after;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    ASSERT_TRUE(QueryPerformanceCounter(&before));
    const uint64_t micro = MTInterface::GetCurrentTimeMicro();
    ASSERT_TRUE(QueryPerformanceCounter(&after));
    const double perTick = 1000000.0 / static_cast<double>(frequency.QuadPart);
    EXPECT_GE(micro + 1, static_cast<uint64_t>(static_cast<double>(before.QuadPart) * perTick));
    EXPECT_LE(micro, static_cast<uint64_t>(static_cast<double>(after.QuadPart) * perTick) + 1);
}

TEST(MTInterfaceImpWinTest, SemaphoreCountsStopAtTheMaximum) {
    std::unique_ptr<MTSemaphore> semaphore(MTInterface::NewSemaphore(2, 1));
    EXPECT_TRUE(semaphore->Signal(1));
    EXPECT_FALSE(semaphore->Signal(1)) << "past the maximum";
    EXPECT_FALSE(semaphore->Signal(3)) << "a count over the maximum releases nothing";
    EXPECT_TRUE(semaphore->Wait(0, 2));
    EXPECT_FALSE(semaphore->Wait(0, 1));
    EXPECT_TRUE(semaphore->Signal(2));
    EXPECT_TRUE(semaphore->Wait(MTSemaphore::kInfinite, 2));
}

TEST(MTInterfaceImpWinTest, AWaitForMoreUnitsThanHeldKeepsWhatItTook) {
    std::unique_ptr<MTSemaphore> semaphore(MTInterface::NewSemaphore(4, 2));
    EXPECT_FALSE(semaphore->Wait(100, 4));
    EXPECT_FALSE(semaphore->Wait(0, 1)) << "the two units taken are not given back";
    EXPECT_TRUE(semaphore->Wait(0, 0));
    EXPECT_TRUE(semaphore->Wait(MTSemaphore::kInfinite, 0));
}

TEST(MTInterfaceImpWinTest, CountsBeyondTheSignedRangeAreClampedNotRefused) {
    std::unique_ptr<MTSemaphore> semaphore(MTInterface::NewSemaphore(0xFFFFFFFFu, 0xFFFFFFFFu));
    ASSERT_NE(semaphore, nullptr);
    EXPECT_TRUE(semaphore->Wait(0, 3));
    EXPECT_FALSE(semaphore->Signal(0x80000000u));
}

TEST(MTInterfaceImpWinTest, CountersAreInterlocked) {
    std::unique_ptr<MTAtomicUnsigned32> counter(MTInterface::NewAtomicUnsigned32(0xFFFFFFFFu));
    EXPECT_EQ(counter->Increment(), 0u);
    EXPECT_EQ(counter->Decrement(), 0xFFFFFFFFu);
    EXPECT_TRUE(counter->CompareExchange(0xFFFFFFFFu, 5));
    EXPECT_FALSE(counter->CompareExchange(6, 9));
    EXPECT_EQ(counter->Get(), 5u);
}

}  // namespace
