#include "pak/entry_reader.h"
#include "pak/entry_kind.h"

#include <algorithm>
#include <cstring>

#include "pak/checksums.h"
#include "pak/entry_check.h"
#include "platform/process.h"

namespace radodaro {

namespace {

// Whether the `n` bytes at `data` end as bytes past a cut read: in zeros,
// where an lzo1x stream ends in its end marker instead.
bool may_end_past_a_cut(const uint8_t* data, uint64_t n, bool lzo1x) {
  if (n == 0) return false;
  if (lzo1x) return !(n >= 3 && data[n - 3] == 0x11 && data[n - 2] == 0 && data[n - 1] == 0);
  return data[n - 1] == 0;
}

// Whether the pack still reaches `end`; a pack whose length cannot be
// told does not.
bool still_reaches(platform::Env& env, const PackBytes& pack, uint64_t end) {
  uint64_t size = 0;
  return pack.file != nullptr && env.size_of(*pack.file, &size) == platform::Error::kOk &&
         size >= end;
}

}  // namespace

void prepare_entry(platform::Env& env, const PakEntry& entry, const PackView& pack,
                   DecodeBuffer* buffer, PreparedEntry* prepared) {
  prepare_entry(env, entry, bytes_of(pack), buffer, prepared);
}

void prepare_entry(platform::Env& env, const PakEntry& entry, const PackBytes& pack,
                   DecodeBuffer* buffer, PreparedEntry* prepared) {
  const EntryKind& kind = kind_of(entry);
  if (!kind.holds_data || !range_in_file(entry.offset, read_extent(entry), pack.size)) {
    return;
  }
  const uint8_t* data = pack.data + entry.offset;
  const uint64_t end = uint64_t{entry.offset} + read_extent(entry);
  if (kind.compressed) {
    prepared->decoded = kind.decode(entry, data, buffer, /*sum_packed=*/true);
    bool tail_zeroed = false;
    if (prepared->decoded.read && !platform::read_mapped(data, entry.packed_size, [&] {
          tail_zeroed = may_end_past_a_cut(data, entry.packed_size, true);
        })) {
      prepared->decoded.read = false;
    }
    if (tail_zeroed && !still_reaches(env, pack, end)) prepared->decoded.read = false;
    return;
  }
  uint32_t sum = 0;
  uint64_t done = 0;
  while (done < entry.unpacked_size) {
    // Every piece but the last is a whole number of words, so the pieces'
    // sums add up to the sum of the whole. A piece the pack lost under us
    // ends the read; the member is written up to it.
    const uint64_t n = std::min(entry.unpacked_size - done, kStoredChunk);
    bool tail_zeroed = false;
    if (!platform::read_mapped(data + done, n, [&] {
          sum += sum32(data + done, n);
          tail_zeroed =
              done + n == entry.unpacked_size && may_end_past_a_cut(data + done, n, false);
        })) {
      break;
    }
    if (tail_zeroed && !still_reaches(env, pack, end)) break;
    done += n;
  }
  prepared->stored_sum = sum;
  prepared->read_whole = done;
}

EntryContent content_of(platform::Env& env, const PackBytes& pack, const PakEntry& entry,
                        DecodeBuffer* buffer, PreparedEntry* prepared) {
  EntryContent c;
  if (!kind_of(entry).holds_data) return c;
  c.present = true;
  prepare_entry(env, entry, pack, buffer, prepared);
  const EntryVerdict v = check_entry(entry, pack.size, *prepared);
  if (v.read != EntryVerdict::Read::kWhole ||
      (kind_of(entry).compressed && prepared->decoded.data == nullptr)) {
    c.readable = false;
    return c;
  }
  c.size = entry.unpacked_size;
  c.data = kind_of(entry).compressed ? prepared->decoded.data : pack.data + entry.offset;
  return c;
}

bool same_content(const EntryContent& a, const EntryContent& b, bool* read) {
  if (a.size != b.size) return false;
  bool same = true;
  for (uint64_t done = 0; done < a.size && same;) {
    const uint64_t n = std::min(a.size - done, kStoredChunk);
    if (!platform::read_mapped(a.data + done, n, b.data + done, n,
                               [&] { same = std::memcmp(a.data + done, b.data + done, n) == 0; })) {
      *read = false;
      return false;
    }
    done += n;
  }
  return same;
}

}  // namespace radodaro
