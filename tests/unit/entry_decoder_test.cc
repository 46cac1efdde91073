#include "pak/entry_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "pak/entry_encoder.h"

namespace radodaro {
namespace {

bool all_zero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

TEST(DecodeBuffer, BytesNotProducedReadAsZeroAfterReuse) {
  DecodeBuffer buffer;
  uint8_t* p = buffer.acquire(1000);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(all_zero(p, 1000));
  std::memset(p, 0xAB, 1000);
  buffer.settle(1000, 1000);

  // A smaller entry whose stream stopped after 10 bytes.
  p = buffer.acquire(600);
  ASSERT_NE(p, nullptr);
  std::memset(p, 0xCD, 10);
  buffer.settle(10, 600);
  EXPECT_TRUE(all_zero(p + 10, 590));

  // A larger one sees fresh zeros throughout.
  p = buffer.acquire(5000);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(all_zero(p, 5000));
}

TEST(DecodeBuffer, EmptyEntryGetsUsablePointer) {
  DecodeBuffer buffer;
  EXPECT_NE(buffer.acquire(0), nullptr);
}

// A stream kept for its commit holds what it is, not the room that
// incompressible data would have needed: the memory in flight is what the
// pipeline counts.
TEST(Lzo1xEncoder, StreamKeptHoldsNoMoreThanItsSize) {
  const std::vector<uint8_t> zeros(1 << 20, 0);
  Lzo1xEncoder encoder(Lzo1xEffort::kFast);
  uint32_t sum = 1;
  ASSERT_TRUE(encoder.encode(zeros.data(), zeros.size(), &sum));
  EXPECT_EQ(sum, 0u);
  const std::vector<uint8_t> kept = encoder.take_stream();
  EXPECT_LT(kept.size(), 8192u);
  EXPECT_LT(kept.capacity(), 2 * kept.size());
  encoder.trim(0);
}

}  // namespace
}  // namespace radodaro
