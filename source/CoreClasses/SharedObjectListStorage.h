// The member storage of a SharedObjectList: an ordered sequence of pointers (a circular doubly linked
// list with a sentinel), index 0 at the front, with a bound on its length, and a hash index from each
// member to its node, so that membership tests and removal by member take constant time (a pool of a
// quarter of a million buffers would otherwise be quadratic to build and to empty). Members are
// unique (SharedObjectList refuses a second copy). It only stores pointers; the reference counting
// belongs to SharedObjectList. Not synchronised.
#pragma once

#include <cstdint>
#include <iterator>
#include <list>
#include <stdexcept>
#include <unordered_map>

namespace Tarvos {

class SharedObject;

class SharedObjectListStorage {
  public:
    static constexpr uint32_t kIndexInvalid = 0xFFFFFFFFu;
    // The most members a list may hold; one more throws std::length_error("list<T> too long").
    static constexpr uint32_t kMaximumCount = 0x3FFFFFFFu;

    explicit SharedObjectListStorage(uint32_t maximumCount = kMaximumCount) : maximumCount(maximumCount) {}

    uint32_t Count() const { return static_cast<uint32_t>(members.size()); }

    // Both throw std::length_error("list<T> too long") when the storage is full, and std::bad_alloc
    // when a node cannot be allocated; the storage is unchanged then.
    void InsertFront(SharedObject* member) {
        CheckRoomForOneMore();
        members.push_front(member);
        IndexOrUndo(member, members.begin());
    }
    void InsertBack(SharedObject* member) {
        CheckRoomForOneMore();
        members.push_back(member);
        IndexOrUndo(member, std::prev(members.end()));
    }

    bool Contains(SharedObject* member) const { return nodes.find(member) != nodes.end(); }

    // The member's index: constant time when it is absent, a walk to its node when present.
    uint32_t Find(SharedObject* member) const {
        if (!Contains(member)) {
            return kIndexInvalid;
        }
        uint32_t index = 0;
        for (SharedObject* candidate : members) {
            if (candidate == member) {
                return index;
            }
            ++index;
        }
        return kIndexInvalid;
    }

    // Requires: index < Count().
    SharedObject* At(uint32_t index) const { return *std::next(members.begin(), index); }

    // Requires: index < Count(). Unlinks the node and returns its member.
    SharedObject* Unlink(uint32_t index) {
        // The front and back, where pools and queues work, without a walk.
        auto node =
            index + 1 == members.size() ? std::prev(members.end()) : std::next(members.begin(), index);
        SharedObject* member = *node;
        nodes.erase(member);
        members.erase(node);
        return member;
    }

    // Unlinks the node holding member; false when there is none.
    bool UnlinkMember(SharedObject* member) {
        const auto found = nodes.find(member);
        if (found == nodes.end()) {
            return false;
        }
        members.erase(found->second);
        nodes.erase(found);
        return true;
    }

    // Calls visit(member, index) front to back until it returns false. The next node is read after
    // visit returns, so visit must not change the storage.
    template <typename Visitor>
    void ForEach(Visitor visit) const {
        uint32_t index = 0;
        for (auto node = members.begin(); node != members.end(); ++node, ++index) {
            if (!visit(*node, index)) {
                return;
            }
        }
    }

  private:
    void CheckRoomForOneMore() const {
        if (members.size() >= maximumCount) {
            throw std::length_error("list<T> too long");
        }
    }

    // Indexes the node just linked; unlinks it again when the index cannot grow.
    void IndexOrUndo(SharedObject* member, std::list<SharedObject*>::iterator node) {
        try {
            nodes.emplace(member, node);
        } catch (...) {
            members.erase(node);
            throw;
        }
    }

    std::list<SharedObject*> members;
    std::unordered_map<SharedObject*, std::list<SharedObject*>::iterator> nodes;  // member -> its node
    uint32_t maximumCount;
};

}  // namespace Tarvos
