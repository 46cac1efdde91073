// Turning a member's content into the lzo1x stream of its entry: --update
// keeps each entry's kind.
#ifndef RADODARO_PAK_ENTRY_ENCODER_H_
#define RADODARO_PAK_ENTRY_ENCODER_H_

#include <cstdint>
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
  // A copy of the stream, no larger than it, for the caller to keep: the
  // room that incompressible data would have needed stays here.
  std::vector<uint8_t> take_stream() const { return stream_; }
  // Gives back what is held beyond `keep` bytes.
  void trim(uint64_t keep);

 private:
  Lzo1xEffort effort_;
  std::vector<uint8_t> work_;
  std::vector<uint8_t> stream_;
};

}  // namespace radodaro

#endif  // RADODARO_PAK_ENTRY_ENCODER_H_
