// Stand-in for the cache front end's wake-up until Cache.cpp joins this branch; delete it then.
#include "Tarvos/Cache.h"

namespace Tarvos {

void Cache::NotifySomethingChanged() {}

}  // namespace Tarvos
