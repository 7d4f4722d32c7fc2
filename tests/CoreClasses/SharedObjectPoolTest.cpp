#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "Support/CountedObject.h"
#include "Support/ThreadGroup.h"
#include "Tarvos/SharedObjectList.h"

using namespace Tarvos;
using TarvosTest::CountedObject;

namespace {

class SharedObjectPoolTest : public testing::Test {
  protected:
    void SetUp() override {
        for (auto*& object : objects) {
            object = new CountedObject(&destroyed);
        }
    }
    void TearDown() override {
        if (pool != nullptr) {
            pool->DecRef(TARVOS_CALL_SITE);
        }
        for (auto* object : objects) {
            EXPECT_EQ(object->GetRefCount(), 1) << "the pool released every reference it took";
            object->DecRef(TARVOS_CALL_SITE);
        }
        EXPECT_EQ(destroyed.load(), 3);
    }
    void MakePool(uint32_t maximum) { pool = new SharedObjectPool(maximum); }
    void ExpectCounts(uint32_t free, uint32_t inUse) {
        EXPECT_EQ(pool->GetNumberOfObjectsFree(), free);
        EXPECT_EQ(pool->GetNumberOfObjectsInUse(), inUse);
        EXPECT_EQ(pool->GetTotalNumberOfObjects(), free + inUse);
    }

    std::atomic<int> destroyed{0};
    SharedObjectPool* pool = nullptr;
    CountedObject* objects[3] = {};
};

TEST_F(SharedObjectPoolTest, RefusesObjectsPastItsMaximum) {
    MakePool(2);
    EXPECT_TRUE(pool->AddObjectToPool(objects[0]));
    EXPECT_TRUE(pool->AddObjectToPool(objects[1]));
    EXPECT_FALSE(pool->AddObjectToPool(objects[2]));
    EXPECT_EQ(objects[2]->GetRefCount(), 1);
    ExpectCounts(2, 0);
    ASSERT_EQ(pool->GetObjectFromPool(), objects[1]);
    EXPECT_FALSE(pool->AddObjectToPool(objects[2])) << "handed-out objects count towards the maximum";
    EXPECT_FALSE(pool->AddObjectToPool(nullptr));
}

TEST_F(SharedObjectPoolTest, HandsOutTheLastAddedOrReturnedFirst) {
    MakePool(8);
    ASSERT_TRUE(pool->AddObjectToPool(objects[0]));
    ASSERT_TRUE(pool->AddObjectToPool(objects[1]));
    EXPECT_EQ(pool->GetObjectFromPool(), objects[1]);
    EXPECT_TRUE(pool->ReturnObjectToPool(objects[1]));
    EXPECT_EQ(pool->GetObjectFromPool(), objects[1]);
    EXPECT_EQ(pool->GetObjectFromPool(), objects[0]);
    EXPECT_EQ(pool->GetObjectFromPool(), nullptr);
    ExpectCounts(0, 2);
    EXPECT_TRUE(pool->ReturnObjectToPool(objects[0]));
    EXPECT_TRUE(pool->ReturnObjectToPool(objects[1]));
    EXPECT_EQ(pool->GetObjectFromPool(), objects[1]);
}

TEST_F(SharedObjectPoolTest, HoldsOneReferenceWhereverTheObjectIs) {
    MakePool(8);
    ASSERT_TRUE(pool->AddObjectToPool(objects[0]));
    EXPECT_EQ(objects[0]->GetRefCount(), 2);
    EXPECT_FALSE(pool->AddObjectToPool(objects[0])) << "already free";
    EXPECT_EQ(objects[0]->GetRefCount(), 2);
    ASSERT_EQ(pool->GetObjectFromPool(), objects[0]);
    EXPECT_EQ(objects[0]->GetRefCount(), 2) << "the caller gets no reference of its own";
    ASSERT_TRUE(pool->ReturnObjectToPool(objects[0]));
    EXPECT_EQ(objects[0]->GetRefCount(), 2);
    EXPECT_TRUE(pool->DetachObjectFromPool(objects[0]));
    EXPECT_EQ(objects[0]->GetRefCount(), 1);
    ExpectCounts(0, 0);
}

TEST_F(SharedObjectPoolTest, ReturningAnObjectThatIsNotHandedOutFails) {
    MakePool(8);
    ASSERT_TRUE(pool->AddObjectToPool(objects[0]));
    EXPECT_FALSE(pool->ReturnObjectToPool(objects[0]));
    EXPECT_FALSE(pool->ReturnObjectToPool(objects[1]));
    EXPECT_FALSE(pool->ReturnObjectToPool(nullptr));
    ExpectCounts(1, 0);
    EXPECT_EQ(objects[0]->GetRefCount(), 2);
}

TEST_F(SharedObjectPoolTest, DetachTakesFreeOrHandedOutObjects) {
    MakePool(8);
    ASSERT_TRUE(pool->AddObjectToPool(objects[0]));
    ASSERT_TRUE(pool->AddObjectToPool(objects[1]));
    ASSERT_EQ(pool->GetObjectFromPool(), objects[1]);
    EXPECT_FALSE(pool->DetachObjectFromPool(objects[2]));
    EXPECT_TRUE(pool->DetachObjectFromPool(objects[1]));
    EXPECT_FALSE(pool->ReturnObjectToPool(objects[1]));
    EXPECT_TRUE(pool->DetachObjectFromPool(objects[0]));
    EXPECT_FALSE(pool->DetachObjectFromPool(objects[0]));
    ExpectCounts(0, 0);
}

TEST_F(SharedObjectPoolTest, PurgeReleasesFreeAndHandedOutObjects) {
    MakePool(8);
    for (auto* object : objects) {
        ASSERT_TRUE(pool->AddObjectToPool(object));
    }
    ASSERT_NE(pool->GetObjectFromPool(), nullptr);
    pool->PurgeAllObjects();
    ExpectCounts(0, 0);
    for (auto* object : objects) {
        EXPECT_EQ(object->GetRefCount(), 1);
    }
}

TEST_F(SharedObjectPoolTest, DestructionReleasesEveryObject) {
    MakePool(8);
    for (auto* object : objects) {
        ASSERT_TRUE(pool->AddObjectToPool(object));
    }
    ASSERT_NE(pool->GetObjectFromPool(), nullptr);
    pool->DecRef(TARVOS_CALL_SITE);
    pool = nullptr;
}

TEST_F(SharedObjectPoolTest, AnObjectOnlyThePoolHoldsSurvivesBeingMoved) {
    MakePool(8);
    std::atomic<int> ownedDestroyed{0};
    auto* owned = new CountedObject(&ownedDestroyed);
    ASSERT_TRUE(pool->AddObjectToPool(owned));
    owned->DecRef(TARVOS_CALL_SITE);
    ASSERT_EQ(pool->GetObjectFromPool(), owned);
    EXPECT_EQ(ownedDestroyed.load(), 0);
    EXPECT_EQ(owned->GetRefCount(), 1);
    ASSERT_TRUE(pool->ReturnObjectToPool(owned));
    EXPECT_EQ(ownedDestroyed.load(), 0);
    EXPECT_EQ(owned->GetRefCount(), 1);
    EXPECT_TRUE(pool->DetachObjectFromPool(owned));
    EXPECT_EQ(ownedDestroyed.load(), 1);
}

TEST_F(SharedObjectPoolTest, ConcurrentTakersNeverShareAnObject) {
    MakePool(8);
    for (auto* object : objects) {
        ASSERT_TRUE(pool->AddObjectToPool(object));
    }
    std::atomic<int> holders[3] = {};
    std::atomic<int> overlaps{0};
    TarvosTest::RunOnThreads(4, [&](int) {
        for (int n = 0; n < 20000; ++n) {
            SharedObject* taken = pool->GetObjectFromPool();
            if (taken == nullptr) {
                continue;
            }
            const int slot = taken == objects[0] ? 0 : taken == objects[1] ? 1 : 2;
            if (++holders[slot] != 1) {
                ++overlaps;
            }
            --holders[slot];
            if (!pool->ReturnObjectToPool(taken)) {
                ++overlaps;
            }
        }
    });
    EXPECT_EQ(overlaps.load(), 0);
    ExpectCounts(3, 0);
}

}  // namespace
