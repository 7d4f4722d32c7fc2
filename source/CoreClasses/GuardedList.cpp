// The list is its own doubly linked chain of links, one per member item.
//
// Walks and changes made by their callbacks. A callback runs with the lock held, so only the walking
// thread can change the list while a walk is in progress, and only from inside a callback. Every walk
// in progress is registered (innermost first) and the list keeps it valid:
//   - a link that is unlinked while a walk is about to visit it hands the walk on to its successor;
//   - a link that is freed while a walk is visiting it is forgotten by that walk;
//   - a moved link keeps its identity (Reposition relinks the same link), and every link remembers the
//     last walk that visited it, so an item moved behind the walk is not visited twice;
//   - an item not yet visited that a callback moves (possibly in front of the walk), or a Sort inside a
//     callback, makes the walk go over the list again at its end, visiting only what it has not visited;
//   - links created after the walk started are not visited by it.
// So a walk visits every item that was in the list when it started and is still there, each once.
// Walks of the same list nested inside callbacks keep separate visit marks up to a few levels deep;
// walks nested deeper share the deepest marks, so the walks they run inside may visit an item twice.
#include "CoreClasses/GuardedList.h"

#include <memory>
#include <new>

#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {
// Walks nested up to this depth keep their own visit marks; deeper ones share the last mark.
constexpr unsigned kMarkedDepths = 3;
}  // namespace

struct GuardedList::Link {
    GuardedListItem* item;
    Link* previous = nullptr;
    Link* next = nullptr;
    uint64_t createdAt = 0;                  // a number of the list's sequence
    uint64_t visitedBy[kMarkedDepths] = {};  // per nesting depth: the last walk that visited this link
};

// GCC cannot see that the destructor takes the walk off the list before it goes out of scope.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
struct GuardedList::Walk {
    explicit Walk(GuardedList* list)
        : list(list),
          id(++list->sequence),
          depth(list->walks == nullptr ? 0 : NestedDepth(list->walks->depth)),
          next(list->front),
          outer(list->walks) {
        list->walks = this;
    }
    ~Walk() { list->walks = outer; }
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    static unsigned NestedDepth(unsigned outerDepth) {
        return outerDepth + 1 < kMarkedDepths ? outerDepth + 1 : kMarkedDepths - 1;
    }
    bool Visited(const Link* link) const { return link->visitedBy[depth] == id; }

    GuardedList* const list;
    const uint64_t id;
    const unsigned depth;     // how many walks of the list this one runs inside (capped)
    Link* next;               // the link to look at next; null at the end of the chain
    Link* current = nullptr;  // the link being visited; null once it was freed
    bool again = false;       // an unvisited link moved: go over the list once more at the end
    Walk* const outer;
};
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

MTCritSec* NewListLock(bool threadSafe) {
    if (!threadSafe) {
        return nullptr;
    }
    MTCritSec* lock = MTInterface::NewCritSec();
    if (lock == nullptr) {
        throw std::bad_alloc();
    }
    return lock;
}

}  // namespace

GuardedListItem::~GuardedListItem() = default;

bool GuardedListItem::Reposition() {
    // Read without a lock: the list to lock is not known before; the list checks membership again
    // under its lock.
    GuardedList* list = owner.load();
    return list != nullptr && list->MoveIfMember(this);
}

bool GuardedListItem::SortsBefore(GuardedListItem* other) {
    if (other == nullptr) {
        return false;
    }
    const GuardedList* list = owner.load();
    if (list != nullptr && !list->ascending) {
        return GetSortKey() > other->GetSortKey();
    }
    return GetSortKey() < other->GetSortKey();
}

GuardedList::MatchCallback::~MatchCallback() = default;

GuardedList::GuardedList(bool ascending, bool threadSafe)
    : lock(NewListLock(threadSafe)), ascending(ascending) {}

GuardedList::~GuardedList() {
    // Requires: the list is empty, or its remaining items outlive it and never ask it for anything.
    for (Link* link = front; link != nullptr;) {
        Link* next = link->next;
        delete link;
        link = next;
    }
    delete lock;
}

void GuardedList::AddInOrder(GuardedListItem* item) {
    if (item == nullptr) {
        return;
    }
    MTCritSecHold holder(lock);
    GuardedList* current = item->owner.load();
    if (current == this && MoveIfMember(item)) {
        return;
    }
    if (current != nullptr && current != this) {
        return;
    }
    std::unique_ptr<Link> link(new Link{item});
    // Claiming the owner keeps two lists that add the same free item at once from both linking it.
    GuardedList* expected = nullptr;
    if (current == nullptr && !item->owner.compare_exchange_strong(expected, this)) {
        return;
    }
    const uint64_t key = item->GetSortKey();
    link->createdAt = ++sequence;
    InsertInOrder(link.release(), key);
}

void GuardedList::Reposition(GuardedListItem* item) {
    if (item == nullptr) {
        return;
    }
    MTCritSecHold holder(lock);
    if (!MoveIfMember(item)) {
        AddInOrder(item);
    }
}

void GuardedList::IterateUntil(MatchCallback* callback) {
    if (callback != nullptr) {
        RunWalk(callback, WalkMode_t::kStopAtMatch, nullptr);
    }
}

GuardedListItem* GuardedList::RemoveFirstMatch(MatchCallback* callback) {
    if (callback == nullptr) {
        return nullptr;
    }
    return RunWalk(callback, WalkMode_t::kRemoveFirstMatch, nullptr);
}

bool GuardedList::RemoveAllMatches(MatchCallback* callback) {
    if (callback == nullptr) {
        return false;
    }
    uint32_t removed = 0;
    RunWalk(callback, WalkMode_t::kRemoveAllMatches, &removed);
    return removed > 0;
}

GuardedListItem* GuardedList::GetAndRemoveFront() {
    MTCritSecHold holder(lock);
    if (front == nullptr) {
        return nullptr;
    }
    GuardedListItem* item = front->item;
    RemoveAndFree(front);
    return item;
}

void GuardedList::Sort() {
    MTCritSecHold holder(lock);
    if (front == nullptr || front == back) {
        return;
    }
    // Bottom-up merge sort of the chain through `next`: bucket i holds a sorted run of 2^i links, and
    // higher buckets hold earlier links. Each merge takes from the later run only when its link sorts
    // strictly before, so equal keys keep their order.
    auto merge = [](Link* earlier, Link* later) {
        Link head{nullptr};
        Link* tail = &head;
        while (earlier != nullptr && later != nullptr) {
            Link** taken = later->item->SortsBefore(earlier->item) ? &later : &earlier;
            tail->next = *taken;
            tail = *taken;
            *taken = (*taken)->next;
        }
        tail->next = earlier != nullptr ? earlier : later;
        return head.next;
    };
    Link* buckets[64] = {};
    for (Link* link = front; link != nullptr;) {
        Link* run = link;
        link = link->next;
        run->next = nullptr;
        unsigned i = 0;
        for (; buckets[i] != nullptr; ++i) {
            run = merge(buckets[i], run);
            buckets[i] = nullptr;
        }
        buckets[i] = run;
    }
    Link* sorted = nullptr;
    for (Link* run : buckets) {
        if (run != nullptr) {
            sorted = sorted == nullptr ? run : merge(run, sorted);
        }
    }
    front = sorted;
    Link* previous = nullptr;
    for (Link* link = sorted; link != nullptr; link = link->next) {
        link->previous = previous;
        previous = link;
    }
    back = previous;
    for (Walk* walk = walks; walk != nullptr; walk = walk->outer) {
        walk->again = true;
    }
}

bool GuardedList::MoveIfMember(GuardedListItem* item) {
    MTCritSecHold holder(lock);
    Link* link = Find(item);
    if (link == nullptr) {
        return false;
    }
    Unlink(link);
    InsertInOrder(link, item->GetSortKey());
    NoteMoved(link);
    return true;
}

GuardedListItem* GuardedList::RunWalk(MatchCallback* callback, WalkMode_t mode, uint32_t* removed) {
    MTCritSecHold holder(lock);
    Walk walk(this);
    for (;;) {
        if (walk.next == nullptr) {
            if (!walk.again) {
                return nullptr;
            }
            walk.again = false;
            walk.next = front;
            continue;
        }
        Link* link = walk.next;
        walk.next = link->next;
        if (link->createdAt > walk.id || walk.Visited(link)) {
            continue;
        }
        link->visitedBy[walk.depth] = walk.id;
        walk.current = link;
        if (!callback->Matches(link->item)) {
            continue;
        }
        if (mode == WalkMode_t::kStopAtMatch) {
            return nullptr;
        }
        if (walk.current == nullptr) {
            continue;  // the callback took the item out of the list itself
        }
        GuardedListItem* item = link->item;
        RemoveAndFree(link);
        if (mode == WalkMode_t::kRemoveFirstMatch) {
            return item;
        }
        ++*removed;
    }
}

GuardedList::Link* GuardedList::Find(GuardedListItem* item) const {
    for (Link* link = front; link != nullptr; link = link->next) {
        if (link->item == item) {
            return link;
        }
    }
    return nullptr;
}

void GuardedList::InsertInOrder(Link* link, uint64_t key) {
    // The back is tested first: a key that belongs behind everything (a fresh time stamp) costs no walk.
    if (back == nullptr) {
        LinkBefore(link, nullptr);
        return;
    }
    const uint64_t backKey = back->item->GetSortKey();
    if (ascending ? backKey <= key : backKey >= key) {
        LinkBefore(link, nullptr);
        return;
    }
    Link* successor = front;
    while (successor != nullptr) {
        const uint64_t otherKey = successor->item->GetSortKey();
        if (ascending ? otherKey > key : otherKey < key) {
            break;
        }
        successor = successor->next;
    }
    LinkBefore(link, successor);
}

void GuardedList::LinkBefore(Link* link, Link* successor) {
    Link* predecessor = successor != nullptr ? successor->previous : back;
    link->previous = predecessor;
    link->next = successor;
    (predecessor != nullptr ? predecessor->next : front) = link;
    (successor != nullptr ? successor->previous : back) = link;
}

void GuardedList::Unlink(Link* link) {
    for (Walk* walk = walks; walk != nullptr; walk = walk->outer) {
        if (walk->next == link) {
            walk->next = link->next;
        }
    }
    (link->previous != nullptr ? link->previous->next : front) = link->next;
    (link->next != nullptr ? link->next->previous : back) = link->previous;
    link->previous = nullptr;
    link->next = nullptr;
}

void GuardedList::NoteMoved(Link* link) {
    for (Walk* walk = walks; walk != nullptr; walk = walk->outer) {
        if (link->createdAt < walk->id && !walk->Visited(link)) {
            walk->again = true;
        }
    }
}

void GuardedList::RemoveAndFree(Link* link) {
    Unlink(link);
    for (Walk* walk = walks; walk != nullptr; walk = walk->outer) {
        if (walk->current == link) {
            walk->current = nullptr;
        }
    }
    link->item->owner.store(nullptr);
    delete link;
}

}  // namespace Tarvos
