#include "pak/pak_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace radodaro {
namespace {

TEST(PakFormat, EncodeEntryPinsTheBytes) {
  PakEntry e;
  e.crc1 = 0x04030201;
  e.kind = 0x08070605;
  e.crc2 = 0x0C0B0A09;
  e.unpacked_size = 0x100F0E0D;
  e.offset = 0x14131211;
  e.packed_size = 0x18171615;
  uint8_t bytes[kEntrySize];
  encode_entry(e, bytes);
  for (size_t i = 0; i < kEntrySize; ++i) EXPECT_EQ(bytes[i], i + 1) << "byte " << i;

  const PakEntry back = decode_entry(bytes);
  EXPECT_EQ(back.crc1, e.crc1);
  EXPECT_EQ(back.kind, e.kind);
  EXPECT_EQ(back.crc2, e.crc2);
  EXPECT_EQ(back.unpacked_size, e.unpacked_size);
  EXPECT_EQ(back.offset, e.offset);
  EXPECT_EQ(back.packed_size, e.packed_size);
}

TEST(PakFormat, EncodeHeaderPinsTheBytes) {
  PakHeader h;
  std::memcpy(h.lead_bytes, "LEADBYTE", 8);
  h.entry_count = 0xAABBCCDD;
  h.dir_crc = 0x11223344;
  uint8_t bytes[kHeaderSize];
  encode_header(h, bytes);
  const uint8_t expected[kHeaderSize] = {'L',  'E',  'A',  'D',  'B',  'Y',  'T',  'E',
                                         0xDD, 0xCC, 0xBB, 0xAA, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(std::memcmp(bytes, expected, kHeaderSize), 0);
  const PakHeader back = decode_header(bytes);
  EXPECT_EQ(std::memcmp(back.lead_bytes, "LEADBYTE", 8), 0);
  EXPECT_EQ(back.entry_count, h.entry_count);
  EXPECT_EQ(back.dir_crc, h.dir_crc);
}

TEST(PakFormat, DirectoryEndNeverWraps) {
  EXPECT_EQ(directory_end(0), 16u);
  EXPECT_EQ(directory_end(1), 40u);
  // 24 * n overflows 32 bits from 178956971 on.
  EXPECT_EQ(directory_end(178956971u), 16u + 24u * 178956971ull);
  EXPECT_EQ(directory_end(0xFFFFFFFFu), 16u + 24u * 0xFFFFFFFFull);
}

TEST(PakFormat, RangeInFileCannotOverflow) {
  EXPECT_TRUE(range_in_file(0, 0, 0));
  EXPECT_TRUE(range_in_file(10, 0, 10));
  EXPECT_TRUE(range_in_file(4, 6, 10));
  EXPECT_FALSE(range_in_file(4, 7, 10));
  EXPECT_FALSE(range_in_file(11, 0, 10));
  EXPECT_FALSE(range_in_file(0xFFFFFFFFu, 0xFFFFFFFFu, 100));
  EXPECT_FALSE(range_in_file(UINT64_MAX, 2, UINT64_MAX));
  EXPECT_FALSE(range_in_file(2, UINT64_MAX, UINT64_MAX));
}

TEST(PakFormat, MemberPathNamesIndexInLowerCaseHex) {
  EXPECT_EQ(member_path("/out/", 10), "/out/0000000a.dat");
  EXPECT_EQ(member_path("/out/", 255), "/out/000000ff.dat");
  EXPECT_EQ(member_path("/out/", 4096), "/out/00001000.dat");
  EXPECT_EQ(member_path("/", 0xFFFFFFFFu), "/ffffffff.dat");
  EXPECT_EQ(member_path("", 0x9ABCDEF1u), "9abcdef1.dat");
}

}  // namespace
}  // namespace radodaro
