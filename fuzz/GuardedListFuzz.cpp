// Drives two guarded lists (one ascending and locked, one descending and unlocked) and a dozen shared
// items through operations decoded from the input, and checks each list's contents and order, every
// walk's visits and every removal against a plain model of the same lists. Walks whose callbacks move
// or remove the visited item are included. The items are shared objects: the lists must never change
// their reference counts, and each is destroyed exactly once, at the end, by its last reference.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "CoreClasses/GuardedList.h"
#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "FuzzStart.h"
#include "Tarvos/SharedObject.h"

using Tarvos::GuardedList;
using Tarvos::GuardedListItem;
using TarvosFuzz::FuzzInput;

namespace {

constexpr int kItems = 12;
constexpr int kLists = 2;
constexpr int kNone = -1;
constexpr int kMaxOperations = 300;

class FuzzItem : public Tarvos::SharedObject, public GuardedListItem {
  public:
    FuzzItem(int id, std::atomic<int>* destroyed) : id(id), destroyed(destroyed) {}
    uint64_t GetSortKey() override {
        TARVOS_FUZZ_CHECK(alive == kAlive, "key of item %d read after it was destroyed", id);
        return key;
    }
    const int id;
    uint64_t key = 0;

  protected:
    ~FuzzItem() override {
        TARVOS_FUZZ_CHECK(alive == kAlive, "item %d destroyed twice", id);
        alive = 0;
        ++*destroyed;
    }

  private:
    static constexpr uint32_t kAlive = 0xA11FE;
    uint32_t alive = kAlive;
    std::atomic<int>* destroyed;
};

class FunctionCallback : public GuardedList::MatchCallback {
  public:
    explicit FunctionCallback(std::function<bool(FuzzItem*)> function) : function(std::move(function)) {}
    bool Matches(GuardedListItem* item) override {
        TARVOS_FUZZ_CHECK(item != nullptr, "a walk visited a null item");
        return function(static_cast<FuzzItem*>(item));
    }

  private:
    std::function<bool(FuzzItem*)> function;
};

// The lists as plain vectors of item ids, with the insertion rule written out: the back is tested
// first, otherwise the new item goes before the first item that must follow it, walking from the front
// of the list as it stands (which may be out of order after keys changed in place).
class Model {
  public:
    explicit Model(const std::vector<FuzzItem*>& items) : items(items), owner(kItems, kNone) {}

    bool Ascending(int list) const { return list == 0; }

    void Insert(int list, int id) {
        std::vector<int>& order = orders[list];
        const uint64_t key = items[id]->key;
        const bool ascending = Ascending(list);
        auto follows = [&](int other) {
            const uint64_t otherKey = items[other]->key;
            return ascending ? otherKey > key : otherKey < key;
        };
        if (order.empty() || !follows(order.back())) {
            order.push_back(id);
        } else {
            order.insert(std::find_if(order.begin(), order.end(), follows), id);
        }
        owner[id] = list;
    }

    void Remove(int id) {
        std::vector<int>& order = orders[owner[id]];
        order.erase(std::find(order.begin(), order.end(), id));
        owner[id] = kNone;
    }

    void Move(int id) {
        const int list = owner[id];
        Remove(id);
        Insert(list, id);
    }

    void AddInOrder(int list, int id) {
        if (owner[id] == list) {
            Move(id);
        } else if (owner[id] == kNone) {
            Insert(list, id);
        }
    }

    void Sort(int list) {
        std::stable_sort(orders[list].begin(), orders[list].end(), [&](int a, int b) {
            return Ascending(list) ? items[a]->key < items[b]->key : items[a]->key > items[b]->key;
        });
    }

    const std::vector<FuzzItem*>& items;
    std::vector<int> owner;
    std::vector<int> orders[kLists];
};

struct Bed {
    Bed() : model(items) {
        for (int i = 0; i < kItems; ++i) {
            items.push_back(new FuzzItem(i, &destroyed));
        }
    }

    std::vector<int> Contents(int list) {
        std::vector<int> ids;
        FunctionCallback collect([&](FuzzItem* item) {
            ids.push_back(item->id);
            return false;
        });
        lists[list].IterateUntil(&collect);
        return ids;
    }

    void Compare(const char* after) {
        for (int list = 0; list < kLists; ++list) {
            const std::vector<int> ids = Contents(list);
            TARVOS_FUZZ_CHECK(ids == model.orders[list],
                              "after %s: list %d holds %zu items, model %zu (or order differs)", after, list,
                              ids.size(), model.orders[list].size());
        }
        for (FuzzItem* item : items) {
            TARVOS_FUZZ_CHECK(item->GetRefCount() == 1, "after %s: item %d has %d references", after,
                              item->id, item->GetRefCount());
        }
        TARVOS_FUZZ_CHECK(destroyed.load() == 0, "after %s: %d items destroyed while in use", after,
                          destroyed.load());
    }

    std::atomic<int> destroyed{0};
    std::vector<FuzzItem*> items;
    GuardedList lists[kLists] = {GuardedList(true, true), GuardedList(false, false)};
    Model model;
};

uint64_t DecodeKey(FuzzInput& input) {
    const uint8_t kind = input.Byte();
    switch (kind % 8) {
        case 0:
            return 0xFFFFFFFFFFFFFFFFull - (kind >> 3);
        case 1:
            return 0xFFFFFFFFull + (kind >> 3);  // a 32-bit stamp that wrapped, widened
        default:
            return kind % 6;  // few distinct keys: many ties
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TarvosFuzz::StartLibraryOnce();
    FuzzInput input(data, size);
    Bed bed;
    Model& model = bed.model;
    for (FuzzItem* item : bed.items) {
        item->key = DecodeKey(input);
    }
    for (int step = 0; step < kMaxOperations && !input.Done(); ++step) {
        const uint8_t op = input.Byte();
        const int list = (op >> 4) % kLists;
        GuardedList& guarded = bed.lists[list];
        const int id = input.Byte() % kItems;
        FuzzItem* item = bed.items[id];
        const char* name = "?";
        switch (op % 13) {
            case 0:
                name = "AddInOrder";
                guarded.AddInOrder(item);
                model.AddInOrder(list, id);
                break;
            case 1:
                name = "AddInOrder(null)";
                guarded.AddInOrder(nullptr);
                break;
            case 2:
                name = "list Reposition";
                guarded.Reposition(item);
                if (model.owner[id] == list) {
                    model.Move(id);
                } else {
                    model.AddInOrder(list, id);
                }
                break;
            case 3: {
                name = "item Reposition";
                const bool moved = item->Reposition();
                TARVOS_FUZZ_CHECK(moved == (model.owner[id] != kNone), "item %d Reposition said %d", id,
                                  moved);
                if (moved) {
                    model.Move(id);
                }
                break;
            }
            case 4:
                name = "key change in place";
                item->key = DecodeKey(input);
                break;
            case 5:
                name = "Sort";
                guarded.Sort();
                model.Sort(list);
                break;
            case 6: {
                name = "GetAndRemoveFront";
                GuardedListItem* front = guarded.GetAndRemoveFront();
                const int expected = model.orders[list].empty() ? kNone : model.orders[list].front();
                TARVOS_FUZZ_CHECK(front == (expected == kNone ? nullptr : bed.items[expected]),
                                  "GetAndRemoveFront of list %d gave the wrong item (model %d)", list,
                                  expected);
                if (expected != kNone) {
                    model.Remove(expected);
                }
                break;
            }
            case 7:
            case 8: {
                // Removal by a set of ids; every visit is checked against the model's order.
                const uint32_t mask = uint32_t{input.Byte()} << 8 | input.Byte();
                const bool all = op % 13 == 8;
                name = all ? "RemoveAllMatches" : "RemoveFirstMatch";
                std::vector<int> visits;
                FunctionCallback matching([&](FuzzItem* visited) {
                    visits.push_back(visited->id);
                    return (mask >> visited->id & 1) != 0;
                });
                std::vector<int> expectedVisits;
                std::vector<int> expectedRemoved;
                for (int member : model.orders[list]) {
                    expectedVisits.push_back(member);
                    if (mask >> member & 1) {
                        expectedRemoved.push_back(member);
                        if (!all) {
                            break;
                        }
                    }
                }
                if (all) {
                    const bool removed = guarded.RemoveAllMatches(&matching);
                    TARVOS_FUZZ_CHECK(removed == !expectedRemoved.empty(), "RemoveAllMatches said %d",
                                      removed);
                } else {
                    GuardedListItem* removed = guarded.RemoveFirstMatch(&matching);
                    TARVOS_FUZZ_CHECK(
                        removed == (expectedRemoved.empty() ? nullptr : bed.items[expectedRemoved[0]]),
                        "RemoveFirstMatch removed the wrong item");
                }
                TARVOS_FUZZ_CHECK(visits == expectedVisits,
                                  "%s visited %zu items, model %zu (or in another order)", name,
                                  visits.size(), expectedVisits.size());
                for (int removed : expectedRemoved) {
                    model.Remove(removed);
                }
                TARVOS_FUZZ_CHECK(
                    !guarded.RemoveAllMatches(nullptr) && guarded.RemoveFirstMatch(nullptr) == nullptr,
                    "a null callback removed something");
                guarded.IterateUntil(nullptr);
                break;
            }
            case 9: {
                name = "IterateUntil";
                const uint32_t mask = uint32_t{input.Byte()} << 8 | input.Byte();
                std::vector<int> visits;
                FunctionCallback stopping([&](FuzzItem* visited) {
                    visits.push_back(visited->id);
                    return (mask >> visited->id & 1) != 0;
                });
                guarded.IterateUntil(&stopping);
                std::vector<int> expectedVisits;
                for (int member : model.orders[list]) {
                    expectedVisits.push_back(member);
                    if (mask >> member & 1) {
                        break;
                    }
                }
                TARVOS_FUZZ_CHECK(visits == expectedVisits, "IterateUntil visited %zu items, model %zu",
                                  visits.size(), expectedVisits.size());
                break;
            }
            case 10:
            case 11: {
                // A walk whose callback re-keys and moves visited items (as a block re-stamps itself),
                // or takes the visited item out of the list itself, and, in a removal walk, also matches
                // some. Every item present at the start is visited exactly once, in whatever order the
                // moves make; the model replays the same changes in the order the walk made them.
                const bool removing = op % 13 == 11;
                name = removing ? "RemoveAllMatches moving items" : "IterateUntil moving items";
                const uint32_t moveMask = uint32_t{input.Byte()} << 8 | input.Byte();
                const uint32_t takeMask = uint32_t{input.Byte()} << 8 | input.Byte();
                const uint32_t matchMask = removing ? (uint32_t{input.Byte()} << 8 | input.Byte()) : 0;
                const uint64_t keyBase = DecodeKey(input);
                const std::vector<int> present = model.orders[list];
                std::vector<int> visits;
                // The walk removes a matching item as soon as its callback returns, before the next
                // visit, so the model does too: later moves are placed among the items left.
                int matched = kNone;
                auto removeMatched = [&] {
                    if (matched != kNone && model.owner[matched] == list) {
                        model.Remove(matched);
                    }
                    matched = kNone;
                };
                FunctionCallback moving([&](FuzzItem* visited) {
                    removeMatched();
                    const int v = visited->id;
                    visits.push_back(v);
                    if (matchMask >> v & 1) {
                        matched = v;
                    }
                    if (takeMask >> v & 1) {
                        FunctionCallback exact([&](FuzzItem* other) { return other == visited; });
                        GuardedListItem* taken = guarded.RemoveFirstMatch(&exact);
                        TARVOS_FUZZ_CHECK(taken == visited, "a nested removal missed the visited item %d", v);
                        model.Remove(v);
                        return (matchMask >> v & 1) != 0;
                    }
                    if (moveMask >> v & 1) {
                        visited->key = keyBase + static_cast<uint64_t>(v % 3);
                        TARVOS_FUZZ_CHECK(visited->Reposition(), "visited item %d is in no list", v);
                        model.Move(v);
                    }
                    return (matchMask >> v & 1) != 0;
                });
                if (removing) {
                    guarded.RemoveAllMatches(&moving);
                } else {
                    guarded.IterateUntil(&moving);
                }
                std::vector<int> sortedVisits = visits;
                std::sort(sortedVisits.begin(), sortedVisits.end());
                std::vector<int> sortedPresent = present;
                std::sort(sortedPresent.begin(), sortedPresent.end());
                TARVOS_FUZZ_CHECK(sortedVisits == sortedPresent,
                                  "%s visited %zu items of the %zu present (some twice or not at all)", name,
                                  visits.size(), present.size());
                removeMatched();
                break;
            }
            default: {
                name = "SortsBefore";
                FuzzItem* other = bed.items[input.Byte() % kItems];
                const bool descending = model.owner[id] != kNone && !model.Ascending(model.owner[id]);
                const bool expected = descending ? item->key > other->key : item->key < other->key;
                TARVOS_FUZZ_CHECK(item->SortsBefore(other) == expected, "item %d SortsBefore item %d", id,
                                  other->id);
                TARVOS_FUZZ_CHECK(!item->SortsBefore(nullptr), "SortsBefore(null) is true");
                break;
            }
        }
        bed.Compare(name);
    }
    // Empty the lists as their users do, then drop the only references.
    for (int list = 0; list < kLists; ++list) {
        while (GuardedListItem* front = bed.lists[list].GetAndRemoveFront()) {
            model.Remove(static_cast<FuzzItem*>(front)->id);
        }
        TARVOS_FUZZ_CHECK(model.orders[list].empty(), "list %d lost items", list);
    }
    for (FuzzItem* item : bed.items) {
        TARVOS_FUZZ_CHECK(!item->Reposition(), "item %d still has a list", item->id);
        item->DecRef(TARVOS_CALL_SITE);
    }
    TARVOS_FUZZ_CHECK(bed.destroyed.load() == kItems, "%d of %d items destroyed", bed.destroyed.load(),
                      kItems);
    return 0;
}
