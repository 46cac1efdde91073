// Where compaction puts each entry's data.
#include "pak/compact_layout.h"

#include <gtest/gtest.h>

#include "pak/pak_format.h"

namespace radodaro {
namespace {

struct Case {
  const char* what;
  uint64_t file_size;
  std::vector<PakEntry> entries;  // crc1, kind, crc2, unpacked, offset, packed
  std::vector<uint32_t> new_offsets;
  uint64_t new_size;
  bool offsets_fit = true;
};

std::vector<uint8_t> image_of(const std::vector<PakEntry>& entries) {
  std::vector<uint8_t> image(directory_end(static_cast<uint32_t>(entries.size())));
  PakHeader header;
  header.entry_count = static_cast<uint32_t>(entries.size());
  encode_header(header, image.data());
  for (uint32_t i = 0; i < entries.size(); ++i) {
    encode_entry(entries[i], image.data() + entry_position(i));
  }
  return image;
}

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
      {"data that would move past 4 GiB is not moved",
       (uint64_t{1} << 32) + 100,
       {{0, 0, 0, 0xFFFFFFF0, 0, 0xFFFFFFF0}, {0, 0, 0, 16, 0xFFFFFFF0, 16}},
       {64, 0xFFFFFFF0},
       64 + uint64_t{0xFFFFFFF0} + 16,
       false},
  };
  for (const Case& c : cases) {
    const CompactLayout layout = plan_compaction(image_of(c.entries), c.file_size);
    const uint64_t new_size = layout.new_size;
    EXPECT_EQ(new_size, c.new_size) << c.what;
    EXPECT_EQ(layout.offsets_fit, c.offsets_fit) << c.what;
    uint64_t copied = layout.dir_image.size();
    for (const Move& m : layout.moves) {
      EXPECT_EQ(m.to, copied) << c.what;  // one after the other, no gaps
      copied += m.length;
    }
    EXPECT_EQ(copied, new_size) << c.what;
    for (uint32_t i = 0; i < c.entries.size(); ++i) {
      const PakEntry e = decode_entry(layout.dir_image.data() + entry_position(i));
      EXPECT_EQ(e.offset, c.new_offsets[i]) << c.what << " " << i;
      EXPECT_EQ(e.packed_size, c.entries[i].packed_size);
    }
    // A compacted pack has nothing more to give back, and a pack that
    // cannot be compacted gives back nothing.
    if (!c.offsets_fit) {
      EXPECT_EQ(layout.gives_back(c.file_size), 0u) << c.what;
      continue;
    }
    EXPECT_EQ(layout.gives_back(c.file_size), c.file_size - new_size) << c.what;
    EXPECT_EQ(plan_compaction(layout.dir_image, new_size).gives_back(new_size), 0u) << c.what;
  }
}

}  // namespace
}  // namespace radodaro
