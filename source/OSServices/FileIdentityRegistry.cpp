#include "OSServices/FileIdentityRegistry.h"

#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "Tarvos/CacheSource.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {

struct Entry {
    uint32_t key;
    uint32_t sources;  // open sources that joined; the entry is erased when it reaches 0
};

using IdentityKey = std::pair<uint64_t, uint64_t>;

struct Registry {
    std::mutex lock;  // guards `files`; a leaf lock, held only for the map operations below
    std::map<IdentityKey, Entry> files;
};

// Never destroyed: a source destroyed during static destruction may still leave its entry.
Registry& TheRegistry() {
    static Registry* registry = new Registry();
    return *registry;
}

}  // namespace

uint32_t FileIdentityRegistry::Join(const FileIdentity& identity) {
    Registry& registry = TheRegistry();
    try {
        std::lock_guard<std::mutex> hold(registry.lock);
        auto [where, inserted] = registry.files.try_emplace({identity.volume, identity.file}, Entry{0, 0});
        if (inserted) {
            // Taken under the lock: a second opener of the same file must find this key, not make one.
            try {
                where->second.key = MTInterface::GetProcessUniqueID();
            } catch (...) {
                registry.files.erase(where);
                throw;
            }
        }
        ++where->second.sources;
        return where->second.key;
    } catch (const std::bad_alloc&) {
        return CacheSource::kInvalidKey;
    }
}

bool FileIdentityRegistry::Leave(const FileIdentity& identity) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    auto where = registry.files.find({identity.volume, identity.file});
    if (where == registry.files.end()) {
        return false;
    }
    if (--where->second.sources > 0) {
        return false;
    }
    registry.files.erase(where);
    return true;
}

uint32_t FileIdentityRegistry::GetNumberOfFiles() {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    return static_cast<uint32_t>(registry.files.size());
}

}  // namespace Tarvos
