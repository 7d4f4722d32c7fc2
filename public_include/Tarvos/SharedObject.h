// Reference-counted base of nearly every library object, with a re-entrant per-object lock. A new
// object has count 1, owned by its creator; the DecRef that brings the count to 0 destroys the object
// on the calling thread. AddRef/DecRef are atomic and may be called from any thread; every call passes
// a diagnostic call-site tag (file, qualified function, line). Shared objects are never copied.
#pragma once

#include <cstdint>

#include "Tarvos/Export.h"

namespace Tarvos {

class MTAtomicUnsigned32;
class MTCritSec;

class TARVOS_EXPORT SharedObject {
  public:
    SharedObject(const SharedObject&) = delete;
    SharedObject& operator=(const SharedObject&) = delete;

    virtual int32_t AddRef(const char* file, const char* function, uint32_t line);
    virtual int32_t DecRef(const char* file, const char* function, uint32_t line);
    virtual int32_t GetRefCount();
    virtual void BeginThreadSafeModify();
    virtual void FinishThreadSafeModify();

    // Leak logging is inert: kept so that applications written against it still build.
    static void EnableLeakedObjectsLogging(uint32_t, uint32_t);
    static void DisableLeakedObjectsLogging();
    static void PrintLeakedObjectsToDebugger();
    static bool IsLeakedObjectLoggingEnabled();

  protected:
    // Throws "MTInterface No Installed Implementation" before start-up.
    SharedObject();
    virtual ~SharedObject();

  private:
    MTAtomicUnsigned32* referenceCount;  // owned
    MTCritSec* lock;                     // owned; guards derived classes' state, not the count
};

// Keeps an object alive for a scope.
class SharedObjectAutoRef {
  public:
    explicit SharedObjectAutoRef(SharedObject* object) : object(object) {
        if (object != nullptr) {
            object->AddRef("public_include/SharedObject", "Tarvos::SharedObjectAutoRef::SharedObjectAutoRef",
                           65);
        }
    }
    ~SharedObjectAutoRef() {
        if (object != nullptr) {
            object->DecRef("public_include/SharedObject", "Tarvos::SharedObjectAutoRef::~SharedObjectAutoRef",
                           70);
        }
    }
    SharedObjectAutoRef(const SharedObjectAutoRef&) = delete;
    SharedObjectAutoRef& operator=(const SharedObjectAutoRef&) = delete;

  private:
    SharedObject* object;
};

}  // namespace Tarvos
