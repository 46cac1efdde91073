#include "pak/compact.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "pak/checksums.h"
#include "pak/pack_update.h"
#include "pak/pak_format.h"
#include "platform/process.h"

namespace radodaro {

namespace {

using platform::Error;

constexpr uint64_t kChunk = uint64_t{1} << 20;

struct Span {
  uint64_t begin = 0;
  uint64_t end = 0;
};

}  // namespace

std::vector<Move> compact_layout(std::vector<uint8_t>* dir_image, uint64_t file_size,
                                 uint64_t* new_size) {
  uint8_t* image = dir_image->data();
  PakHeader header = decode_header(image);
  std::vector<Span> spans;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    const PakEntry e = decode_entry(image + entry_position(i));
    uint64_t extent = 0;
    if (kept_extent(e, file_size, &extent) && extent != 0) {
      spans.push_back({e.offset, e.offset + extent});
    }
  }
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.begin < b.begin; });
  // Overlapping data is one stretch, copied once.
  std::vector<Move> moves;
  uint64_t at = dir_image->size();
  for (const Span& s : spans) {
    if (!moves.empty() && s.begin < moves.back().from + moves.back().length) {
      Move& last = moves.back();
      const uint64_t end = std::max(last.from + last.length, s.end);
      at += end - (last.from + last.length);
      last.length = end - last.from;
      continue;
    }
    moves.push_back({s.begin, at, s.end - s.begin});
    at += s.end - s.begin;
  }
  *new_size = at;

  // Each offset moves with the stretch that holds it. Data of no length
  // goes where the data that followed it now begins.
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    uint8_t* record = image + entry_position(i);
    PakEntry e = decode_entry(record);
    uint64_t extent = 0;
    if (!kept_extent(e, file_size, &extent)) continue;
    const auto after = std::upper_bound(moves.begin(), moves.end(), uint64_t{e.offset},
                                        [](uint64_t o, const Move& m) { return o < m.from; });
    uint64_t moved = *new_size;
    if (after != moves.begin() && e.offset < (after - 1)->from + (after - 1)->length) {
      moved = (after - 1)->to + (e.offset - (after - 1)->from);
    } else if (after != moves.end()) {
      moved = after->to;
    }
    e.offset = static_cast<uint32_t>(moved);
    encode_entry(e, record);
  }
  header.dir_crc = Crc32().crc32(image + kHeaderSize, dir_image->size() - kHeaderSize);
  encode_header(header, image);
  return moves;
}

bool run_compact(platform::Env& env, const std::string& pak_path) {
  PackUpdate update(env, pak_path);
  if (update.open() != PackUpdate::Open::kOk) {
    std::printf("Can't create data file %s\n", pak_path.c_str());
    return false;
  }
  // Nothing is ever appended to the pack itself; it is replaced whole.
  update.leave_untouched();
  const uint64_t old_size = update.original_size();
  uint8_t header_bytes[kHeaderSize];
  uint64_t got = 0;
  if (old_size < kHeaderSize ||
      env.read_at(update.file(), header_bytes, kHeaderSize, 0, &got) != Error::kOk ||
      got != kHeaderSize || directory_end(decode_header(header_bytes).entry_count) > old_size) {
    std::printf("Bad data file %s\n", pak_path.c_str());
    return false;
  }
  std::vector<uint8_t> dir_image;
  const uint64_t image_size = directory_end(decode_header(header_bytes).entry_count);
  try {
    dir_image.resize(image_size);
  } catch (const std::bad_alloc&) {
    std::printf("Can't create data file %s\n", pak_path.c_str());
    return false;
  }
  if (env.read_at(update.file(), dir_image.data(), image_size, 0, &got) != Error::kOk ||
      got != image_size) {
    std::printf("Bad data file %s\n", pak_path.c_str());
    return false;
  }
  uint64_t new_size = 0;
  const std::vector<Move> moves = compact_layout(&dir_image, old_size, &new_size);
  // Nothing to give back. (Data that overlaps the directory would even be
  // copied out of it, and a longer pack could bring entries that lie
  // outside the file inside it.) The pack stays as it is.
  if (new_size >= old_size) {
    std::printf("Compacted %s: %llu bytes, now %llu\n", pak_path.c_str(),
                static_cast<unsigned long long>(old_size),
                static_cast<unsigned long long>(old_size));
    return true;
  }

  // Written without a name and named only once whole and durable; a kill
  // before the rename leaves at most the named copy, which the next run
  // removes.
  const std::string temp_name = platform::name_of(compact_path(pak_path));
  const std::string pak_name = platform::name_of(pak_path);
  (void)env.remove(update.folder(), temp_name);
  platform::NewFile out(env, update.folder(), temp_name);
  const std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kChunk]);
  bool ok = chunk != nullptr && out.create() == Error::kOk &&
            out.append(dir_image.data(), dir_image.size()) == Error::kOk;
  // Written straight from a mapping of the old pack where it can be
  // mapped, sparing a copy; read a piece at a time where not.
  const uint8_t* mapped = ok ? env.map_window(update.file(), 0, old_size) : nullptr;
  for (const Move& m : moves) {
    for (uint64_t done = 0; ok && done < m.length;) {
      const uint64_t n = std::min(kChunk, m.length - done);
      if (mapped != nullptr) {
        const uint8_t* piece = mapped + m.from + done;
        bool appended = false;
        ok = platform::read_mapped(piece, n,
                                   [&] { appended = out.append(piece, n) == Error::kOk; }) &&
             appended;
      } else {
        ok = env.read_at(update.file(), chunk.get(), n, m.from + done, &got) == Error::kOk &&
             got == n && out.append(chunk.get(), n) == Error::kOk;
      }
      done += n;
    }
  }
  if (mapped != nullptr) env.unmap_window(mapped, old_size);
  ok = ok && out.sync() == Error::kOk && out.take_permissions_of(update.file()) == Error::kOk &&
       out.commit() == Error::kOk;
  if (ok && env.replace(update.folder(), temp_name, pak_name, update.held_file()) != Error::kOk) {
    (void)env.remove(update.folder(), temp_name);
    ok = false;
  }
  if (!ok) {
    std::printf("Can't write data file %s\n", pak_path.c_str());
    return false;
  }
  if (env.sync_folder(update.folder()) != Error::kOk) {
    std::fprintf(stderr, "radodaro: warning: the rename of %s may not be durable\n",
                 pak_path.c_str());
  }
  std::printf("Compacted %s: %llu bytes, now %llu\n", pak_path.c_str(),
              static_cast<unsigned long long>(old_size), static_cast<unsigned long long>(new_size));
  return true;
}

}  // namespace radodaro
