#include "pak/pak_format.h"

#include <cstring>

namespace radodaro {

PakHeader decode_header(const uint8_t* p) {
  PakHeader header;
  std::memcpy(header.lead_bytes, p + kLeadBytesOffset, kLeadBytesSize);
  header.entry_count = decode_fixed32(p + kEntryCountOffset);
  header.dir_crc = decode_fixed32(p + kDirCrcOffset);
  return header;
}

void encode_header(const PakHeader& header, uint8_t* p) {
  std::memcpy(p + kLeadBytesOffset, header.lead_bytes, kLeadBytesSize);
  encode_fixed32(p + kEntryCountOffset, header.entry_count);
  encode_fixed32(p + kDirCrcOffset, header.dir_crc);
}

PakEntry decode_entry(const uint8_t* p) {
  PakEntry entry;
  entry.crc1 = decode_fixed32(p + kCrc1Offset);
  entry.kind = decode_fixed32(p + kKindOffset);
  entry.crc2 = decode_fixed32(p + kCrc2Offset);
  entry.unpacked_size = decode_fixed32(p + kUnpackedSizeOffset);
  entry.offset = decode_fixed32(p + kDataOffsetOffset);
  entry.packed_size = decode_fixed32(p + kPackedSizeOffset);
  return entry;
}

void encode_entry(const PakEntry& entry, uint8_t* p) {
  encode_fixed32(p + kCrc1Offset, entry.crc1);
  encode_fixed32(p + kKindOffset, entry.kind);
  encode_fixed32(p + kCrc2Offset, entry.crc2);
  encode_fixed32(p + kUnpackedSizeOffset, entry.unpacked_size);
  encode_fixed32(p + kDataOffsetOffset, entry.offset);
  encode_fixed32(p + kPackedSizeOffset, entry.packed_size);
}

std::string member_name(uint32_t index) {
  // As "%08x.dat" prints it; called for every entry of a pack, which
  // formatting through printf makes costly at a million of them.
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name = "00000000.dat";
  for (int i = 7; i >= 0; --i, index >>= 4) name[static_cast<size_t>(i)] = kDigits[index & 0xFu];
  return name;
}

std::string member_path(const std::string& folder_path, uint32_t index) {
  std::string path;
  path.reserve(folder_path.size() + 12);
  path += folder_path;
  path += member_name(index);
  return path;
}

}  // namespace radodaro
