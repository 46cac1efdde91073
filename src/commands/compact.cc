#include "commands/compact.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "commands/invocation.h"
#include "commands/open_pack.h"
#include "commands/output.h"
#include "pak/compact_layout.h"
#include "pak/pack_patch.h"
#include "pak/pack_reader.h"
#include "pak/pack_update.h"
#include "platform/process.h"

namespace radodaro {

namespace {

using platform::Error;

constexpr uint64_t kChunk = uint64_t{1} << 20;
constexpr uint64_t kRun = uint64_t{64} << 20;

// Copies `length` bytes at `from` of the pack to `to` of `out` through the
// process: straight from a mapping where the pack can be mapped, sparing a
// copy; else a piece at a time.
bool copy_through_memory(platform::Env& env, const platform::Handle& pack, const uint8_t* mapped,
                         uint64_t from, uint64_t to, uint64_t length, std::vector<uint8_t>* chunk,
                         const platform::Handle& out) {
  for (uint64_t done = 0; done < length;) {
    const uint64_t n = std::min(kChunk, length - done);
    if (mapped != nullptr) {
      const uint8_t* piece = mapped + from + done;
      bool written = false;
      if (!platform::read_mapped(
              piece, n, [&] { written = env.write_at(out, piece, n, to + done) == Error::kOk; }) ||
          !written) {
        return false;
      }
    } else {
      chunk->resize(kChunk);
      uint64_t got = 0;
      if (env.read_at(pack, chunk->data(), n, from + done, &got) != Error::kOk || got != n ||
          env.write_at(out, chunk->data(), n, to + done) != Error::kOk) {
        return false;
      }
    }
    done += n;
  }
  return true;
}

// The live data of the pack, copied into the new one: inside the system,
// where it can copy from file to file, else through memory of our own.
class StretchCopier {
 public:
  StretchCopier(platform::Env& env, const PackUpdate& update, const platform::Handle& out)
      : env_(env), update_(update), out_(out) {}
  ~StretchCopier() {
    if (mapped_ != nullptr) env_.unmap_window(mapped_, update_.original_size());
  }
  StretchCopier(const StretchCopier&) = delete;
  StretchCopier& operator=(const StretchCopier&) = delete;

  bool copy(uint64_t from, uint64_t to, uint64_t length) {
    uint64_t copied = 0;
    if (in_system_) {
      const Error e = env_.copy_range(update_.file(), from, out_, to, length, &copied);
      if (e == Error::kOk) return true;
      if (e != Error::kUnsupported) return false;
      // Refused: the rest, and every later stretch, through memory.
      in_system_ = false;
      mapped_ = env_.map_window(update_.file(), 0, update_.original_size());
    }
    return copy_through_memory(env_, update_.file(), mapped_, from + copied, to + copied,
                               length - copied, &chunk_, out_);
  }

 private:
  platform::Env& env_;
  const PackUpdate& update_;
  const platform::Handle& out_;
  bool in_system_ = true;
  const uint8_t* mapped_ = nullptr;
  std::vector<uint8_t> chunk_;
};

// Writes the new pack as the file `name` beside the old one: it appears
// under that name only once whole, durable and with the old one's owner,
// group, mode and attributes. Stretches that follow one another in the old
// pack as in the new are copied as one run, of up to kRun bytes, so that
// the progress line still moves.
bool write_compacted(platform::Env& env, const PackUpdate& update, const CompactLayout& layout,
                     const std::string& name, Progress* progress) {
  platform::NewFile out(env, update.folder(), name);
  if (out.create() != Error::kOk ||
      out.append(layout.dir_image.data(), layout.dir_image.size()) != Error::kOk) {
    return false;
  }
  StretchCopier copier(env, update, out.handle());
  const std::vector<Move>& moves = layout.moves;
  for (size_t i = 0; i < moves.size();) {
    Move run = moves[i];
    size_t next = i + 1;
    for (; next < moves.size() && run.length < kRun && moves[next].from == run.from + run.length &&
           moves[next].to == run.to + run.length;
         ++next) {
      run.length += moves[next].length;
    }
    if (!copier.copy(run.from, run.to, run.length)) return false;
    for (; i < next; ++i) progress->advance(moves[i].length);
  }
  return out.sync() == Error::kOk && out.take_attributes_of(update.file()) == Error::kOk &&
         out.commit() == Error::kOk;
}

// The sizes before and after (or, with --dry-run, that it would have).
void print_sizes(const std::string& pak_path, uint64_t old_size, uint64_t new_size,
                 const CompactOptions& options) {
  if (options.json) {
    print_out(summary_json("compact", pak_path)
                  .flag("dry_run", options.dry_run)
                  .number("size_before", old_size)
                  .number("size_after", new_size)
                  .text());
    return;
  }
  std::printf(options.dry_run ? "Would compact %s: %llu bytes, then %llu\n"
                              : "Compacted %s: %llu bytes, now %llu\n",
              pak_path.c_str(), static_cast<unsigned long long>(old_size),
              static_cast<unsigned long long>(new_size));
}

// Opens the pack and reads its directory; says why not. A pack with several
// names is refused: the new pack would take the place of one of them only.
bool open_pack(platform::Env& env, PackUpdate* update, const std::string& pak_path,
               std::vector<uint8_t>* dir_image) {
  if (!open_pack_for_writing(env, update, pak_path, dir_image, Voice::kCommand)) return false;
  if (update->identity().links > 1) {
    std::fprintf(stderr,
                 "radodaro: %s has %llu names (hard links), and a compacted pack would take the "
                 "place of this one only: it was left as it is\n",
                 pak_path.c_str(), static_cast<unsigned long long>(update->identity().links));
    return false;
  }
  return true;
}

// A patch's binding lies where no entry refers to it: a compaction would
// drop it, and the patch with it. Says so, or that the pack could not be
// read to tell.
bool refused_as_patch(const PackBytes& pack, const std::vector<uint8_t>& dir_image,
                      const std::string& pak_path) {
  PatchBinding binding;
  std::string why;
  if (pack.data == nullptr) {
    complain("%s: cannot be read to tell whether it is a patch; it was left as it is",
             pak_path.c_str());
    return true;
  }
  if (read_binding(pack, dir_image, &binding, &why) == BindingRead::kNone) return false;
  complain(
      "%s is a patch: compacting it would drop what binds it to the pack it patches; it "
      "was left as it is",
      pak_path.c_str());
  return true;
}

bool is_patch(platform::Env& env, const PackUpdate& update, const std::vector<uint8_t>& dir_image,
              const std::string& pak_path) {
  const uint64_t size = update.original_size();
  const uint8_t* mapped = env.map_window(update.file(), 0, size);
  const bool refused = refused_as_patch({mapped, size, &update.file()}, dir_image, pak_path);
  if (mapped != nullptr) env.unmap_window(mapped, size);
  return refused;
}

}  // namespace

namespace {

constexpr char kPastFourGiB[] =
    "%s: compacted, some data would lie past 4 GiB, where no offset can point; it was left as "
    "it is";

// --compact --dry-run: the pack read as --verify reads it, and the sizes it
// has and would have.
bool dry_run_compact(platform::Env& env, const std::string& pak_path,
                     const CompactOptions& options) {
  PackView pack;
  if (!open_pack_to_read(env, pak_path, &pack) ||
      refused_as_patch(bytes_of(pack), pack.dir_image, pak_path)) {
    return false;
  }
  const CompactLayout layout = plan_compaction(pack.dir_image, pack.size);
  if (!layout.offsets_fit) {
    complain(kPastFourGiB, pak_path.c_str());
    return false;
  }
  const uint64_t after = std::min(layout.new_size, pack.size);
  print_sizes(pak_path, pack.size, after, options);
  return true;
}

}  // namespace

bool run_compact(platform::Env& env, const std::string& pak_path, const CompactOptions& options) {
  if (options.dry_run) return dry_run_compact(env, pak_path, options);
  PackUpdate update(env, pak_path, say);
  std::vector<uint8_t> dir_image;
  // Nothing is ever appended to the pack itself; it is replaced whole,
  // while the run holds it.
  update.leave_untouched();
  update.to_be_replaced();
  if (!open_pack(env, &update, pak_path, &dir_image)) return false;
  const uint64_t old_size = update.original_size();
  if (is_patch(env, update, dir_image, pak_path)) return false;
  const CompactLayout layout = plan_compaction(dir_image, old_size);
  if (!layout.offsets_fit) {
    complain(kPastFourGiB, pak_path.c_str());
    return false;
  }
  // Nothing to give back. (Data that overlaps the directory would even be
  // copied out of it, and a longer pack could bring entries that lie
  // outside the file inside it.) The pack stays as it is.
  if (layout.new_size >= old_size) {
    print_sizes(pak_path, old_size, old_size, options);
    return true;
  }
  const platform::Handle& folder = update.folder();
  const std::string temp_name = update.files().compact_name();
  Progress progress(options.progress, layout.moves.size(), layout.data_size(), "stretches");
  const bool written = write_compacted(env, update, layout, temp_name, &progress);
  progress.clear();
  if (!written) {
    (void)env.remove(folder, temp_name);
    complain("%s: its compacted copy could not be written; the pack is as it was",
             pak_path.c_str());
    return false;
  }
  // The line goes out before the point of no return: exit 0 then means
  // compacted, and anything else the old pack.
  print_sizes(pak_path, old_size, layout.new_size, options);
  if (!platform::flush_output()) {
    (void)env.remove(folder, temp_name);
    return false;
  }
  platform::hold_interruptions();
  if (const Error e = env.replace(folder, temp_name, update.files().name, update.held_file());
      e != Error::kOk) {
    (void)env.remove(folder, temp_name);
    complain("cannot replace %s with its compacted copy: %s; the pack is as it was",
             pak_path.c_str(), platform::reason(e));
    return false;
  }
  if (env.sync_folder(folder) != Error::kOk) {
    std::fprintf(stderr, "radodaro: warning: the rename of %s may not be durable\n",
                 pak_path.c_str());
  }
  return true;
}

int compact_command(platform::Env& env, const Invocation& in) {
  CompactOptions options;
  options.dry_run = in.options.dry_run;
  options.json = in.options.json;
  options.progress = in.options.progress;
  return run_compact(env, in.pack, options) ? 0 : -1;
}

}  // namespace radodaro
