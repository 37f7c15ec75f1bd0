// deflate_entry: a payload deflated the way minizip deflates an archive
// entry, in a working area that the process keeps between packs (the
// process-wide deflate area). Used by pack_archive (core/archive.cc) only.
// Any thread; a pack that finds the area in use takes malloc's memory.
#ifndef RISK_CORE_DEFLATE_AREA_H_
#define RISK_CORE_DEFLATE_AREA_H_

#include <zlib.h>

#include <cstddef>
#include <string>

namespace risk {

// The deflate level of an archive entry.
constexpr int kDeflateLevel = 5;
// zlib and minizip take unsigned lengths; longer runs go in pieces.
constexpr size_t kMaxWriteChunk = 1u << 30;

// What deflate_entry makes of a payload.
struct DeflatedEntry {
  std::string bytes;  // empty on failure
  uLong crc = 0;      // the payload's CRC-32
  bool text = false;  // deflate took the payload for text
};

// payload deflated as minizip deflates an entry: every byte with Z_NO_FLUSH,
// then Z_FINISH.
DeflatedEntry deflate_entry(const std::string& payload);

}  // namespace risk

#endif  // RISK_CORE_DEFLATE_AREA_H_
