#include "pak/pack_patch.h"

#include <algorithm>
#include <cstring>

#include "pak/checksums.h"
#include "pak/pack_reader.h"
#include "platform/process.h"

namespace radodaro {

namespace {

constexpr char kMagic[] = "radodaro-patch-1";  // 16 bytes, no terminator
constexpr size_t kMagicSize = sizeof kMagic - 1;
constexpr size_t kHead = 56;
constexpr size_t kChangeSize = 48;
// The entries of a change: index, flags (1: there before, 2: after), then
// kind, crc1, size, sum and CRC-32 before, then after.
constexpr uint32_t kBefore = 1;
constexpr uint32_t kAfter = 2;

void encode_side(const PatchSide& side, uint8_t* p) {
  encode_fixed32(p, side.kind);
  encode_fixed32(p + 4, side.crc1);
  encode_fixed32(p + 8, side.content.size);
  encode_fixed32(p + 12, side.content.sum);
  encode_fixed32(p + 16, side.content.crc);
}

PatchSide decode_side(const uint8_t* p, bool present) {
  PatchSide side;
  side.kind = decode_fixed32(p);
  side.crc1 = decode_fixed32(p + 4);
  side.content.present = present;
  side.content.size = decode_fixed32(p + 8);
  side.content.sum = decode_fixed32(p + 12);
  side.content.crc = decode_fixed32(p + 16);
  return side;
}

}  // namespace

bool print_of(const EntryContent& content, ContentPrint* print) {
  *print = {};
  if (!content.present) return true;
  print->present = true;
  print->size = static_cast<uint32_t>(content.size);
  Sum32 sum;
  uint32_t crc = 0;
  for (uint64_t done = 0; done < content.size;) {
    const uint64_t n = std::min(content.size - done, kStoredChunk);
    const uint8_t* piece = content.data + done;
    if (!platform::read_mapped(piece, n, [&] {
          sum.update(piece, n);
          crc = Crc32().extend(crc, piece, n);
        })) {
      return false;
    }
    done += n;
  }
  print->sum = sum.value();
  print->crc = crc;
  return true;
}

std::vector<uint8_t> encode_binding(const PatchBinding& binding) {
  std::vector<uint8_t> out(kHead + kChangeSize * binding.changes.size());
  std::memcpy(out.data(), kMagic, kMagicSize);
  encode_fixed32(out.data() + 16, static_cast<uint32_t>(out.size()));
  encode_fixed32(out.data() + 24, binding.old_count);
  encode_fixed32(out.data() + 28, binding.new_count);
  std::memcpy(out.data() + 32, binding.old_lead, kLeadBytesSize);
  std::memcpy(out.data() + 40, binding.new_lead, kLeadBytesSize);
  encode_fixed32(out.data() + 48, static_cast<uint32_t>(binding.changes.size()));
  uint8_t* p = out.data() + kHead;
  for (const PatchChange& c : binding.changes) {
    encode_fixed32(p, c.index);
    encode_fixed32(
        p + 4, (c.before.content.present ? kBefore : 0) | (c.after.content.present ? kAfter : 0));
    encode_side(c.before, p + 8);
    encode_side(c.after, p + 28);
    p += kChangeSize;
  }
  encode_fixed32(out.data() + 20, Crc32().crc32(out.data() + 24, out.size() - 24));
  return out;
}

BindingRead read_binding(const PackBytes& pack, const std::vector<uint8_t>& dir_image,
                         PatchBinding* binding, std::string* why) {
  const uint64_t at = dir_image.size();
  std::vector<uint8_t> head(kHead);
  bool copied = false;
  if (!range_in_file(at, kMagicSize, pack.size)) return BindingRead::kNone;
  if (range_in_file(at, kHead, pack.size)) {
    copied = platform::read_mapped(pack.data + at, kHead,
                                   [&] { std::memcpy(head.data(), pack.data + at, kHead); });
  } else {
    head.assign(kHead, 0);
    copied = platform::read_mapped(pack.data + at, kMagicSize,
                                   [&] { std::memcpy(head.data(), pack.data + at, kMagicSize); });
  }
  if (!copied) {
    *why = "the file was cut short while it was read";
    return BindingRead::kDamaged;
  }
  if (std::memcmp(head.data(), kMagic, kMagicSize) != 0) return BindingRead::kNone;
  const uint64_t length = decode_fixed32(head.data() + 16);
  const uint64_t changes = decode_fixed32(head.data() + 48);
  if (!range_in_file(at, kHead, pack.size) || length != kHead + kChangeSize * changes ||
      !range_in_file(at, length, pack.size)) {
    *why = "it does not fit in the file";
    return BindingRead::kDamaged;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (!platform::read_mapped(pack.data + at, length,
                             [&] { std::memcpy(bytes.data(), pack.data + at, length); })) {
    *why = "the file was cut short while it was read";
    return BindingRead::kDamaged;
  }
  if (Crc32().crc32(bytes.data() + 24, bytes.size() - 24) != decode_fixed32(bytes.data() + 20)) {
    *why = "its CRC-32 does not match";
    return BindingRead::kDamaged;
  }
  *binding = {};
  binding->old_count = decode_fixed32(bytes.data() + 24);
  binding->new_count = decode_fixed32(bytes.data() + 28);
  std::memcpy(binding->old_lead, bytes.data() + 32, kLeadBytesSize);
  std::memcpy(binding->new_lead, bytes.data() + 40, kLeadBytesSize);
  const uint32_t most = std::max(binding->old_count, binding->new_count);
  for (uint64_t i = 0; i < changes; ++i) {
    const uint8_t* p = bytes.data() + kHead + kChangeSize * i;
    PatchChange c;
    c.index = decode_fixed32(p);
    const uint32_t flags = decode_fixed32(p + 4);
    c.before = decode_side(p + 8, (flags & kBefore) != 0);
    c.after = decode_side(p + 28, (flags & kAfter) != 0);
    const bool in_order = binding->changes.empty() || binding->changes.back().index < c.index;
    if (!in_order || c.index >= most ||
        (c.after.content.present && c.index >= binding->new_count) ||
        (c.before.content.present && c.index >= binding->old_count)) {
      *why = "its entries are out of order or out of range";
      return BindingRead::kDamaged;
    }
    binding->changes.push_back(c);
  }
  if (binding->new_count != header_of(dir_image).entry_count) {
    *why = "it was made for another directory";
    return BindingRead::kDamaged;
  }
  return BindingRead::kFound;
}

}  // namespace radodaro
