// The call-site tag passed to every AddRef and DecRef: source file (relative to the repository, the
// build strips the prefix), the qualified function name such as Tarvos::SharedObjectList::AddToFront,
// and the line. Usage: object->AddRef(TARVOS_CALL_SITE);
#pragma once

#include <cstddef>

namespace Tarvos::CallSite {

template <std::size_t N>
struct Name {
    char text[N] = {};
};

// Cuts "virtual bool Tarvos::Class::Function(int) const" down to "Tarvos::Class::Function".
template <std::size_t N>
constexpr Name<N> QualifiedName(const char (&pretty)[N]) {
    std::size_t open = 0;
    int depth = 0;
    for (std::size_t i = 0; i < N && pretty[i] != '\0'; ++i) {
        if (pretty[i] == '<') {
            ++depth;
        } else if (pretty[i] == '>') {
            --depth;
        } else if (pretty[i] == '(' && depth == 0) {
            open = i;
            break;
        }
    }
    std::size_t start = 0;
    depth = 0;
    for (std::size_t i = open; i > 0; --i) {
        const char c = pretty[i - 1];
        if (c == '>') {
            ++depth;
        } else if (c == '<') {
            --depth;
        } else if ((c == ' ' || c == '*' || c == '&') && depth == 0) {
            start = i;
            break;
        }
    }
    Name<N> name;
    for (std::size_t i = start, j = 0; i < open; ++i, ++j) {
        name.text[j] = pretty[i];
    }
    return name;
}

}  // namespace Tarvos::CallSite

#define TARVOS_CALL_SITE                                                                                   \
    __FILE__, ({                                                                                           \
        static constexpr auto tarvosCallSiteName = ::Tarvos::CallSite::QualifiedName(__PRETTY_FUNCTION__); \
        tarvosCallSiteName.text;                                                                           \
    }),                                                                                                    \
        static_cast<uint32_t>(__LINE__)
