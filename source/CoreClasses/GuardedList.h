// An ordered list of pointers to GuardedListItem objects, optionally guarded by a re-entrant critical
// section. The list never owns its items: it takes no references and never deletes them; it owns only
// its links. Any thread may call a thread-safe list; callbacks run on the calling thread with the lock
// held, and may make the visited item reposition itself in the same list. Internal to the library.
#pragma once

#include <atomic>
#include <cstdint>

namespace Tarvos {

class GuardedList;
class MTCritSec;

// Base of every list element. An item is in at most one list at a time and must be out of it before it
// is destroyed (the destructor does not touch the list).
class GuardedListItem {
  public:
    virtual ~GuardedListItem();
    virtual uint64_t GetSortKey() = 0;

    // Moves this item to the place its current key calls for in the list it is in. False when the item
    // is in no list (or left it before the list's lock was taken); nothing is done then.
    bool Reposition();

    // Strict "less than" in the direction of the owning list: a greater key sorts first in a descending
    // list; a smaller key sorts first in an ascending list and for an item in no list.
    bool SortsBefore(GuardedListItem* other);

  protected:
    GuardedListItem() = default;
    GuardedListItem(const GuardedListItem&) = delete;
    GuardedListItem& operator=(const GuardedListItem&) = delete;

  private:
    friend class GuardedList;
    // Written only under the owning list's lock; atomic because Reposition reads it before it knows
    // which lock to take, and because claiming it (null -> list) keeps an item out of two lists.
    std::atomic<GuardedList*> owner{nullptr};
};

class GuardedList {
  public:
    // Selects items, stops walks and picks removals; Matches is called on items from the front.
    class MatchCallback {
      public:
        virtual ~MatchCallback();
        virtual bool Matches(GuardedListItem* item) = 0;
    };

    // ascending: smallest key at the front. threadSafe: every operation takes the list's lock.
    GuardedList(bool ascending, bool threadSafe);
    // Frees the links only; items are neither deleted nor detached (callers empty the list first).
    virtual ~GuardedList();

    // Behind every item of equal key. An item of another list is refused silently; an item already in
    // this list is moved to its place instead of being linked twice. Ignores null.
    void AddInOrder(GuardedListItem* item);
    // Moves the item to the place its current key calls for; adds it if it is in no list.
    void Reposition(GuardedListItem* item);
    // Calls Matches on every item from the front until one returns true.
    void IterateUntil(MatchCallback* callback);
    // Removes and returns the first item Matches accepts; null if none (or a null callback).
    GuardedListItem* RemoveFirstMatch(MatchCallback* callback);
    // Removes every item Matches accepts; true if at least one was removed.
    bool RemoveAllMatches(MatchCallback* callback);
    // Null when the list is empty.
    GuardedListItem* GetAndRemoveFront();
    // Stable sort by the items' current keys, for walks that changed keys without moving items.
    void Sort();

    GuardedList(const GuardedList&) = delete;
    GuardedList& operator=(const GuardedList&) = delete;

  private:
    friend class GuardedListItem;
    struct Link;
    struct Walk;
    enum class WalkMode_t { kStopAtMatch, kRemoveFirstMatch, kRemoveAllMatches };

    // Moves the item if it is in this list; false otherwise (then nothing is done).
    bool MoveIfMember(GuardedListItem* item);
    // One walk from the front. Returns the item removed by kRemoveFirstMatch; counts the items removed.
    GuardedListItem* RunWalk(MatchCallback* callback, WalkMode_t mode, uint32_t* removed);

    Link* Find(GuardedListItem* item) const;
    void InsertInOrder(Link* link, uint64_t key);
    void LinkBefore(Link* link, Link* successor);
    void Unlink(Link* link);
    void NoteMoved(Link* link);
    void RemoveAndFree(Link* link);

    MTCritSec* const lock;  // guards every field below and the owner of every member item; taken after
                            // a dispatcher's lock; callbacks take an item's own lock inside this one
    Link* front = nullptr;
    Link* back = nullptr;
    const bool ascending;
    uint64_t sequence = 0;  // numbers links as they are created and walks as they start
    Walk* walks = nullptr;  // walks in progress on the lock's owning thread, innermost first
};

}  // namespace Tarvos
