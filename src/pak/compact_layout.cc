#include "pak/compact_layout.h"

#include <algorithm>
#include <limits>

#include "pak/checksums.h"
#include "pak/entry_kind.h"
#include "pak/pak_format.h"

namespace radodaro {

namespace {

struct Span {
  uint64_t begin = 0;
  uint64_t end = 0;
};

// Stretches of kept data, overlapping and shared ones joined, laid out one
// after the other from `start`.
std::vector<Move> lay_out(std::vector<Span> spans, uint64_t start, uint64_t* end) {
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.begin < b.begin; });
  std::vector<Move> moves;
  uint64_t at = start;
  for (const Span& s : spans) {
    // Overlapping, shared and adjacent stretches are one, copied at once.
    if (!moves.empty() && s.begin <= moves.back().from + moves.back().length) {
      Move& last = moves.back();
      const uint64_t last_end = last.from + last.length;
      const uint64_t joined_end = std::max(last_end, s.end);
      at += joined_end - last_end;
      last.length = joined_end - last.from;
      continue;
    }
    moves.push_back({s.begin, at, s.end - s.begin});
    at += s.end - s.begin;
  }
  *end = at;
  return moves;
}

// Where `offset` lands: with the stretch that holds it, or, for data of no
// length, where the data that followed it now begins.
uint64_t moved_offset(const std::vector<Move>& moves, uint64_t offset, uint64_t new_size) {
  const auto after = std::upper_bound(moves.begin(), moves.end(), offset,
                                      [](uint64_t o, const Move& m) { return o < m.from; });
  if (after != moves.begin() && offset < (after - 1)->from + (after - 1)->length) {
    return (after - 1)->to + (offset - (after - 1)->from);
  }
  return after != moves.end() ? after->to : new_size;
}

}  // namespace

CompactLayout plan_compaction(const std::vector<uint8_t>& dir_image, uint64_t file_size) {
  CompactLayout layout;
  layout.dir_image = dir_image;
  uint8_t* image = layout.dir_image.data();
  PakHeader header = decode_header(image);
  std::vector<Span> spans;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    const PakEntry e = decode_entry(image + entry_position(i));
    uint64_t extent = 0;
    if (kept_extent(e, file_size, &extent) && extent != 0) {
      spans.push_back({e.offset, e.offset + extent});
    }
  }
  layout.moves = lay_out(std::move(spans), dir_image.size(), &layout.new_size);

  for (uint32_t i = 0; i < header.entry_count; ++i) {
    uint8_t* record = image + entry_position(i);
    PakEntry e = decode_entry(record);
    uint64_t extent = 0;
    if (!kept_extent(e, file_size, &extent)) continue;
    const uint64_t moved = moved_offset(layout.moves, e.offset, layout.new_size);
    // An offset is 32 bits: data that would land past that cannot move.
    if (moved > std::numeric_limits<uint32_t>::max()) {
      layout.offsets_fit = false;
      continue;
    }
    e.offset = static_cast<uint32_t>(moved);
    encode_entry(e, record);
  }
  header.dir_crc = Crc32().crc32(image + kHeaderSize, layout.dir_image.size() - kHeaderSize);
  encode_header(header, image);
  return layout;
}

}  // namespace radodaro
