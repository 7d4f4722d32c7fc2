// Names for the results every read, write and transaction returns, for messages and logs. Both functions
// return static strings, never null, for any value (an unknown one included); any thread may call them at
// any time.
#pragma once

#include "Tarvos/CacheSource.h"
#include "Tarvos/Export.h"

namespace Tarvos {

// The enumerator's name, for example "kResultEndOfFile"; "kResultUnknown" for a value that is not one.
TARVOS_EXPORT const char* ResultName(CacheSource::Result_t result);
// One line, lower case and without a full stop, on what the result means, for example
// "nothing could be read: the offset is at or past the end of the file".
TARVOS_EXPORT const char* ResultMeaning(CacheSource::Result_t result);

}  // namespace Tarvos
