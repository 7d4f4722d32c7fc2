// Windows' I/O mechanism: overlapped ReadFile/WriteFile and ReadFileScatter/WriteFileGather.
#pragma once

#include <memory>
#include <string>

#include "OSServices/IOMechanism.h"

namespace Tarvos {

// The overlapped mechanism, or null with the reason it cannot run.
std::unique_ptr<IOMechanism> NewIOMechanismOverlapped(std::string* reason);

}  // namespace Tarvos
