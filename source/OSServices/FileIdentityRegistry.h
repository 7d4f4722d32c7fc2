// The process-wide map from a file's identity (the volume or device it lives on and its number there,
// as the platform's native source reads them from an open handle) to the cache key that the open
// sources of that file share, so that two sources of one file find each other's blocks. An entry is
// counted by the sources that joined it and ends when the last one leaves: while a source holds the
// file open its number cannot be given to another file, and a file that gets the number later gets a
// new key. Keys come from MTInterface::GetProcessUniqueID, as every other source's key does, so they
// never collide. Any thread; one leaf lock, never held while calling out. Internal to the library.
#pragma once

#include <cstdint>

namespace Tarvos {

struct FileIdentity {
    uint64_t volume;  // device (Linux) or volume serial number (Windows)
    uint64_t file;    // inode number (Linux) or file index (Windows)
};

class FileIdentityRegistry {
  public:
    // Counts one more open source of the file and returns the key its sources share (a new key when
    // no source has the file open); kInvalidKey (0), with nothing counted, when memory runs out.
    static uint32_t Join(const FileIdentity& identity);
    // Counts one open source less; true when it was the last, which retires the key.
    // Requires: a Join of the same identity that this call balances.
    static bool Leave(const FileIdentity& identity);
    // The number of files with an open source; for tests.
    static uint32_t GetNumberOfFiles();
};

}  // namespace Tarvos
