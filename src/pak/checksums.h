// Checksums of the pack format: the additive word sum stored in each entry
// and the CRC-32 stored for the directory.
#ifndef RADODARO_PAK_CHECKSUMS_H_
#define RADODARO_PAK_CHECKSUMS_H_

#include <cstddef>
#include <cstdint>

namespace radodaro {

// Sum of the little-endian 32-bit words of `data`, then of the length % 4
// trailing bytes one by one, all modulo 2^32.
uint32_t sum32(const uint8_t* data, size_t length);

// sum32 of data that arrives in pieces of any length: the result of
// value() equals sum32 of all pieces joined, whatever the piece borders.
class Sum32 {
 public:
  void update(const uint8_t* data, size_t length);
  uint32_t value() const;

 private:
  uint32_t sum_ = 0;
  uint8_t pending_[4] = {};  // bytes of a word begun in an earlier piece
  size_t pending_count_ = 0;
};

// CRC-32 (reflected, polynomial 0xEDB88320, preset and final complement).
// Stateless: every call covers one whole range, or extends the CRC of the
// bytes before it: extend(crc32(a), b) is crc32 of a and b joined.
class Crc32 {
 public:
  uint32_t crc32(const uint8_t* data, size_t length) const { return extend(0, data, length); }
  uint32_t extend(uint32_t crc, const uint8_t* data, size_t length) const;
};

}  // namespace radodaro

#endif  // RADODARO_PAK_CHECKSUMS_H_
