// The one way the platform facades and OSServices report failure: they throw a char* that points at a
// static, NUL-terminated message, so a handler for char*, const char*, void* or const void* gets it.
#pragma once

namespace Tarvos {

[[noreturn]] inline void ThrowFacadeMessage(const char* message) {
    // The messages are string literals; the catcher must not free or modify them.
    throw const_cast<char*>(message);
}

}  // namespace Tarvos
