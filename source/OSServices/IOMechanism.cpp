#include "OSServices/IOMechanism.h"

namespace Tarvos {

IOMechanism::~IOMechanism() = default;

}  // namespace Tarvos
