#include "OSServices/Linux/MTInterfaceImpPosix.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "Tarvos/MTInterface.h"

using namespace Tarvos;

namespace {

class NiceProbe : public MTThreadBody {
  public:
    void RunBody(MTThread*) override { nice = MTInterfaceImpPosix::GetCurrentThreadNice(); }
    std::atomic<int> nice{-100};
};

int NiceOfThreadWith(MTThread::MTPriority priority) {
    NiceProbe probe;
    std::unique_ptr<MTThread> thread(MTInterface::NewThread(&probe, priority, MTThread::kProcessorAny));
    EXPECT_TRUE(thread->Terminate(5000));
    return probe.nice.load();
}

TEST(MTInterfaceImpPosixTest, PriorityOutsideTheTableRunsAtNormalPriority) {
    EXPECT_EQ(NiceOfThreadWith(static_cast<MTThread::MTPriority>(5)), MTInterfaceImpPosix::BaselineNice());
    EXPECT_EQ(NiceOfThreadWith(MTThread::kMTPriorityNormal), MTInterfaceImpPosix::BaselineNice());
}

TEST(MTInterfaceImpPosixTest, LowerPrioritiesAlwaysApply) {
    // Lowering a priority needs no privileges.
    EXPECT_GT(NiceOfThreadWith(MTThread::kMTPriorityBelowNormal), MTInterfaceImpPosix::BaselineNice());
    EXPECT_GT(NiceOfThreadWith(MTThread::kMTPriorityLow), NiceOfThreadWith(MTThread::kMTPriorityBelowNormal));
}

TEST(MTInterfaceImpPosixTest, RaisedPriorityNeverFailsCreation) {
    const int nice = NiceOfThreadWith(MTThread::kMTPriorityTimeCritical);
    EXPECT_LE(nice, MTInterfaceImpPosix::BaselineNice());
}

TEST(MTInterfaceImpPosixTest, AffinityToTheFirstProcessorRuns) {
    NiceProbe probe;
    std::unique_ptr<MTThread> thread(MTInterface::NewThread(&probe, MTThread::kMTPriorityNormal, 1));
    EXPECT_TRUE(thread->Terminate(5000));
    EXPECT_NE(probe.nice.load(), -100);
}

}  // namespace
