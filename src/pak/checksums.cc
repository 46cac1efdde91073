#include "pak/checksums.h"

#include <array>

#include "pak/pak_format.h"

namespace radodaro {

uint32_t sum32(const uint8_t* data, size_t length) {
  // Several independent lanes let the compiler vectorise the word loop;
  // addition modulo 2^32 is associative, so the result is the same.
  const size_t words = length / 4;
  uint32_t lanes[8] = {};
  size_t w = 0;
  for (; w + 8 <= words; w += 8) {
    for (size_t k = 0; k < 8; ++k) lanes[k] += decode_fixed32(data + 4 * (w + k));
  }
  uint32_t sum = 0;
  for (uint32_t lane : lanes) sum += lane;
  for (; w < words; ++w) sum += decode_fixed32(data + 4 * w);
  for (size_t i = words * 4; i < length; ++i) sum += data[i];
  return sum;
}

void Sum32::update(const uint8_t* data, size_t length) {
  while (pending_count_ != 0 && pending_count_ < 4 && length != 0) {
    pending_[pending_count_++] = *data++;
    --length;
  }
  if (pending_count_ == 4) {
    sum_ += decode_fixed32(pending_);
    pending_count_ = 0;
  }
  const size_t whole = length & ~size_t{3};
  sum_ += sum32(data, whole);
  for (size_t i = whole; i < length; ++i) pending_[pending_count_++] = data[i];
}

uint32_t Sum32::value() const {
  uint32_t sum = sum_;
  for (size_t i = 0; i < pending_count_; ++i) sum += pending_[i];
  return sum;
}

namespace {

constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();
static_assert(kCrcTable[1] == 0x77073096u && kCrcTable[255] == 0x2D02EF8Du);

}  // namespace

uint32_t Crc32::extend(uint32_t crc, const uint8_t* data, size_t length) const {
  uint32_t c = crc ^ 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) c = kCrcTable[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

}  // namespace radodaro
