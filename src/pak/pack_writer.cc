#include "pak/pack_writer.h"

#include <cstring>
#include <utility>

#include "pak/checksums.h"
#include "platform/process.h"

namespace radodaro {

using platform::Error;

PackWriter::PackWriter(platform::Env& env, const platform::Handle& folder, const std::string& name,
                       const uint8_t* lead_bytes, uint32_t entry_count,
                       std::vector<uint8_t> after_directory)
    : env_(env),
      folder_(folder),
      file_(env, folder, name),
      image_(static_cast<size_t>(directory_end(entry_count))),
      after_directory_(std::move(after_directory)),
      end_(image_.size() + after_directory_.size()) {
  PakHeader header;
  std::memcpy(header.lead_bytes, lead_bytes, kLeadBytesSize);
  header.entry_count = entry_count;
  encode_header(header, image_.data());
  PakEntry skipped;
  skipped.kind = kKindSkipped;
  for (uint32_t i = 0; i < entry_count; ++i) set(i, skipped);
}

Error PackWriter::create() {
  if (const Error e = file_.create(); e != Error::kOk) return e;
  if (after_directory_.empty()) return Error::kOk;
  return env_.write_at(file(), after_directory_.data(), after_directory_.size(), image_.size());
}

bool PackWriter::append(const uint8_t* data, uint64_t length, PakEntry* entry) {
  if (end_ + length >= kPackLimit) return false;
  bool written = false;
  if (!platform::read_mapped(
          data, length,
          [&] { written = env_.write_at(file(), data, length, end_) == Error::kOk; }) ||
      !written) {
    return false;
  }
  entry->offset = static_cast<uint32_t>(end_);
  end_ += length;
  return true;
}

void PackWriter::set(uint32_t index, const PakEntry& entry) {
  encode_entry(entry, image_.data() + entry_position(index));
}

Error PackWriter::finish() {
  PakHeader header = decode_header(image_.data());
  header.dir_crc = Crc32().crc32(image_.data() + kHeaderSize, image_.size() - kHeaderSize);
  encode_header(header, image_.data());
  if (const Error e = env_.write_at(file(), image_.data(), image_.size(), 0); e != Error::kOk) {
    return e;
  }
  return file_.sync();
}

Error PackWriter::name(bool replacing) {
  return replacing ? file_.commit_replacing() : file_.commit();
}

}  // namespace radodaro
