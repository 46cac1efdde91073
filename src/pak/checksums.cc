#include "pak/checksums.h"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The byte-at-a-time table, and fifteen more that carry a byte through 1 to
// 15 further bytes of zeros: sixteen bytes then take sixteen independent
// lookups instead of a chain of sixteen.
constexpr int kCrcSlices = 16;
using CrcTables = std::array<std::array<uint32_t, 256>, kCrcSlices>;

constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][n] = c;
  }
  for (int k = 1; k < kCrcSlices; ++k) {
    for (uint32_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFFu];
  }
  return t;
}

constexpr CrcTables kCrcTables = make_crc_tables();
static_assert(kCrcTables[0][1] == 0x77073096u && kCrcTables[0][255] == 0x2D02EF8Du);

// Sixteen bytes at a time through the tables, on the register `c` (the CRC
// before its final complement); what is left over a byte at a time.
uint32_t crc_by_tables(uint32_t c, const uint8_t* data, size_t length) {
  const auto& t = kCrcTables;
  for (; length >= 16; data += 16, length -= 16) {
    const uint32_t a = decode_fixed32(data) ^ c;
    const uint32_t b = decode_fixed32(data + 4);
    const uint32_t d = decode_fixed32(data + 8);
    const uint32_t e = decode_fixed32(data + 12);
    c = t[15][a & 0xFFu] ^ t[14][(a >> 8) & 0xFFu] ^ t[13][(a >> 16) & 0xFFu] ^ t[12][a >> 24] ^
        t[11][b & 0xFFu] ^ t[10][(b >> 8) & 0xFFu] ^ t[9][(b >> 16) & 0xFFu] ^ t[8][b >> 24] ^
        t[7][d & 0xFFu] ^ t[6][(d >> 8) & 0xFFu] ^ t[5][(d >> 16) & 0xFFu] ^ t[4][d >> 24] ^
        t[3][e & 0xFFu] ^ t[2][(e >> 8) & 0xFFu] ^ t[1][(e >> 16) & 0xFFu] ^ t[0][e >> 24];
  }
  for (size_t i = 0; i < length; ++i) c = t[0][(c ^ data[i]) & 0xFFu] ^ (c >> 8);
  return c;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define RADODARO_CRC_CLMUL 1

// x^n modulo the polynomial, bit-reflected and shifted left by one: the
// factor that carries 64 bits forward by n - 64 bits, as carry-less
// multiplication in the reflected order wants it.
constexpr uint64_t fold_factor(int n) {
  uint64_t r = 1;
  for (int i = 0; i < n; ++i) {
    r <<= 1;
    if ((r >> 32) & 1) r ^= 0x104C11DB7u;
  }
  uint64_t reflected = 0;
  for (int i = 0; i < 32; ++i) reflected |= ((r >> i) & 1) << (31 - i);
  return reflected << 1;
}

// Folds 128 bits `x` forward over the 128 bits that the factors `k` span.
__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// Folds the register `c` and 64 or more bytes of `data` into 128 bits of
// the same remainder, four lanes at a time, then takes those and what is
// left through the tables. Needs the carry-less multiply.
__attribute__((target("pclmul,sse2"))) uint32_t crc_by_folding(uint32_t c, const uint8_t* data,
                                                               size_t length) {
  const auto load = [](const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  };
  // By four blocks of 16 bytes (512 bits), then by one (128 bits).
  const __m128i by4 = _mm_set_epi64x(static_cast<int64_t>(fold_factor(480)),
                                     static_cast<int64_t>(fold_factor(544)));
  const __m128i by1 =
      _mm_set_epi64x(static_cast<int64_t>(fold_factor(96)), static_cast<int64_t>(fold_factor(160)));
  __m128i x0 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x1 = load(data + 16);
  __m128i x2 = load(data + 32);
  __m128i x3 = load(data + 48);
  data += 64;
  length -= 64;
  for (; length >= 64; data += 64, length -= 64) {
    x0 = _mm_xor_si128(fold(x0, by4), load(data));
    x1 = _mm_xor_si128(fold(x1, by4), load(data + 16));
    x2 = _mm_xor_si128(fold(x2, by4), load(data + 32));
    x3 = _mm_xor_si128(fold(x3, by4), load(data + 48));
  }
  __m128i x = _mm_xor_si128(fold(x0, by1), x1);
  x = _mm_xor_si128(fold(x, by1), x2);
  x = _mm_xor_si128(fold(x, by1), x3);
  for (; length >= 16; data += 16, length -= 16) x = _mm_xor_si128(fold(x, by1), load(data));
  // The 128 bits have the remainder of all that came before them: their
  // CRC from a register of zero, then the rest.
  uint8_t folded[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(folded), x);
  return crc_by_tables(crc_by_tables(0, folded, 16), data, length);
}

const bool kHasClmul = __builtin_cpu_supports("pclmul");
#endif

}  // namespace

uint32_t Crc32::extend(uint32_t crc, const uint8_t* data, size_t length) const {
  const uint32_t c = crc ^ 0xFFFFFFFFu;
#ifdef RADODARO_CRC_CLMUL
  if (length >= 64 && kHasClmul) return crc_by_folding(c, data, length) ^ 0xFFFFFFFFu;
#endif
  return crc_by_tables(c, data, length) ^ 0xFFFFFFFFu;
}

}  // namespace radodaro
