#include "pak/pak_open.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "pak/checksums.h"
#include "pak/pack_update.h"
#include "pak/pak_format.h"
#include "platform/process.h"

namespace radodaro {

namespace {

bool fail(const char* message, const std::string& pak_path, platform::MappedView* view) {
  *view = platform::MappedView();
  std::printf(message, pak_path.c_str());
  return false;
}

constexpr char kCantOpen[] = "Can't open dir file %s\n";
constexpr char kBad[] = "Bad dir file %s\n";

}  // namespace

bool open_pak_file(platform::Env& env, const std::string& pak_path, platform::MappedView* view,
                   std::vector<uint8_t>* dir_image) {
  if (recover_pack(env, pak_path) == Recovery::kFailed) return fail(kCantOpen, pak_path, view);
  switch (env.map_shared(pak_path, view)) {
    case platform::Error::kOk:
      break;
    case platform::Error::kEmpty:
      return fail(kBad, pak_path, view);
    default:
      return fail(kCantOpen, pak_path, view);
  }
  // Nothing is read outside the file: the header and the whole directory
  // must fit before a byte of either is looked at.
  uint8_t header_bytes[kHeaderSize];
  if (view->size < kHeaderSize || !platform::read_mapped(view->data, kHeaderSize, [&] {
        std::memcpy(header_bytes, view->data, kHeaderSize);
      })) {
    return fail(kBad, pak_path, view);
  }
  const PakHeader header = decode_header(header_bytes);
  const uint64_t image_size = directory_end(header.entry_count);
  if (image_size > view->size) return fail(kBad, pak_path, view);
  try {
    dir_image->resize(image_size);
  } catch (const std::bad_alloc&) {
    return fail(kCantOpen, pak_path, view);
  }
  const bool copied = platform::read_mapped(
      view->data, image_size, [&] { std::memcpy(dir_image->data(), view->data, image_size); });
  // A pack cut short under us reads as zeros past its new end, without a
  // fault within the last page: only its length tells.
  uint64_t size_now = 0;
  if (!copied || env.size_of(view->file, &size_now) != platform::Error::kOk ||
      size_now < image_size) {
    return fail(kBad, pak_path, view);
  }
  platform::advise_sequential(view->data, view->size);
  return true;
}

bool map_pak_file(platform::Env& env, const std::string& pak_path, platform::MappedView* view,
                  std::vector<uint8_t>* dir_image) {
  if (!open_pak_file(env, pak_path, view, dir_image)) return false;
  const PakHeader header = decode_header(dir_image->data());
  std::printf("Dir CRC=%08X, SUMM=%08X\n", header.dir_crc,
              sum32(dir_image->data() + kHeaderSize, dir_image->size() - kHeaderSize));
  return true;
}

}  // namespace radodaro
