// Marks the classes and functions that form the shared library's interface. Everything else is built
// with hidden visibility and stays out of the library's symbol table.
#pragma once

#if defined(_WIN32)
#if defined(TARVOS_BUILDING_LIBRARY)
#define TARVOS_EXPORT __declspec(dllexport)
#elif defined(TARVOS_STATIC)
// Linked from the static archive of the library's objects (tests and tools that need internals).
#define TARVOS_EXPORT
#else
#define TARVOS_EXPORT __declspec(dllimport)
#endif
#else
#define TARVOS_EXPORT __attribute__((visibility("default")))
#endif
