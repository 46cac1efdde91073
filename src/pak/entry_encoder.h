// Turning a member's content into the lzo1x stream of its entry: --update
// keeps each entry's kind.
#ifndef RADODARO_PAK_ENTRY_ENCODER_H_
#define RADODARO_PAK_ENTRY_ENCODER_H_

#include <cstdint>
#include <utility>
#include <vector>

namespace radodaro {

// liblzo2's fast compressor (LZO1X-1) or its best (LZO1X-999).
enum class Lzo1xEffort { kFast, kBest };

class Lzo1xEncoder {
 public:
  explicit Lzo1xEncoder(Lzo1xEffort effort) : effort_(effort) {}

  // Compresses the `length` bytes at `data` (mapped: a file cut short
  // meanwhile fails the call) into one stream that decodes to exactly
  // them, and sums them. The stream stays valid until the next call.
  // False when there is no memory or the data could not be read whole.
  bool encode(const uint8_t* data, uint64_t length, uint32_t* sum);
  const std::vector<uint8_t>& stream() const { return stream_; }
  // The stream, for the caller to keep; the next call makes a new one.
  std::vector<uint8_t> take_stream() { return std::move(stream_); }

 private:
  Lzo1xEffort effort_;
  std::vector<uint8_t> work_;
  std::vector<uint8_t> stream_;
};

}  // namespace radodaro

#endif  // RADODARO_PAK_ENTRY_ENCODER_H_
