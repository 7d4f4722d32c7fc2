#include "Tarvos/ResultName.h"

namespace Tarvos {

namespace {

struct ResultText {
    const char* name;
    const char* meaning;
};

// Every enumerator of CacheSource::Result_t; the compiler's switch warning keeps the list complete.
ResultText Describe(CacheSource::Result_t result) {
    switch (result) {
        case CacheSource::kResultSuccess:
            return {"kResultSuccess", "every byte asked for was transferred"};
        case CacheSource::kResultPartial:
            return {"kResultPartial",
                    "the data ends inside the range: only the bytes up to its end were transferred"};
        case CacheSource::kResultPending:
            return {"kResultPending", "started: the callback follows, exactly once"};
        case CacheSource::kResultNone:
            return {"kResultNone", "no outcome yet"};
        case CacheSource::kResultBufferLocked:
            return {"kResultBufferLocked", "a destination buffer could not be locked while copying"};
        case CacheSource::kResultCancelled:
            return {"kResultCancelled", "cancelled before it finished; no bytes"};
        case CacheSource::kResultEndOfFile:
            return {"kResultEndOfFile",
                    "nothing could be read: the offset is at or past the end of the file"};
        case CacheSource::kResultInvalidArgument:
            return {"kResultInvalidArgument",
                    "refused at once: the source is not open for this, or an argument is invalid"};
        case CacheSource::kResultFailed:
            return {"kResultFailed",
                    "the operating system failed it, or memory or a buffer could not be had"};
        case CacheSource::kResultBusy:
            return {"kResultBusy", "every engine slot is taken: nothing was started, try again"};
    }
    return {"kResultUnknown", "not a result this library returns"};
}

}  // namespace

const char* ResultName(CacheSource::Result_t result) {
    return Describe(result).name;
}

const char* ResultMeaning(CacheSource::Result_t result) {
    return Describe(result).meaning;
}

}  // namespace Tarvos
