#include "pak/entry_decoder.h"

#include <lzo1x.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "pak/checksums.h"
#include "platform/process.h"

namespace radodaro {

namespace {

// A buffer this much larger than the entry at hand is given back.
constexpr uint64_t kKeepSlack = 64ull * 1024 * 1024;

}  // namespace

std::unique_ptr<DecodeBuffer> DecodeBufferPool::take() {
  const std::lock_guard<std::mutex> hold(lock_);
  if (free_.empty()) return std::make_unique<DecodeBuffer>();
  std::unique_ptr<DecodeBuffer> buffer = std::move(free_.back());
  free_.pop_back();
  kept_ -= buffer->capacity();
  return buffer;
}

void DecodeBufferPool::give(std::unique_ptr<DecodeBuffer> buffer) {
  if (buffer == nullptr) return;
  const std::lock_guard<std::mutex> hold(lock_);
  if (kept_ + buffer->capacity() > keep_) return;
  kept_ += buffer->capacity();
  free_.push_back(std::move(buffer));
}

bool lzo1x_ready() {
  static const bool ready = lzo_init() == LZO_E_OK;
  return ready;
}

DecodeBuffer::~DecodeBuffer() { std::free(data_); }

void DecodeBuffer::release() {
  std::free(data_);
  data_ = nullptr;
  capacity_ = 0;
  dirty_ = 0;
}

uint8_t* DecodeBuffer::acquire(uint64_t size) {
  static uint8_t empty;
  if (size == 0) return &empty;
  if (size > capacity_ || capacity_ - size > kKeepSlack) {
    std::free(data_);
    // calloc hands large blocks over as fresh zero pages, untouched.
    data_ = static_cast<uint8_t*>(std::calloc(size, 1));
    capacity_ = data_ != nullptr ? size : 0;
    dirty_ = 0;
  }
  return data_;
}

void DecodeBuffer::settle(uint64_t produced, uint64_t size) {
  if (data_ == nullptr) return;
  // Bytes past `produced` were not written this time; those that an earlier
  // entry wrote must read as zero.
  if (produced < size && produced < dirty_) {
    std::memset(data_ + produced, 0, std::min(size, dirty_) - produced);
  }
  dirty_ = std::max(dirty_, std::min(produced, size));
}

bool Decoded::unpack_error() const {
  return !codec_ready || produced != unpacked_size || result == LZO_E_OUTPUT_OVERRUN;
}

bool Decoded::decoded() const { return codec_ready && result == LZO_E_OK; }

Decoded decode_lzo1x(const PakEntry& entry, const uint8_t* packed, DecodeBuffer* buffer,
                     bool sum_packed) {
  Decoded d;
  d.codec_ready = buffer->codec_ready();
  d.result = LZO_E_ERROR;
  d.unpacked_size = entry.unpacked_size;
  uint8_t* out = buffer->acquire(entry.unpacked_size);
  if (out == nullptr) return d;
  d.read = platform::read_mapped(packed, entry.packed_size, [&] {
    if (d.codec_ready) {
      lzo_uint produced = entry.unpacked_size;
      d.result = lzo1x_decompress_safe(packed, entry.packed_size, out, &produced, nullptr);
      d.produced = produced;
    }
    if (sum_packed) d.packed_sum = sum32(packed, entry.packed_size);
  });
  // Where the read was cut short, the decoder may have written anywhere in
  // the entry's bytes: all of them count as written.
  buffer->settle(d.read ? d.produced : entry.unpacked_size, entry.unpacked_size);
  d.data = out;
  return d;
}

}  // namespace radodaro
