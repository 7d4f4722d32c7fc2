#include "Tarvos/SharedObjectList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "CoreClasses/SharedObjectListStorage.h"
#include "Support/CountedObject.h"

using namespace Tarvos;
using TarvosTest::CountedObject;

namespace {

class SharedObjectListTest : public testing::Test {
  protected:
    void SetUp() override {
        list = new SharedObjectList();
        for (auto*& object : objects) {
            object = new CountedObject(&destroyed);
        }
    }
    void TearDown() override {
        if (list != nullptr) {
            list->DecRef(TARVOS_CALL_SITE);
        }
        for (auto* object : objects) {
            object->DecRef(TARVOS_CALL_SITE);
        }
        EXPECT_EQ(destroyed.load(), 4) << "every object is destroyed exactly once";
    }
    void DestroyList() {
        list->DecRef(TARVOS_CALL_SITE);
        list = nullptr;
    }

    std::atomic<int> destroyed{0};
    SharedObjectList* list = nullptr;
    CountedObject* objects[4] = {};
};

class RecordingCallback : public SharedObjectList::IterateCallback {
  public:
    explicit RecordingCallback(uint32_t stopAt = SharedObjectList::kIndexInvalid) : stopAt(stopAt) {}
    bool Callback(SharedObject* member, uint32_t index) override {
        seen.emplace_back(member, index);
        return index != stopAt;
    }
    std::vector<std::pair<SharedObject*, uint32_t>> seen;
    uint32_t stopAt;
};

TEST_F(SharedObjectListTest, AddingTwiceTakesOneReference) {
    EXPECT_TRUE(list->AddToFront(objects[0]));
    EXPECT_EQ(objects[0]->GetRefCount(), 2);
    EXPECT_FALSE(list->AddToFront(objects[0]));
    EXPECT_FALSE(list->AddToBack(objects[0]));
    EXPECT_EQ(objects[0]->GetRefCount(), 2);
    EXPECT_EQ(list->Count(), 1u);
}

TEST_F(SharedObjectListTest, FrontAndBackKeepTheirOrder) {
    ASSERT_TRUE(list->AddToBack(objects[1]));
    ASSERT_TRUE(list->AddToFront(objects[0]));
    ASSERT_TRUE(list->AddToBack(objects[2]));
    EXPECT_EQ(list->Count(), 3u);
    EXPECT_EQ(list->Get(0), objects[0]);
    EXPECT_EQ(list->Get(1), objects[1]);
    EXPECT_EQ(list->Get(2), objects[2]);
    EXPECT_EQ(list->Get(3), nullptr);
    EXPECT_EQ(list->Find(objects[2]), 2u);
    EXPECT_EQ(list->Find(objects[3]), SharedObjectList::kIndexInvalid);
    EXPECT_EQ(objects[1]->GetRefCount(), 2) << "Get adds no reference";
}

TEST_F(SharedObjectListTest, EmptyListAnswersNothing) {
    EXPECT_EQ(SharedObjectList::kIndexInvalid, 0xFFFFFFFFu);
    EXPECT_EQ(list->Count(), 0u);
    EXPECT_EQ(list->Find(objects[0]), 0xFFFFFFFFu);
    EXPECT_EQ(list->Get(0), nullptr);
    EXPECT_EQ(list->Get(SharedObjectList::kIndexInvalid), nullptr);
    EXPECT_FALSE(list->Remove(0u));
    EXPECT_FALSE(list->Remove(objects[0]));
    EXPECT_EQ(list->GetAndRemove(0), nullptr);
    list->RemoveAll();
    EXPECT_EQ(objects[0]->GetRefCount(), 1);
}

TEST_F(SharedObjectListTest, NullMemberHoldsNoReference) {
    ASSERT_TRUE(list->AddToBack(objects[0]));
    EXPECT_TRUE(list->AddToBack(nullptr));
    EXPECT_FALSE(list->AddToFront(nullptr)) << "a null pointer is a member like any other";
    EXPECT_EQ(list->Count(), 2u);
    EXPECT_EQ(list->Find(nullptr), 1u);
    EXPECT_EQ(list->Get(1), nullptr);
    EXPECT_TRUE(list->Remove(static_cast<SharedObject*>(nullptr)));
    EXPECT_EQ(list->Count(), 1u);
    EXPECT_EQ(objects[0]->GetRefCount(), 2);
}

TEST_F(SharedObjectListTest, EveryRemovalReleasesExactlyOneReference) {
    for (auto* object : objects) {
        ASSERT_TRUE(list->AddToBack(object));
        ASSERT_EQ(object->GetRefCount(), 2);
    }
    EXPECT_TRUE(list->Remove(objects[1]));
    EXPECT_EQ(objects[1]->GetRefCount(), 1);
    EXPECT_FALSE(list->Remove(objects[1]));
    EXPECT_EQ(objects[1]->GetRefCount(), 1);

    EXPECT_FALSE(list->Remove(3u)) << "index past the end";
    EXPECT_TRUE(list->Remove(2u));  // objects[3]
    EXPECT_EQ(objects[3]->GetRefCount(), 1);

    EXPECT_EQ(list->GetAndRemove(1), objects[2]);
    EXPECT_EQ(objects[2]->GetRefCount(), 1);
    EXPECT_EQ(list->GetAndRemove(1), nullptr);
    EXPECT_EQ(list->Count(), 1u);
    EXPECT_EQ(list->Get(0), objects[0]);
    EXPECT_EQ(objects[0]->GetRefCount(), 2);
}

TEST_F(SharedObjectListTest, ListHoldsTheOnlyReference) {
    auto* owned = new CountedObject(&destroyed);
    ASSERT_TRUE(list->AddToBack(owned));
    owned->DecRef(TARVOS_CALL_SITE);
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(list->GetAndRemove(0), owned);
    EXPECT_EQ(destroyed.load(), 1) << "the list's reference was the last";
    destroyed = 0;
}

TEST_F(SharedObjectListTest, MemberIsUnlinkedBeforeItsReferenceGoes) {
    std::vector<uint32_t> indexSeenInDestructor;
    const auto makeOwned = [&] {
        auto* owned = new CountedObject(&destroyed);
        owned->onDestroy = [&](CountedObject* self) { indexSeenInDestructor.push_back(list->Find(self)); };
        EXPECT_TRUE(list->AddToFront(owned));
        owned->DecRef(TARVOS_CALL_SITE);
        return owned;
    };
    auto* first = makeOwned();
    EXPECT_TRUE(list->Remove(first));
    makeOwned();
    EXPECT_TRUE(list->Remove(0u));
    makeOwned();
    EXPECT_NE(list->GetAndRemove(0), nullptr);
    makeOwned();
    list->RemoveAll();
    makeOwned();
    DestroyList();
    EXPECT_EQ(indexSeenInDestructor, std::vector<uint32_t>(5, SharedObjectList::kIndexInvalid));
    EXPECT_EQ(destroyed.load(), 5);
    destroyed = 0;
}

TEST_F(SharedObjectListTest, RemoveAllStopsAtANullFrontMember) {
    ASSERT_TRUE(list->AddToBack(objects[0]));
    ASSERT_TRUE(list->AddToBack(objects[1]));
    ASSERT_TRUE(list->AddToBack(nullptr));
    ASSERT_TRUE(list->AddToBack(objects[2]));
    list->RemoveAll();
    EXPECT_EQ(list->Count(), 2u);
    EXPECT_EQ(list->Get(0), nullptr);
    EXPECT_EQ(list->Get(1), objects[2]);
    EXPECT_EQ(objects[0]->GetRefCount(), 1);
    EXPECT_EQ(objects[1]->GetRefCount(), 1);
    EXPECT_EQ(objects[2]->GetRefCount(), 2);
}

TEST_F(SharedObjectListTest, DestructionReleasesMembersBehindANullFront) {
    ASSERT_TRUE(list->AddToBack(nullptr));
    ASSERT_TRUE(list->AddToBack(objects[0]));
    ASSERT_TRUE(list->AddToBack(objects[1]));
    auto* owned = new CountedObject(&destroyed);
    ASSERT_TRUE(list->AddToBack(owned));
    owned->DecRef(TARVOS_CALL_SITE);
    list->RemoveAll();
    ASSERT_EQ(list->Count(), 4u) << "RemoveAll leaves everything behind the null front member";
    DestroyList();
    EXPECT_EQ(objects[0]->GetRefCount(), 1);
    EXPECT_EQ(objects[1]->GetRefCount(), 1);
    EXPECT_EQ(destroyed.load(), 1) << "the object only the list held is destroyed with it";
    destroyed = 0;
}

TEST_F(SharedObjectListTest, IterateVisitsFrontToBackAndStopsWhenTold) {
    for (auto* object : objects) {
        ASSERT_TRUE(list->AddToBack(object));
    }
    RecordingCallback all;
    list->Iterate(&all);
    ASSERT_EQ(all.seen.size(), 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(all.seen[i].first, objects[i]);
        EXPECT_EQ(all.seen[i].second, i);
    }
    RecordingCallback stopping(2);
    list->Iterate(&stopping);
    ASSERT_EQ(stopping.seen.size(), 3u);
    EXPECT_EQ(stopping.seen.back().second, 2u);
    list->Iterate(nullptr);
    EXPECT_EQ(objects[0]->GetRefCount(), 2) << "iteration adds no references";
}

TEST(SharedObjectListStorageTest, AddingPastTheMaximumThrowsLengthError) {
    EXPECT_EQ(SharedObjectListStorage::kMaximumCount, 0x3FFFFFFFu);
    SharedObjectListStorage storage(2);
    int a = 0, b = 0, c = 0;
    storage.InsertBack(reinterpret_cast<SharedObject*>(&a));
    storage.InsertFront(reinterpret_cast<SharedObject*>(&b));
    try {
        storage.InsertBack(reinterpret_cast<SharedObject*>(&c));
        FAIL() << "no length error";
    } catch (const std::length_error& error) {
        EXPECT_EQ(std::string(error.what()), "list<T> too long");
    }
    EXPECT_THROW(storage.InsertFront(reinterpret_cast<SharedObject*>(&c)), std::length_error);
    EXPECT_EQ(storage.Count(), 2u);
    EXPECT_EQ(storage.At(0), reinterpret_cast<SharedObject*>(&b));
    EXPECT_EQ(storage.Find(reinterpret_cast<SharedObject*>(&c)), SharedObjectListStorage::kIndexInvalid);
}

}  // namespace
