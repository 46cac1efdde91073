// A patch is a pack of its own: it holds, for each entry that one version
// of a pack changes into another, the new version's entry (its data
// compressed as there), and is skipped everywhere else. What binds it to
// the version it was made against lies right after its directory, where
// the first entry's data would begin: for every entry it changes, what
// the entry holds before and after (presence, size, sum32 and CRC-32 of
// the content, kind and crc1), and both versions' entry counts and lead
// bytes. The man page documents the layout. /p and --update keep it (they
// only append and rewrite the directory in place); --compact would drop
// it, and refuses a patch.
#ifndef RADODARO_PAK_PACK_PATCH_H_
#define RADODARO_PAK_PACK_PATCH_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pak/entry_reader.h"
#include "pak/pak_format.h"

namespace radodaro {

// What an entry's content is, as far as a patch tells it: none, or its
// size, sum32 and CRC-32 (a sum alone misses swapped words).
struct ContentPrint {
  bool present = false;
  uint32_t size = 0;
  uint32_t sum = 0;
  uint32_t crc = 0;
  bool operator==(const ContentPrint&) const = default;
};

// The print of `content`; false when its pack lost the bytes under the read.
bool print_of(const EntryContent& content, ContentPrint* print);

// One entry as a patch sees it, before or after.
struct PatchSide {
  ContentPrint content;
  uint32_t kind = kKindSkipped;
  uint32_t crc1 = 0;
  bool operator==(const PatchSide&) const = default;
};

struct PatchChange {
  uint32_t index = 0;
  PatchSide before;  // in the version the patch was made against
  PatchSide after;   // in the version it makes
};

struct PatchBinding {
  uint32_t old_count = 0;
  uint32_t new_count = 0;
  uint8_t old_lead[kLeadBytesSize] = {};
  uint8_t new_lead[kLeadBytesSize] = {};
  std::vector<PatchChange> changes;  // in index order, one each
};

// The binding's bytes, to lie right after the patch's directory.
std::vector<uint8_t> encode_binding(const PatchBinding& binding);

enum class BindingRead {
  kFound,
  kNone,     // the pack is no patch: nothing of ours after its directory
  kDamaged,  // it begins as a binding but is not a whole one (`*why`)
};
// The binding of the pack `pack` whose header and directory are
// `dir_image`.
BindingRead read_binding(const PackBytes& pack, const std::vector<uint8_t>& dir_image,
                         PatchBinding* binding, std::string* why);

}  // namespace radodaro

#endif  // RADODARO_PAK_PACK_PATCH_H_
