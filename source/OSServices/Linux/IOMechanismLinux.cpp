#include "OSServices/Linux/IOMechanismLinux.h"

#include <cerrno>

namespace Tarvos {

IOErrorKind_t ClassifyIOError(int32_t error) {
    return error == EINTR || error == EAGAIN ? kIOErrorTransient : kIOErrorOther;
}

std::unique_ptr<IOMechanism> NewIOMechanismFor(const char* setting, std::string* reason) {
    return NewIOMechanismChoosing(setting, reason, &NewIOMechanismUring);
}

std::unique_ptr<IOMechanism> NewIOMechanismChoosing(const char* setting, std::string* reason,
                                                    IOMechanismMaker makeUring) {
    const std::string asked = setting != nullptr ? setting : "";
    std::string why;
    if (asked == "threads") {
        auto mechanism = NewIOMechanismThreads(&why);
        *reason = mechanism != nullptr ? "TARVOS_IO_BACKEND=threads" : why;
        return mechanism;
    }
    std::unique_ptr<IOMechanism> mechanism = makeUring(&why);
    if (mechanism != nullptr) {
        *reason = asked == "uring" ? "TARVOS_IO_BACKEND=uring" : why;
        return mechanism;
    }
    std::string fallback;
    mechanism = NewIOMechanismThreads(&fallback);
    if (mechanism == nullptr) {
        *reason = why + "; " + fallback;
        return nullptr;
    }
    *reason = asked == "uring" ? "TARVOS_IO_BACKEND=uring, but " + why : why;
    return mechanism;
}

}  // namespace Tarvos
