// Turning an lzo1x entry's stream back into the bytes that expansion writes
// for it: the one place that decodes, for every command.
#ifndef RADODARO_PAK_ENTRY_DECODER_H_
#define RADODARO_PAK_ENTRY_DECODER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "pak/pak_format.h"

namespace radodaro {

// Whether the LZO library is ready to decode; it is made ready on the
// first call.
bool lzo1x_ready();

// The buffer that lzo1x entries are decoded into. It is reused from one
// entry to the next, but each entry sees exactly its unpacked_size bytes,
// and every byte that its stream did not produce reads as zero, whatever
// an earlier entry left there.
class DecodeBuffer {
 public:
  // `codec_ready` false makes every lzo1x entry a decoding error.
  explicit DecodeBuffer(bool codec_ready = lzo1x_ready()) : codec_ready_(codec_ready) {}
  DecodeBuffer(const DecodeBuffer&) = delete;
  DecodeBuffer& operator=(const DecodeBuffer&) = delete;
  ~DecodeBuffer();

  bool codec_ready() const { return codec_ready_; }
  // A zero-filled region of `size` bytes, or nullptr when no memory is left.
  uint8_t* acquire(uint64_t size);
  // The bytes held from one entry to the next, and giving them back.
  uint64_t capacity() const { return capacity_; }
  void release();
  // Records that the `size` bytes asked for hold `produced` bytes of
  // output; the rest is zeroed.
  void settle(uint64_t produced, uint64_t size);

 private:
  bool codec_ready_;
  uint8_t* data_ = nullptr;
  uint64_t capacity_ = 0;
  uint64_t dirty_ = 0;  // bytes from the start that may be other than zero
};

// The decode buffers of a run, handed from one entry to the next whichever
// thread decodes it: those that are free hold `keep` bytes together at
// most, so what a run keeps does not grow with its threads.
class DecodeBufferPool {
 public:
  explicit DecodeBufferPool(uint64_t keep) : keep_(keep) {}
  std::unique_ptr<DecodeBuffer> take();
  void give(std::unique_ptr<DecodeBuffer> buffer);

 private:
  const uint64_t keep_;
  std::mutex lock_;
  std::vector<std::unique_ptr<DecodeBuffer>> free_;
  uint64_t kept_ = 0;
};

// What an lzo1x entry decoded to.
struct Decoded {
  // Exactly unpacked_size bytes: what the stream produced, zeros after it.
  // nullptr when there was no memory for them.
  const uint8_t* data = nullptr;
  // False when the pack was cut short under the read: `data` is then not
  // the entry's.
  bool read = false;
  bool codec_ready = false;
  int result = 0;  // the LZO library's result
  uint64_t produced = 0;
  uint32_t unpacked_size = 0;
  uint32_t packed_sum = 0;  // sum32 of the packed bytes, when asked for

  // Whether expansion says "Error unpacking": no decoder, a stream that
  // gave another size, or one that wanted more room than the entry has.
  bool unpack_error() const;
  // Whether the stream decoded without an error from the library, and
  // whether it also gave exactly the unpacked size, as --verify requires.
  bool decoded() const;
  bool clean() const { return decoded() && produced == unpacked_size; }
};

// Decodes the lzo1x `entry`, whose packed_size bytes are mapped at
// `packed` (checked to lie in the file), into `buffer`. With
// `sum_packed`, also sums the packed bytes.
Decoded decode_lzo1x(const PakEntry& entry, const uint8_t* packed, DecodeBuffer* buffer,
                     bool sum_packed = false);

}  // namespace radodaro

#endif  // RADODARO_PAK_ENTRY_DECODER_H_
