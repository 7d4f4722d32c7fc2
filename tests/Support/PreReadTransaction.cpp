#include "Support/PreReadTransaction.h"

#include "CoreClasses/CallSite.h"

namespace TarvosTest {

namespace {

// Access checks do not apply to the names in an explicit instantiation, so instantiating this template
// with the private member hands out a pointer to it, and nothing else in the program needs to change.
struct SetupForPreReadTag {
    using Member = bool (Tarvos::CacheTransaction::*)(Tarvos::CacheSource*, uint64_t, uint32_t, uint32_t);
    friend Member MemberOf(SetupForPreReadTag);
};

template <typename Tag, typename Tag::Member member>
struct ExposeMember {
    friend typename Tag::Member MemberOf(Tag) { return member; }
};

template struct ExposeMember<SetupForPreReadTag, &Tarvos::CacheTransaction::SetupForPreRead>;

}  // namespace

Tarvos::CacheTransaction* NewPreReadTransaction(Tarvos::CacheSource* source, uint64_t offset, uint32_t size,
                                                uint32_t dueTime) {
    auto* transaction = new Tarvos::CacheTransaction();
    if (!(transaction->*MemberOf(SetupForPreReadTag{}))(source, offset, size, dueTime)) {
        transaction->DecRef(TARVOS_CALL_SITE);
        return nullptr;
    }
    return transaction;
}

}  // namespace TarvosTest
