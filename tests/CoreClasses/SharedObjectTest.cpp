#include "Tarvos/SharedObject.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "DebugOutputCapture.h"

using namespace Tarvos;

namespace {

class Counted : public SharedObject {
  public:
    explicit Counted(std::atomic<int>* destroyed) : destroyed(destroyed) {}

  protected:
    ~Counted() override { ++*destroyed; }

  private:
    std::atomic<int>* destroyed;
};

TEST(SharedObjectTest, CountsAndDestroysOnce) {
    std::atomic<int> destroyed{0};
    auto* object = new Counted(&destroyed);
    EXPECT_EQ(object->GetRefCount(), 1);
    EXPECT_EQ(object->AddRef(TARVOS_CALL_SITE), 2);
    EXPECT_EQ(object->DecRef(TARVOS_CALL_SITE), 1);
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(object->DecRef(TARVOS_CALL_SITE), 0);
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(SharedObjectTest, AutoRefHoldsForItsScope) {
    std::atomic<int> destroyed{0};
    auto* object = new Counted(&destroyed);
    {
        SharedObjectAutoRef hold(object);
        EXPECT_EQ(object->GetRefCount(), 2);
        object->DecRef(TARVOS_CALL_SITE);
        EXPECT_EQ(destroyed.load(), 0);
    }
    EXPECT_EQ(destroyed.load(), 1);
    SharedObjectAutoRef nothing(nullptr);
}

TEST(SharedObjectTest, ConcurrentPairsNeverDestroyEarly) {
    std::atomic<int> destroyed{0};
    auto* object = new Counted(&destroyed);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int n = 0; n < 50000; ++n) {
                object->AddRef(TARVOS_CALL_SITE);
                object->DecRef(TARVOS_CALL_SITE);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(object->GetRefCount(), 1);
    object->DecRef(TARVOS_CALL_SITE);
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(SharedObjectTest, ThreadSafeModifyIsReentrantAndExclusive) {
    std::atomic<int> destroyed{0};
    auto* object = new Counted(&destroyed);
    object->BeginThreadSafeModify();
    object->BeginThreadSafeModify();
    std::atomic<bool> entered{false};
    std::thread other([&] {
        object->BeginThreadSafeModify();
        entered = true;
        object->FinishThreadSafeModify();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    object->FinishThreadSafeModify();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());
    object->FinishThreadSafeModify();
    other.join();
    EXPECT_TRUE(entered.load());
    object->DecRef(TARVOS_CALL_SITE);
}

TEST(SharedObjectTest, LeakLoggingIsInert) {
    SharedObject::EnableLeakedObjectsLogging(1, 2);
    EXPECT_FALSE(SharedObject::IsLeakedObjectLoggingEnabled());
    TarvosTest::DebugOutputCapture capture;
    SharedObject::PrintLeakedObjectsToDebugger();
    EXPECT_EQ(capture.Take(), "");
    SharedObject::DisableLeakedObjectsLogging();
}

TEST(CallSiteTest, NamesTheQualifiedFunction) {
    struct Probe {
        static const char* Name(const char*, const char* function, uint32_t) { return function; }
    };
    const std::string name = Probe::Name(TARVOS_CALL_SITE);
    const std::string expectedEnd = "::CallSiteTest_NamesTheQualifiedFunction_Test::TestBody";
    ASSERT_GE(name.size(), expectedEnd.size());
    EXPECT_EQ(name.substr(name.size() - expectedEnd.size()), expectedEnd);
    EXPECT_EQ(name.find_first_of("( "), std::string::npos) << name;
    auto file = [](const char* f, const char*, uint32_t) { return std::string(f); };
    EXPECT_EQ(file(TARVOS_CALL_SITE), "tests/CoreClasses/SharedObjectTest.cpp");
}

}  // namespace
