#include "pak/content_type.h"

#include <cstring>

#include "pak/pak_format.h"

namespace radodaro {

namespace {

bool starts(const uint8_t* head, uint64_t size, const char* magic, size_t length) {
  return size >= length && std::memcmp(head, magic, length) == 0;
}

// Text: no NUL and no control character but tab, line ends and form feed;
// bytes past 0x7F are taken as UTF-8 without checking.
bool looks_like_text(const uint8_t* head, uint64_t size) {
  for (uint64_t i = 0; i < size; ++i) {
    const uint8_t c = head[i];
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') return false;
    if (c == 0x7F) return false;
  }
  return size > 0;
}

}  // namespace

const char* guess_extension(const uint8_t* head, uint64_t head_size, const uint8_t* tail,
                            uint64_t tail_size, uint64_t size) {
  if (size == 0) return nullptr;
  if (starts(head, head_size, "DDS ", 4)) return "dds";
  if (starts(head, head_size, "\x89PNG\r\n\x1a\n", 8)) return "png";
  if (starts(head, head_size, "\xFF\xD8\xFF", 3)) return "jpg";
  if (starts(head, head_size, "GIF87a", 6) || starts(head, head_size, "GIF89a", 6)) return "gif";
  // A bitmap says its own size right after "BM".
  if (starts(head, head_size, "BM", 2) && head_size >= 14 && decode_fixed32(head + 2) == size) {
    return "bmp";
  }
  if (starts(head, head_size, "RIFF", 4) && head_size >= 12) {
    if (std::memcmp(head + 8, "WAVE", 4) == 0) return "wav";
    if (std::memcmp(head + 8, "AVI ", 4) == 0) return "avi";
  }
  if (starts(head, head_size, "OggS", 4)) return "ogg";
  if (starts(head, head_size, "PK\x03\x04", 4)) return "zip";
  // A TGA image (version 2) ends with its signature.
  if (tail_size >= 18 && std::memcmp(tail + tail_size - 18, "TRUEVISION-XFILE.\0", 18) == 0) {
    return "tga";
  }
  const uint64_t bom = starts(head, head_size, "\xEF\xBB\xBF", 3) ? 3 : 0;
  if (starts(head + bom, head_size - bom, "<?xml", 5)) return "xml";
  if (looks_like_text(head, head_size)) return "txt";
  return nullptr;
}

}  // namespace radodaro
