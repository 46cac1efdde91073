#include "support/pack_builder.h"

#include <lzo1x.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "pak/checksums.h"
#include "pak/pak_format.h"

namespace radodaro::testing {

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

namespace {

uint32_t next_random(uint32_t* state) {
  // xorshift32: tiny, deterministic, good enough for test data.
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return *state = x;
}

}  // namespace

Bytes random_bytes(size_t length, uint32_t seed) {
  Bytes out(length);
  uint32_t state = seed * 2654435761u + 1;
  for (auto& b : out) b = static_cast<uint8_t>(next_random(&state) >> 24);
  return out;
}

Bytes text_like_bytes(size_t length, uint32_t seed) {
  static const char* const kWords[] = {"pack ",  "entry ", "folder ", "data ",  "member ",
                                       "file ",  "the ",   "of ",     "and ",   "directory ",
                                       "sum ",   "crc ",   "offset ", "size ",  "stored\n",
                                       "lzo1x ", "group ", "expand ", "index ", "bytes "};
  Bytes out;
  out.reserve(length + 16);
  uint32_t state = seed * 2654435761u + 7;
  while (out.size() < length) {
    const uint32_t r = next_random(&state);
    const char* word = kWords[r % 20];
    for (const char* p = word; *p; ++p) out.push_back(static_cast<uint8_t>(*p));
    if ((r >> 8) % 7 == 0) out.push_back(static_cast<uint8_t>('0' + (r >> 16) % 10));
  }
  out.resize(length);
  return out;
}

Bytes lzo1x_compress(const Bytes& content, LzoLevel level) {
  static const bool initialised = lzo_init() == LZO_E_OK;
  if (!initialised) throw std::runtime_error("lzo_init failed");
  Bytes out(content.size() + content.size() / 16 + 64 + 3);
  Bytes work(level == LzoLevel::kFast ? LZO1X_1_MEM_COMPRESS : LZO1X_999_MEM_COMPRESS);
  lzo_uint out_len = out.size();
  static const uint8_t kEmpty = 0;
  const uint8_t* src = content.empty() ? &kEmpty : content.data();
  const int rc = level == LzoLevel::kFast
                     ? lzo1x_1_compress(src, content.size(), out.data(), &out_len, work.data())
                     : lzo1x_999_compress(src, content.size(), out.data(), &out_len, work.data());
  if (rc != LZO_E_OK) throw std::runtime_error("lzo compression failed");
  out.resize(out_len);
  return out;
}

PackBuilder& PackBuilder::lead_bytes(const Bytes& eight) {
  lead_ = eight;
  lead_.resize(8);
  return *this;
}

PackBuilder& PackBuilder::dir_crc(uint32_t value) {
  dir_crc_ = value;
  return *this;
}

PackBuilder& PackBuilder::true_dir_crc() {
  true_dir_crc_ = true;
  return *this;
}

PackBuilder& PackBuilder::entry_count(uint32_t count) {
  entry_count_ = count;
  return *this;
}

PackBuilder& PackBuilder::stored(const Bytes& content, uint32_t crc1) {
  FixtureEntry e;
  e.crc1 = crc1;
  e.kind = kKindStored;
  e.crc2 = sum32(content.data(), content.size());
  e.data = content;
  e.content = content;
  return add(e);
}

PackBuilder& PackBuilder::lzo1x(const Bytes& content, LzoLevel level, uint32_t crc1) {
  FixtureEntry e;
  e.crc1 = crc1;
  e.kind = kKindLzo1x;
  e.crc2 = sum32(content.data(), content.size());
  e.data = lzo1x_compress(content, level);
  e.content = content;
  return add(e);
}

PackBuilder& PackBuilder::skipped(const Bytes& data) {
  FixtureEntry e;
  e.kind = kKindSkipped;
  e.data = data;
  return add(e);
}

PackBuilder& PackBuilder::add(const FixtureEntry& entry) {
  entries_.push_back(entry);
  return *this;
}

std::vector<PakEntry> PackBuilder::directory() const {
  std::vector<PakEntry> dir;
  uint64_t end = kHeaderSize + kEntrySize * entries_.size();
  for (const FixtureEntry& f : entries_) {
    PakEntry e;
    e.crc1 = f.crc1;
    e.kind = f.kind;
    e.crc2 = f.crc2;
    e.offset = f.offset.value_or(static_cast<uint32_t>(end));
    e.packed_size = f.packed_size.value_or(static_cast<uint32_t>(f.data.size()));
    e.unpacked_size = f.unpacked_size.value_or(
        static_cast<uint32_t>(f.kind == kKindLzo1x ? f.content.size() : f.data.size()));
    dir.push_back(e);
    end += f.data.size();
  }
  return dir;
}

Bytes PackBuilder::build() const {
  Bytes out(kHeaderSize + kEntrySize * entries_.size());
  PakHeader header;
  for (size_t i = 0; i < 8; ++i) header.lead_bytes[i] = lead_[i];
  header.entry_count = entry_count_.value_or(static_cast<uint32_t>(entries_.size()));
  header.dir_crc = dir_crc_;
  encode_header(header, out.data());
  const std::vector<PakEntry> dir = directory();
  for (size_t i = 0; i < entries_.size(); ++i) {
    encode_entry(dir[i], out.data() + kHeaderSize + kEntrySize * i);
    out.insert(out.end(), entries_[i].data.begin(), entries_[i].data.end());
  }
  if (true_dir_crc_) {
    encode_fixed32(out.data() + kDirCrcOffset,
                   Crc32().crc32(out.data() + kHeaderSize, kEntrySize * entries_.size()));
  }
  return out;
}

void PackBuilder::write(const std::string& path) const { write_file(path, build()); }

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("can't read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out.flush()) throw std::runtime_error("can't write " + path);
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  // A link counts, wherever it leads.
  const auto type = std::filesystem::symlink_status(path, ec).type();
  return type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none;
}

}  // namespace radodaro::testing
