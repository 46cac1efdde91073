#include "pak/entry_check.h"

#include "pak/checksums.h"
#include "pak/entry_kind.h"

#include <cstdarg>
#include <cstdio>

namespace radodaro {

namespace {

// printf into a string: a C variadic, so that the compiler checks each
// format against its arguments.
// NOLINTNEXTLINE(cert-dcl50-cpp)
__attribute__((format(printf, 1, 2))) std::string text(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return line;
}

}  // namespace

void directory_problems(const PakEntry& e, std::vector<std::string>* problems) {
  const EntryKind& kind = kind_of(e);
  if (kind.name == nullptr) {
    std::string known;
    const auto kinds = known_kinds();
    for (size_t i = 0; i < kinds.size(); ++i) {
      known.append(i == 0 ? "" : i + 1 == kinds.size() ? " or " : ", ").append(kinds[i].name);
    }
    problems->push_back(text("kind %u is not %s", e.kind, known.c_str()));
  }
  if (kind.sizes_agree && e.packed_size != e.unpacked_size) {
    problems->push_back(text("%s, but its packed size %u is not its unpacked size %u", kind.name,
                             e.packed_size, e.unpacked_size));
  }
}

void stored_problems(const PakEntry& e, uint32_t sum, std::vector<std::string>* problems) {
  if (sum != e.crc2) {
    problems->push_back(text("crc2 %08X is not the sum of its content, %08X", e.crc2, sum));
  }
}

void lzo1x_problems(const PakEntry& e, const Decoded& d, uint32_t content_sum,
                    std::vector<std::string>* problems) {
  if (!d.decoded()) {
    problems->push_back(text("its lzo1x stream does not decode (error %d)", d.result));
  } else if (!d.clean()) {
    problems->push_back(text("its lzo1x stream decodes to %llu bytes, not %u",
                             static_cast<unsigned long long>(d.produced), e.unpacked_size));
  }
  if (e.crc2 != content_sum && e.crc2 != d.packed_sum) {
    problems->push_back(
        text("crc2 %08X is neither the sum of its content, %08X, nor of its packed bytes, %08X",
             e.crc2, content_sum, d.packed_sum));
  }
}

std::string outside_problem(const PakEntry& e) {
  return text("its data, %llu bytes at offset %u, lies outside the file",
              static_cast<unsigned long long>(read_extent(e)), e.offset);
}

EntryVerdict check_entry(const PakEntry& entry, uint64_t pack_size, const PreparedEntry& prepared) {
  EntryVerdict v;
  directory_problems(entry, &v.problems);
  if (!range_in_file(entry.offset, read_extent(entry), pack_size)) {
    v.read = EntryVerdict::Read::kOutside;
    return v;
  }
  if (!kind_of(entry).compressed) {
    if (prepared.read_whole < entry.unpacked_size) {
      v.read = EntryVerdict::Read::kCutShort;
      return v;
    }
    v.summed = true;
    v.sum = prepared.stored_sum;
    stored_problems(entry, v.sum, &v.problems);
    return v;
  }
  const Decoded& d = prepared.decoded;
  if (d.data == nullptr) {
    v.read = EntryVerdict::Read::kNoMemory;
    return v;
  }
  if (!d.read) {
    v.read = EntryVerdict::Read::kCutShort;
    return v;
  }
  v.summed = v.packed_summed = true;
  v.sum = sum32(d.data, entry.unpacked_size);
  v.packed_sum = d.packed_sum;
  lzo1x_problems(entry, d, v.sum, &v.problems);
  return v;
}

}  // namespace radodaro
