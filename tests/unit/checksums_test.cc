#include "pak/checksums.h"

#include <gtest/gtest.h>

#include "support/pack_builder.h"

namespace radodaro {
namespace {

using testing::Bytes;

// The word-at-a-time definition, spelled out byte by byte.
uint32_t reference_sum32(const Bytes& data) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 4 <= data.size(); i += 4) {
    sum += static_cast<uint32_t>(data[i]) | data[i + 1] << 8 | data[i + 2] << 16 |
           static_cast<uint32_t>(data[i + 3]) << 24;
  }
  for (; i < data.size(); ++i) sum += data[i];
  return sum;
}

TEST(Sum32, PublishedExamples) {
  const struct {
    Bytes data;
    uint32_t expected;
  } cases[] = {
      {{}, 0x00000000},
      {testing::bytes_of("abc"), 0x00000126},
      {{1, 2, 3, 4, 5}, 0x04030206},  // the tail byte is added alone
      {{1, 0, 0, 0, 2, 0, 0, 0}, 0x00000003},
      {{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}, 0x00000000},  // wraps
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sum32(c.data.data(), c.data.size()), c.expected);
  }
}

TEST(Sum32, DirectoryOfWordsOneToSix) {
  Bytes dir(24);
  for (uint32_t w = 0; w < 6; ++w) dir[4 * w] = static_cast<uint8_t>(w + 1);
  EXPECT_EQ(sum32(dir.data(), dir.size()), 0x15u);
}

TEST(Sum32, MatchesReferenceOnEveryLengthAndAlignment) {
  const Bytes data = testing::random_bytes(600, 11);
  for (size_t start = 0; start < 4; ++start) {
    for (size_t length = 0; start + length <= data.size(); length += 7) {
      const Bytes piece(data.begin() + start, data.begin() + start + length);
      ASSERT_EQ(sum32(piece.data(), piece.size()), reference_sum32(piece))
          << "start " << start << " length " << length;
    }
  }
}

TEST(Sum32Stream, AnyPieceBordersGiveTheWholeSum) {
  const Bytes data = testing::random_bytes(41, 3);
  const uint32_t whole = sum32(data.data(), data.size());
  for (size_t a = 0; a <= data.size(); ++a) {
    for (size_t b = a; b <= data.size(); ++b) {
      Sum32 s;
      s.update(data.data(), a);
      s.update(data.data() + a, b - a);
      s.update(data.data() + b, data.size() - b);
      ASSERT_EQ(s.value(), whole) << "borders " << a << ", " << b;
    }
  }
}

TEST(Sum32Stream, OneByteAtATime) {
  const Bytes data = testing::random_bytes(23, 4);
  Sum32 s;
  for (uint8_t b : data) s.update(&b, 1);
  EXPECT_EQ(s.value(), sum32(data.data(), data.size()));
}

TEST(Crc32, PublishedCheckValues) {
  const Crc32 crc;
  const Bytes check = testing::bytes_of("123456789");
  EXPECT_EQ(crc.crc32(check.data(), check.size()), 0xCBF43926u);
  EXPECT_EQ(crc.crc32(nullptr, 0), 0u);

  Bytes words(24);
  for (uint32_t w = 0; w < 6; ++w) words[4 * w] = static_cast<uint8_t>(w + 1);
  EXPECT_EQ(crc.crc32(words.data(), words.size()), 0xAF6F07BEu);
  const Bytes zeros(24, 0);
  EXPECT_EQ(Crc32().crc32(zeros.data(), zeros.size()), 0xA3C1CA20u);

  // Every length and alignment, whole or extended at any split, gives what
  // a bit at a time gives.
  const Bytes data = testing::random_bytes(200, 9);
  const auto bitwise = [](const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
      c ^= p[i];
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return c ^ 0xFFFFFFFFu;
  };
  for (size_t at = 0; at < 16; ++at) {
    for (size_t n = 0; at + n <= data.size(); n += 7) {
      const uint8_t* p = data.data() + at;
      ASSERT_EQ(crc.crc32(p, n), bitwise(p, n)) << at << " " << n;
      ASSERT_EQ(crc.extend(crc.crc32(p, n / 3), p + n / 3, n - n / 3), bitwise(p, n));
    }
  }
}

}  // namespace
}  // namespace radodaro
