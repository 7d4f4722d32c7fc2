// SharedObjectList: an ordered list of distinct shared objects (index 0 at the front) that holds one
// reference on every non-null member. SharedObjectPool: a bounded set of reusable shared objects, each
// either free or handed out, held in two such lists; the object added or returned last is handed out
// first, and taking an object from the pool gives the caller no reference of its own. A list has no lock
// (its user serialises access); every pool operation holds the pool's lock. Neither ever blocks on
// anything but that lock, and nothing is thrown except std::length_error and std::bad_alloc.
#pragma once

#include <cstdint>

#include "Tarvos/Export.h"
#include "Tarvos/SharedObject.h"

namespace Tarvos {

class MTCritSec;
class SharedObjectListStorage;

class TARVOS_EXPORT SharedObjectList : public SharedObject {
  public:
    static constexpr uint32_t kIndexInvalid = 0xFFFFFFFFu;

    class TARVOS_EXPORT IterateCallback {
      public:
        virtual ~IterateCallback();
        // Returning false stops the iteration. Must not change the list being iterated.
        virtual bool Callback(SharedObject* member, uint32_t index) = 0;
    };

    SharedObjectList();

    uint32_t Count();
    // Both return false (changing nothing) when the pointer is already a member, and take a reference
    // on a non-null member. Adding to a list of 0x3FFFFFFF members throws
    // std::length_error("list<T> too long").
    bool AddToFront(SharedObject* member);
    bool AddToBack(SharedObject* member);
    // Index of the member, or kIndexInvalid.
    uint32_t Find(SharedObject* member);
    // The member at index (no reference added); null when out of range.
    SharedObject* Get(uint32_t index);
    // Both unlink the member, then release the list's reference on it; false when there is none.
    bool Remove(SharedObject* member);
    bool Remove(uint32_t index);
    // Unlinks the member at index and releases the list's reference; the pointer returned may be used
    // only while another reference keeps the object alive. Null when out of range.
    SharedObject* GetAndRemove(uint32_t index);
    // Removes members from the front until the list is empty or its front member is null (a null front
    // member and everything behind it stay).
    void RemoveAll();
    // Calls the callback for each member front to back with its index, until it returns false.
    void Iterate(IterateCallback* callback);

  protected:
    // Releases every member, null members notwithstanding.
    ~SharedObjectList() override;

  private:
    friend class SharedObjectPool;
    // Membership in constant time, for the pool.
    bool Contains(SharedObject* member);

    SharedObjectListStorage* members;  // owned
};

class TARVOS_EXPORT SharedObjectPool : public SharedObject {
  public:
    explicit SharedObjectPool(uint32_t maximum);

    // Adds a new object to the free list; false for null, when the pool holds its maximum, or when the
    // object is already free. Requires: the object is not handed out at the moment.
    virtual bool AddObjectToPool(SharedObject* object);
    // The most recently added or returned free object, now handed out; null when none is free.
    virtual SharedObject* GetObjectFromPool();
    // Puts a handed-out object back in front of the free list; false when it is not handed out.
    virtual bool ReturnObjectToPool(SharedObject* object);
    // Takes the object out of the pool, handed out or free; false when the pool does not know it.
    virtual bool DetachObjectFromPool(SharedObject* object);
    // Takes every object out of the pool, free ones first.
    virtual void PurgeAllObjects();
    virtual uint32_t GetTotalNumberOfObjects();
    virtual uint32_t GetNumberOfObjectsFree();
    virtual uint32_t GetNumberOfObjectsInUse();

  protected:
    ~SharedObjectPool() override;

  private:
    SharedObjectList* freeList;   // one reference owned; the pool's objects that are free
    SharedObjectList* inUseList;  // one reference owned; the pool's objects that are handed out
    MTCritSec* lock;              // owned; guards both lists; taken inside a buffer factory's lock
    uint32_t maximum;
};

}  // namespace Tarvos
