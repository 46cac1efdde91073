// Where compaction puts each entry's data.
#include "pak/compact.h"

#include <gtest/gtest.h>

#include "expand/pack_report.h"
#include "pak/pak_format.h"

namespace radodaro {
namespace {

struct Case {
  const char* what;
  uint64_t file_size;
  std::vector<PakEntry> entries;  // crc1, kind, crc2, unpacked, offset, packed
  std::vector<uint32_t> new_offsets;
  uint64_t new_size;
};

TEST(CompactLayout, DataFollowsTheDirectoryInTheOrderOfItsOldOffsets) {
  // With two entries the directory ends at 64.
  const Case cases[] = {
      {"dead bytes between and after",
       1000,
       {{0, 0, 0, 10, 500, 10}, {0, 0, 0, 20, 100, 20}},
       {84, 64},
       94},
      {"shared and overlapping data once",
       1000,
       {{0, 0, 0, 10, 100, 10}, {0, 1, 0, 99, 105, 15}},
       {64, 69},
       84},
      {"outside keeps its offset",
       1000,
       {{0, 0, 0, 10, 100, 10}, {0, 0, 0, 10, 995, 10}},
       {64, 995},
       74},
      {"a huge packed size keeps what expand reads",
       1000,
       {{0, 0, 0, 10, 300, 0xFFFFFFF0}, {0, 4, 0, 0, 200, 5}},
       {69, 64},
       79},
      {"no data goes where the next begins",
       1000,
       {{0, 0, 0, 0, 150, 0}, {0, 0, 0, 8, 400, 8}},
       {64, 64},
       72},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> image(directory_end(static_cast<uint32_t>(c.entries.size())));
    PakHeader header;
    header.entry_count = static_cast<uint32_t>(c.entries.size());
    encode_header(header, image.data());
    for (uint32_t i = 0; i < c.entries.size(); ++i) {
      encode_entry(c.entries[i], image.data() + entry_position(i));
    }
    uint64_t new_size = 0;
    const std::vector<Move> moves = compact_layout(&image, c.file_size, &new_size);
    EXPECT_EQ(new_size, c.new_size) << c.what;
    uint64_t copied = image.size();
    for (const Move& m : moves) {
      EXPECT_EQ(m.to, copied) << c.what;  // one after the other, no gaps
      copied += m.length;
    }
    EXPECT_EQ(copied, new_size) << c.what;
    for (uint32_t i = 0; i < c.entries.size(); ++i) {
      const PakEntry e = decode_entry(image.data() + entry_position(i));
      EXPECT_EQ(e.offset, c.new_offsets[i]) << c.what << " " << i;
      EXPECT_EQ(e.packed_size, c.entries[i].packed_size);
    }
    // What --list says compaction gives back is what it gives back.
    const PackUse use = pack_use(image, new_size);
    EXPECT_EQ(use.unreferenced, 0u) << c.what;
  }
}

}  // namespace
}  // namespace radodaro
