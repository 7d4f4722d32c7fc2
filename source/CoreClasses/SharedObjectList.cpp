// Reference rule: the list holds one reference on every non-null member. Removal always unlinks the
// node before releasing that reference, so a member whose destruction reaches back into the list never
// finds itself still linked.
#include "Tarvos/SharedObjectList.h"

#include "CoreClasses/CallSite.h"
#include "CoreClasses/SharedObjectListStorage.h"

namespace Tarvos {

SharedObjectList::IterateCallback::~IterateCallback() = default;

SharedObjectList::SharedObjectList() : members(new SharedObjectListStorage()) {}

SharedObjectList::~SharedObjectList() {
    // Unlike RemoveAll, a null member does not stop the release: every reference the list holds goes.
    while (members->Count() > 0) {
        SharedObject* member = members->Unlink(0);
        if (member != nullptr) {
            member->DecRef(TARVOS_CALL_SITE);
        }
    }
    delete members;
}

uint32_t SharedObjectList::Count() {
    return members->Count();
}

bool SharedObjectList::AddToFront(SharedObject* member) {
    if (members->Find(member) != kIndexInvalid) {
        return false;
    }
    members->InsertFront(member);
    if (member != nullptr) {
        member->AddRef(TARVOS_CALL_SITE);
    }
    return true;
}

bool SharedObjectList::AddToBack(SharedObject* member) {
    if (members->Find(member) != kIndexInvalid) {
        return false;
    }
    members->InsertBack(member);
    if (member != nullptr) {
        member->AddRef(TARVOS_CALL_SITE);
    }
    return true;
}

bool SharedObjectList::Contains(SharedObject* member) {
    return members->Contains(member);
}

uint32_t SharedObjectList::Find(SharedObject* member) {
    return members->Find(member);
}

SharedObject* SharedObjectList::Get(uint32_t index) {
    if (index >= members->Count()) {
        return nullptr;
    }
    return members->At(index);
}

bool SharedObjectList::Remove(SharedObject* member) {
    if (!members->UnlinkMember(member)) {
        return false;
    }
    if (member != nullptr) {
        member->DecRef(TARVOS_CALL_SITE);
    }
    return true;
}

bool SharedObjectList::Remove(uint32_t index) {
    if (index >= members->Count()) {
        return false;
    }
    SharedObject* member = members->Unlink(index);
    if (member != nullptr) {
        member->DecRef(TARVOS_CALL_SITE);
    }
    return true;
}

SharedObject* SharedObjectList::GetAndRemove(uint32_t index) {
    if (index >= members->Count()) {
        return nullptr;
    }
    SharedObject* member = members->Unlink(index);
    if (member != nullptr) {
        member->DecRef(TARVOS_CALL_SITE);
    }
    return member;
}

void SharedObjectList::RemoveAll() {
    // A null front member is not removed: it and everything behind it stay.
    while (Get(0) != nullptr) {
        GetAndRemove(0);
    }
}

void SharedObjectList::Iterate(IterateCallback* callback) {
    if (callback == nullptr) {
        return;
    }
    members->ForEach(
        [callback](SharedObject* member, uint32_t index) { return callback->Callback(member, index); });
}

}  // namespace Tarvos
