// Stand-in for the cache front end until Cache.cpp joins this branch; delete this file then. The
// destructor is here only because it is Cache's key function: it makes the compiler emit Cache's
// type information, which the undefined-behaviour sanitizer's checks of calls through a Cache*
// refer to.
#include "Tarvos/Cache.h"

namespace Tarvos {

Cache::~Cache() = default;

void Cache::NotifySomethingChanged() {}

}  // namespace Tarvos
