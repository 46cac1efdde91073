#include "pak/entry_encoder.h"

#include <lzo1x.h>

#include <new>

#include "pak/checksums.h"
#include "pak/entry_decoder.h"
#include "platform/process.h"

namespace radodaro {

bool Lzo1xEncoder::encode(const uint8_t* data, uint64_t length, uint32_t* sum) {
  if (!lzo1x_ready()) return false;
  try {
    work_.resize(effort_ == Lzo1xEffort::kFast ? LZO1X_1_MEM_COMPRESS : LZO1X_999_MEM_COMPRESS);
    // What liblzo2 says incompressible data may grow to.
    stream_.resize(static_cast<size_t>(length + length / 16 + 64 + 3));
  } catch (const std::bad_alloc&) {
    return false;
  }
  static const uint8_t kNothing = 0;
  const uint8_t* in = length == 0 ? &kNothing : data;
  lzo_uint produced = stream_.size();
  int result = LZO_E_ERROR;
  const bool read = platform::read_mapped(in, length, [&] {
    result = effort_ == Lzo1xEffort::kFast
                 ? lzo1x_1_compress(in, static_cast<lzo_uint>(length), stream_.data(), &produced,
                                    work_.data())
                 : lzo1x_999_compress(in, static_cast<lzo_uint>(length), stream_.data(), &produced,
                                      work_.data());
    *sum = sum32(in, length);
  });
  if (!read || result != LZO_E_OK) return false;
  stream_.resize(produced);
  return true;
}

void Lzo1xEncoder::trim(uint64_t keep) {
  if (stream_.capacity() > keep) std::vector<uint8_t>().swap(stream_);
}

}  // namespace radodaro
