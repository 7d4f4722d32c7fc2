#include "CoreClasses/GuardedList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "Support/Waiting.h"

using namespace Tarvos;

namespace {

class TestItem : public GuardedListItem {
  public:
    TestItem(int id, uint64_t key) : id(id), key(key) {}
    uint64_t GetSortKey() override {
        keyReads.fetch_add(1);
        return key.load();
    }

    const int id;
    std::atomic<uint64_t> key;
    std::atomic<int> keyReads{0};
};

// Calls a function on every visited item; matches when it returns true.
class FunctionCallback : public GuardedList::MatchCallback {
  public:
    explicit FunctionCallback(std::function<bool(TestItem*)> function) : function(std::move(function)) {}
    bool Matches(GuardedListItem* item) override { return function(static_cast<TestItem*>(item)); }

  private:
    std::function<bool(TestItem*)> function;
};

std::vector<TestItem*> Contents(GuardedList& list) {
    std::vector<TestItem*> items;
    FunctionCallback collect([&](TestItem* item) {
        items.push_back(item);
        return false;
    });
    list.IterateUntil(&collect);
    return items;
}

std::vector<int> Ids(GuardedList& list) {
    std::vector<int> ids;
    for (TestItem* item : Contents(list)) {
        ids.push_back(item->id);
    }
    return ids;
}

// Runs every test on a locked and an unlocked list: the algorithms do not depend on the lock.
class GuardedListTest : public ::testing::TestWithParam<bool> {
  protected:
    // Items with ids 0.. and the given keys, not in any list.
    void MakeItems(const std::vector<uint64_t>& keys) {
        for (uint64_t key : keys) {
            items.push_back(std::make_unique<TestItem>(static_cast<int>(items.size()), key));
        }
    }
    void AddAll(GuardedList& list) {
        for (auto& item : items) {
            list.AddInOrder(item.get());
        }
    }
    // Items must be out of their lists before they are destroyed.
    void TearDown() override {
        if (list != nullptr) {
            Drain(*list);
        }
    }
    GuardedList& List(bool ascending = true) {
        list = std::make_unique<GuardedList>(ascending, GetParam());
        return *list;
    }
    static void Drain(GuardedList& from) {
        while (from.GetAndRemoveFront() != nullptr) {
        }
    }

    std::vector<std::unique_ptr<TestItem>> items;
    std::unique_ptr<GuardedList> list;
};

TEST_P(GuardedListTest, AscendingKeepsEqualKeysInArrivalOrder) {
    GuardedList& l = List(true);
    MakeItems({5, 3, 5, 1});
    AddAll(l);
    EXPECT_EQ(Ids(l), (std::vector<int>{3, 1, 0, 2}));
}

TEST_P(GuardedListTest, DescendingKeepsEqualKeysInArrivalOrder) {
    GuardedList& l = List(false);
    MakeItems({5, 3, 5, 1});
    AddAll(l);
    EXPECT_EQ(Ids(l), (std::vector<int>{0, 2, 1, 3}));
}

TEST_P(GuardedListTest, KeysAreComparedAsUnsigned64BitNumbers) {
    GuardedList& l = List(true);
    MakeItems({0xFFFFFFFFFFFFFFFFull, 0x100000000ull, 0, 0xFFFFFFFFull});
    AddAll(l);
    EXPECT_EQ(Ids(l), (std::vector<int>{2, 3, 1, 0}));
}

TEST_P(GuardedListTest, KeyNotBelowTheBackIsAppendedWithoutWalking) {
    GuardedList& l = List(true);
    MakeItems({1, 2, 3, 3});
    for (int i = 0; i < 3; ++i) {
        l.AddInOrder(items[i].get());
    }
    const int frontReads = items[0]->keyReads.load();
    const int middleReads = items[1]->keyReads.load();
    l.AddInOrder(items[3].get());
    EXPECT_EQ(items[0]->keyReads.load(), frontReads);
    EXPECT_EQ(items[1]->keyReads.load(), middleReads);
    EXPECT_EQ(Ids(l), (std::vector<int>{0, 1, 2, 3}));
}

TEST_P(GuardedListTest, ItemOfAnotherListIsRefused) {
    GuardedList& l = List(true);
    GuardedList other(true, GetParam());
    MakeItems({1, 2});
    l.AddInOrder(items[0].get());
    other.AddInOrder(items[1].get());
    l.AddInOrder(items[1].get());
    other.AddInOrder(items[0].get());
    other.Reposition(items[0].get());
    EXPECT_EQ(Ids(l), (std::vector<int>{0}));
    EXPECT_EQ(Ids(other), (std::vector<int>{1}));
    EXPECT_EQ(other.GetAndRemoveFront(), items[1].get());
    EXPECT_EQ(other.GetAndRemoveFront(), nullptr);
}

TEST_P(GuardedListTest, AddingAMemberAgainMovesItInsteadOfLinkingItTwice) {
    GuardedList& l = List(true);
    MakeItems({1, 2, 3});
    AddAll(l);
    items[0]->key = 9;
    l.AddInOrder(items[0].get());
    EXPECT_EQ(Ids(l), (std::vector<int>{1, 2, 0}));
    EXPECT_EQ(l.GetAndRemoveFront(), items[1].get());
    EXPECT_EQ(l.GetAndRemoveFront(), items[2].get());
    EXPECT_EQ(l.GetAndRemoveFront(), items[0].get());
    EXPECT_EQ(l.GetAndRemoveFront(), nullptr);
    EXPECT_FALSE(items[0]->Reposition());
}

TEST_P(GuardedListTest, NullItemsAndCallbacksAreIgnored) {
    GuardedList& l = List(true);
    MakeItems({1});
    AddAll(l);
    l.AddInOrder(nullptr);
    l.Reposition(nullptr);
    l.IterateUntil(nullptr);
    EXPECT_EQ(l.RemoveFirstMatch(nullptr), nullptr);
    EXPECT_FALSE(l.RemoveAllMatches(nullptr));
    EXPECT_EQ(Ids(l), (std::vector<int>{0}));
}

TEST_P(GuardedListTest, RemoveFirstMatch) {
    GuardedList& l = List(true);
    MakeItems({1, 2, 3, 4});
    AddAll(l);
    FunctionCallback none([](TestItem*) { return false; });
    EXPECT_EQ(l.RemoveFirstMatch(&none), nullptr);
    EXPECT_EQ(Ids(l), (std::vector<int>{0, 1, 2, 3}));

    FunctionCallback all([](TestItem*) { return true; });
    EXPECT_EQ(l.RemoveFirstMatch(&all), items[0].get());
    EXPECT_FALSE(items[0]->Reposition()) << "a removed item has no owner";

    int visited = 0;
    FunctionCallback even([&](TestItem* item) {
        ++visited;
        return item->key % 2 == 0;
    });
    EXPECT_EQ(l.RemoveFirstMatch(&even), items[1].get());
    EXPECT_EQ(visited, 1) << "the walk stops at the first match";
    EXPECT_EQ(Ids(l), (std::vector<int>{2, 3}));
}

TEST_P(GuardedListTest, RemoveAllMatches) {
    GuardedList& l = List(true);
    FunctionCallback all([](TestItem*) { return true; });
    EXPECT_FALSE(l.RemoveAllMatches(&all));

    MakeItems({1, 2, 3, 4, 5});
    AddAll(l);
    FunctionCallback odd([](TestItem* item) { return item->key % 2 == 1; });
    EXPECT_TRUE(l.RemoveAllMatches(&odd));
    EXPECT_EQ(Ids(l), (std::vector<int>{1, 3}));
    EXPECT_FALSE(l.RemoveAllMatches(&odd));

    EXPECT_TRUE(l.RemoveAllMatches(&all));
    EXPECT_EQ(l.GetAndRemoveFront(), nullptr);
    for (auto& item : items) {
        EXPECT_FALSE(item->Reposition()) << "item " << item->id << " still has an owner";
    }
    // Free items can join a list again.
    AddAll(l);
    EXPECT_EQ(Ids(l), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_P(GuardedListTest, GetAndRemoveFront) {
    GuardedList& l = List(false);
    EXPECT_EQ(l.GetAndRemoveFront(), nullptr);
    MakeItems({2, 7, 4});
    AddAll(l);
    EXPECT_EQ(l.GetAndRemoveFront(), items[1].get());
    EXPECT_EQ(l.GetAndRemoveFront(), items[2].get());
    EXPECT_EQ(l.GetAndRemoveFront(), items[0].get());
    EXPECT_EQ(l.GetAndRemoveFront(), nullptr);
}

TEST_P(GuardedListTest, ItemRepositionOutsideAnyListDoesNothing) {
    GuardedList& l = List(true);
    MakeItems({1, 2});
    l.AddInOrder(items[1].get());
    EXPECT_FALSE(items[0]->Reposition());
    EXPECT_EQ(Ids(l), (std::vector<int>{1}));
}

TEST_P(GuardedListTest, RepositionMovesBehindEqualKeys) {
    GuardedList& l = List(true);
    MakeItems({1, 5, 5, 8});
    AddAll(l);
    items[3]->key = 5;
    EXPECT_TRUE(items[3]->Reposition());
    EXPECT_EQ(Ids(l), (std::vector<int>{0, 1, 2, 3}));
    items[0]->key = 5;
    EXPECT_TRUE(items[0]->Reposition());
    EXPECT_EQ(Ids(l), (std::vector<int>{1, 2, 3, 0}));
    items[2]->key = 0;
    l.Reposition(items[2].get());
    EXPECT_EQ(Ids(l), (std::vector<int>{2, 1, 3, 0}));
}

TEST_P(GuardedListTest, ListRepositionOfAFreeItemAddsIt) {
    GuardedList& l = List(true);
    MakeItems({4, 2});
    l.AddInOrder(items[0].get());
    l.Reposition(items[1].get());
    EXPECT_EQ(Ids(l), (std::vector<int>{1, 0}));
}

TEST_P(GuardedListTest, SortRestoresOrderAndKeepsEqualKeysInTheirOrder) {
    GuardedList& l = List(true);
    MakeItems({10, 20, 30, 40, 50, 60, 70});
    AddAll(l);
    // Change keys in place, as a walk over the list does.
    items[6]->key = 0;
    items[4]->key = 20;
    items[1]->key = 0;
    items[2]->key = 45;
    l.Sort();
    EXPECT_EQ(Ids(l), (std::vector<int>{1, 6, 0, 4, 3, 2, 5}));

    Drain(l);
    GuardedList descending(false, GetParam());
    for (auto& item : items) {
        descending.AddInOrder(item.get());
    }
    items[0]->key = 45;
    descending.Sort();
    EXPECT_EQ(Ids(descending), (std::vector<int>{5, 2, 0, 3, 4, 1, 6}));
    Drain(descending);
}

TEST_P(GuardedListTest, SortOfManyItemsIsStable) {
    GuardedList& l = List(true);
    std::mt19937 random(7);
    std::vector<uint64_t> keys;
    for (int i = 0; i < 1000; ++i) {
        keys.push_back(i);
    }
    MakeItems(keys);
    AddAll(l);
    for (auto& item : items) {
        item->key = random() % 16;
    }
    l.Sort();
    std::vector<TestItem*> sorted = Contents(l);
    ASSERT_EQ(sorted.size(), items.size());
    for (size_t i = 1; i < sorted.size(); ++i) {
        ASSERT_LE(sorted[i - 1]->key.load(), sorted[i]->key.load());
        if (sorted[i - 1]->key.load() == sorted[i]->key.load()) {
            ASSERT_LT(sorted[i - 1]->id, sorted[i]->id);
        }
    }
}

TEST_P(GuardedListTest, IterateUntilStopsAtTheFirstMatch) {
    GuardedList& l = List(true);
    MakeItems({1, 2, 3});
    AddAll(l);
    std::vector<int> seen;
    FunctionCallback two([&](TestItem* item) {
        seen.push_back(item->id);
        return item->key == 2;
    });
    l.IterateUntil(&two);
    EXPECT_EQ(seen, (std::vector<int>{0, 1}));
}

// The block list's walks: each visited item changes its key and repositions itself.
TEST_P(GuardedListTest, WalkVisitsEveryItemOnceWhileVisitedItemsRepositionThemselves) {
    GuardedList& l = List(true);
    MakeItems({10, 20, 30, 40, 50, 60});
    AddAll(l);
    std::map<int, int> visits;
    FunctionCallback restamp([&](TestItem* item) {
        ++visits[item->id];
        // Even ids move behind everything, odd ids to the front, 40 stays where it is.
        if (item->key != 40) {
            item->key = item->id % 2 == 0 ? 100 + item->id : item->id;
        }
        EXPECT_TRUE(item->Reposition());
        return false;
    });
    l.IterateUntil(&restamp);
    ASSERT_EQ(visits.size(), items.size());
    for (auto& [id, count] : visits) {
        EXPECT_EQ(count, 1) << "item " << id;
    }
    EXPECT_EQ(Ids(l), (std::vector<int>{1, 5, 3, 0, 2, 4}));
}

TEST_P(GuardedListTest, WalkVisitsAnUnvisitedItemMovedInFrontOfIt) {
    GuardedList& l = List(true);
    MakeItems({10, 20, 30, 40});
    AddAll(l);
    std::vector<int> seen;
    FunctionCallback moveLast([&](TestItem* item) {
        seen.push_back(item->id);
        if (item->id == 1) {
            items[3]->key = 0;  // the last item, not visited yet, jumps to the front
            EXPECT_TRUE(items[3]->Reposition());
        }
        return false;
    });
    l.IterateUntil(&moveLast);
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(Ids(l), (std::vector<int>{3, 0, 1, 2}));
}

TEST_P(GuardedListTest, WalkSurvivesSortAndRemovalFromInsideItsCallback) {
    GuardedList& l = List(true);
    MakeItems({10, 20, 30, 40, 50});
    AddAll(l);
    std::map<int, int> visits;
    FunctionCallback meddle([&](TestItem* item) {
        ++visits[item->id];
        if (item->id == 0) {
            items[2]->key = 5;
            items[4]->key = 1;
            l.Sort();
        }
        if (item->id == 1) {
            FunctionCallback three([](TestItem* other) { return other->id == 3; });
            EXPECT_EQ(l.RemoveFirstMatch(&three), items[3].get());
        }
        return false;
    });
    l.IterateUntil(&meddle);
    EXPECT_EQ(visits.count(3), 0u) << "removed while it was the next one to visit";
    for (int id : {0, 1, 2, 4}) {
        EXPECT_EQ(visits[id], 1) << "item " << id;
    }
    EXPECT_EQ(Ids(l), (std::vector<int>{4, 2, 0, 1}));
}

TEST_P(GuardedListTest, RemovingWalkToleratesCallbacksThatRemoveOrMoveTheVisitedItem) {
    GuardedList& l = List(true);
    MakeItems({1, 2, 3, 4, 5, 6});
    AddAll(l);
    std::vector<int> seen;
    FunctionCallback callback([&](TestItem* item) {
        seen.push_back(item->id);
        if (item->id == 1) {
            FunctionCallback self([&](TestItem* other) { return other == item; });
            EXPECT_EQ(l.RemoveFirstMatch(&self), item);  // the visited item leaves by itself
        }
        if (item->id == 2) {
            item->key = 100;
            EXPECT_TRUE(item->Reposition());  // moved behind, then removed by the walk
        }
        return item->id % 2 == 0 || item->id == 1;
    });
    EXPECT_TRUE(l.RemoveAllMatches(&callback));
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(Ids(l), (std::vector<int>{3, 5}));
    EXPECT_FALSE(items[1]->Reposition());
    EXPECT_FALSE(items[2]->Reposition());
}

TEST_P(GuardedListTest, ItemsAddedDuringAWalkAreNotVisitedByIt) {
    GuardedList& l = List(true);
    MakeItems({1, 2, 3, 0, 9});
    for (int i = 0; i < 3; ++i) {
        l.AddInOrder(items[i].get());
    }
    std::vector<int> seen;
    FunctionCallback adder([&](TestItem* item) {
        seen.push_back(item->id);
        if (item->id == 1) {
            l.AddInOrder(items[3].get());
            l.AddInOrder(items[4].get());
        }
        return false;
    });
    l.IterateUntil(&adder);
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Ids(l), (std::vector<int>{3, 0, 1, 2, 4}));
}

INSTANTIATE_TEST_SUITE_P(LockedAndUnlocked, GuardedListTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ThreadSafe" : "Unguarded";
                         });

// Several threads add, re-key and reposition, and remove their own items while a walker repositions
// every item it visits; at the end the list holds exactly the items that claim it, once each, in order.
TEST(GuardedListConcurrencyTest, ConcurrentChangesKeepTheListConsistent) {
    constexpr int kThreads = 4;
    constexpr int kItemsPerThread = 64;
    constexpr int kRounds = 3000;
    GuardedList list(true, true);
    std::vector<std::unique_ptr<TestItem>> items;
    for (int i = 0; i < kThreads * kItemsPerThread; ++i) {
        items.push_back(std::make_unique<TestItem>(i, static_cast<uint64_t>(i % 17)));
    }
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t + 1));
            // Which of this thread's items are in the list: only this thread adds and removes them.
            std::vector<bool> member(kItemsPerThread, false);
            for (int round = 0; round < kRounds; ++round) {
                const int index = static_cast<int>(random() % kItemsPerThread);
                TestItem* item = items[t * kItemsPerThread + index].get();
                switch (random() % 4) {
                    case 0:
                        list.AddInOrder(item);
                        member[index] = true;
                        break;
                    case 1:
                        item->key = random() % 1000;
                        EXPECT_EQ(item->Reposition(), member[index]);
                        break;
                    case 2: {
                        FunctionCallback self([&](TestItem* other) { return other == item; });
                        EXPECT_EQ(list.RemoveFirstMatch(&self), member[index] ? item : nullptr);
                        member[index] = false;
                        break;
                    }
                    default:
                        list.Reposition(item);  // adds it when it is in no list
                        member[index] = true;
                        break;
                }
            }
            finished.fetch_add(1);
        });
    }
    std::map<int, int> walkVisits;
    std::thread walker([&] {
        while (!stop.load()) {
            walkVisits.clear();
            FunctionCallback visit([&](TestItem* item) {
                ++walkVisits[item->id];
                EXPECT_TRUE(item->Reposition());  // the walker holds the lock: the item cannot leave
                return false;
            });
            list.IterateUntil(&visit);
            for (auto& [id, count] : walkVisits) {
                EXPECT_EQ(count, 1) << "item " << id;
            }
            list.Sort();
        }
    });
    const bool done =
        TarvosTest::WaitUntil([&] { return finished.load() == kThreads; }, std::chrono::milliseconds(120000));
    stop = true;
    walker.join();
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(done) << "the workers did not finish in time";

    // Every item either is in the list exactly once, or is free (Reposition refuses).
    list.Sort();
    std::vector<TestItem*> contents = Contents(list);
    std::map<TestItem*, int> counts;
    for (TestItem* item : contents) {
        ++counts[item];
    }
    for (size_t i = 1; i < contents.size(); ++i) {
        EXPECT_LE(contents[i - 1]->key.load(), contents[i]->key.load());
    }
    for (auto& item : items) {
        const auto found = counts.find(item.get());
        const bool inList = found != counts.end();
        if (inList) {
            EXPECT_EQ(found->second, 1) << "item " << item->id;
        }
        EXPECT_EQ(item->Reposition(), inList) << "item " << item->id;
    }
    while (list.GetAndRemoveFront() != nullptr) {
    }
}

TEST(GuardedListConcurrencyTest, AnItemJoinsOnlyOneOfTwoListsAddingItAtOnce) {
    constexpr int kRounds = 500;
    GuardedList first(true, true);
    GuardedList second(true, true);
    for (int round = 0; round < kRounds; ++round) {
        TestItem item(round, 1);
        std::atomic<int> ready{0};
        auto add = [&](GuardedList* list) {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            list->AddInOrder(&item);
        };
        std::thread a(add, &first);
        std::thread b(add, &second);
        a.join();
        b.join();
        GuardedListItem* fromFirst = first.GetAndRemoveFront();
        GuardedListItem* fromSecond = second.GetAndRemoveFront();
        ASSERT_NE(fromFirst == &item, fromSecond == &item) << "round " << round;
        ASSERT_EQ(first.GetAndRemoveFront(), nullptr);
        ASSERT_EQ(second.GetAndRemoveFront(), nullptr);
    }
}

}  // namespace
