// The library settings tarvos bench streams with (preread-stream-1m and the streams' tarvos method):
// the recommended way to read a large file front to back through a cache today. Retune them here, by
// measuring, when the cache's handling of pre-reads changes.
#pragma once

#include <cstdint>

namespace TarvosTool {

// One cache block per piece the reader consumes.
constexpr uint32_t kStreamBlockBytes = 1024 * 1024;
// The cache a stream reads through (the streams' readers share one of this size).
constexpr uint64_t kStreamCacheBytes = 64ull * 1024 * 1024;
// How far ahead of the piece being read a single stream keeps its pre-reads.
constexpr uint32_t kStreamWindowBytes = 16 * 1024 * 1024;

}  // namespace TarvosTool
