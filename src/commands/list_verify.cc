#include "commands/list_verify.h"

#include <cstdio>
#include <vector>

#include "commands/invocation.h"
#include "commands/output.h"
#include "pak/checksums.h"
#include "pak/compact_layout.h"
#include "pak/entry_check.h"
#include "pak/entry_decoder.h"
#include "pak/entry_kind.h"
#include "pak/entry_pipeline.h"
#include "pak/pack_patch.h"
#include "pak/pack_reader.h"
#include "platform/process.h"

namespace radodaro {

namespace {

uint32_t directory_crc(const std::vector<uint8_t>& dir_image) {
  return Crc32().crc32(dir_image.data() + kHeaderSize, dir_image.size() - kHeaderSize);
}

}  // namespace

int run_list(const PackView& pack, const LookOptions& options) {
  const PakHeader header = header_of(pack.dir_image);
  // One count for each kind that the format knows, and one for the rest.
  std::vector<uint32_t> counts(known_kinds().size() + 1);
  uint32_t listed = 0;
  if (!options.json) {
    std::printf("%-8s  %-7s  %10s  %10s  %10s  %-8s  %s\n", "member", "kind", "unpacked", "packed",
                "offset", "crc1", "crc2");
  }
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    if (!options.selection.contains(i)) continue;
    const PakEntry e = entry_of(pack.dir_image, i);
    ++listed;
    ++counts[kind_position(e.kind)];
    uint64_t extent = 0;
    const bool inside = kept_extent(e, pack.size, &extent);
    if (options.json) {
      JsonLine line = entry_json(i, e);
      line.flag("outside", !inside);
      if (options.names != nullptr && options.names->named(i)) {
        line.string("name", options.names->path_of(i));
      }
      std::fputs(line.text().c_str(), stdout);
      continue;
    }
    const char* name = kind_name(e.kind);
    char kind[16];
    if (name == nullptr) {
      std::snprintf(kind, sizeof kind, "%u", e.kind);
      name = kind;
    }
    const std::string own = options.names != nullptr && options.names->named(i)
                                ? "  " + options.names->path_of(i)
                                : std::string();
    std::printf("%08x  %-7s  %10u  %10u  %10u  %08X  %08X%s%s\n", i, name, e.unpacked_size,
                e.packed_size, e.offset, e.crc1, e.crc2, inside ? "" : "  outside", own.c_str());
  }
  const CompactLayout layout = plan_compaction(pack.dir_image, pack.size);
  const uint32_t crc = directory_crc(pack.dir_image);
  if (options.json) {
    JsonLine summary = summary_json("list", options.pak_path);
    summary.number("entries", listed)
        .number("stored", counts[0])
        .number("lzo1x", counts[1])
        .number("skipped", counts[2])
        .number("other", counts[3])
        .number("file_size", pack.size)
        .number("referenced", layout.data_size())
        .number("unreferenced", layout.gives_back(pack.size))
        .hex("dir_crc", header.dir_crc)
        .hex("directory_crc", crc)
        .flag("dir_crc_matches", crc == header.dir_crc);
    std::fputs(summary.text().c_str(), stdout);
    return 0;
  }
  std::printf("entries %u: stored %u, lzo1x %u, skipped %u, other %u\n", listed, counts[0],
              counts[1], counts[2], counts[3]);
  std::printf("file size %llu bytes\n", static_cast<unsigned long long>(pack.size));
  std::printf("referenced %llu bytes\n", static_cast<unsigned long long>(layout.data_size()));
  std::printf("unreferenced %llu bytes\n",
              static_cast<unsigned long long>(layout.gives_back(pack.size)));
  if (crc == header.dir_crc) {
    std::printf("dir_crc %08X matches the directory\n", header.dir_crc);
  } else {
    std::printf("dir_crc %08X differs from the directory's CRC-32 %08X\n", header.dir_crc, crc);
  }
  return 0;
}

namespace {

// --verify's words for what check_entry() found.
void verify_entry(platform::Env& env, const PakEntry& e, const PackView& pack, DecodeBuffer* buffer,
                  EntryVerdict* v) {
  PreparedEntry prepared;
  prepare_entry(env, e, pack, buffer, &prepared);
  *v = check_entry(e, pack.size, prepared);
  switch (v->read) {
    case EntryVerdict::Read::kWhole:
      return;
    case EntryVerdict::Read::kOutside:
      v->problems.push_back(outside_problem(e));
      return;
    case EntryVerdict::Read::kCutShort:
      v->problems.emplace_back("its data was cut short while it was read");
      return;
    case EntryVerdict::Read::kNoMemory:
      v->problems.push_back("no memory to decode its " + std::to_string(e.unpacked_size) +
                            " bytes");
      return;
  }
}

// --verify on the pipeline: workers check the entries, the committing
// thread prints what they found, in index order.
class VerifyWork final : public EntryWork {
 public:
  VerifyWork(platform::Env& env, const PackView& pack, const PipelineLimits& limits,
             const LookOptions& options, Progress* progress)
      : env_(env),
        pack_(pack),
        options_(options),
        progress_(progress),
        buffers_(limits.budget),
        slots_(limits.slots) {}

  uint64_t cost(uint32_t index) override {
    const PakEntry e = entry_of(pack_.dir_image, index);
    return kind_of(e).compressed && options_.selection.contains(index) ? e.unpacked_size : 0;
  }

  uint64_t prepare(uint32_t index, uint32_t slot, uint32_t) override {
    EntryVerdict& v = slots_[slot];
    v = EntryVerdict();
    const PakEntry e = entry_of(pack_.dir_image, index);
    if (!kind_of(e).holds_data || !options_.selection.contains(index)) return 0;
    // The decoded bytes are not kept past the check.
    std::unique_ptr<DecodeBuffer> buffer =
        kind_of(e).compressed ? buffers_.take() : std::unique_ptr<DecodeBuffer>();
    verify_entry(env_, e, pack_, buffer.get(), &v);
    buffers_.give(std::move(buffer));
    return 0;
  }

  bool commit(uint32_t index, uint32_t slot) override {
    if (!options_.selection.contains(index)) return true;
    const EntryVerdict& v = slots_[slot];
    const PakEntry e = entry_of(pack_.dir_image, index);
    problems += v.problems.size();
    failed += v.problems.empty() ? 0 : 1;
    const bool inside = range_in_file(e.offset, read_extent(e), pack_.size);
    progress_->advance(inside ? read_extent(e) : 0);
    if (options_.json) {
      JsonLine line = entry_json(index, e);
      line.string("status", !kind_of(e).holds_data ? "skipped"
                            : v.problems.empty()   ? "ok"
                                                   : "problems");
      if (v.summed) line.hex("sum", v.sum);
      if (v.packed_summed) line.hex("packed_sum", v.packed_sum);
      print_out(line.strings("problems", v.problems).text());
    } else {
      std::string report;
      for (const std::string& p : v.problems) {
        report.append(member_name(index)).append(": ").append(p).append("\n");
      }
      print_out(report);
    }
    if (!kind_of(e).holds_data) return true;
    ++checked;
    if (inside) read_behind_.done(e.offset, read_extent(e));
    return true;
  }

  uint64_t problems = 0;
  uint64_t failed = 0;  // entries with problems
  uint32_t checked = 0;

 private:
  platform::Env& env_;
  const PackView& pack_;
  const LookOptions& options_;
  Progress* progress_;
  DecodeBufferPool buffers_;
  std::vector<EntryVerdict> slots_;
  ReadBehind read_behind_{pack_.data()};
};

// The entries and bytes that a run over `selection` reads.
void selected_totals(const PackView& pack, const EntrySelection& selection, uint64_t* entries,
                     uint64_t* bytes) {
  const uint32_t count = header_of(pack.dir_image).entry_count;
  *entries = *bytes = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (!selection.contains(i)) continue;
    const PakEntry e = entry_of(pack.dir_image, i);
    ++*entries;
    if (range_in_file(e.offset, read_extent(e), pack.size)) *bytes += read_extent(e);
  }
}

}  // namespace

int run_verify(platform::Env& env, const PackView& pack, uint32_t workers,
               const LookOptions& options) {
  const PakHeader header = header_of(pack.dir_image);
  const PipelineLimits limits = pipeline_limits(workers);
  uint64_t entries = 0;
  uint64_t bytes = 0;
  selected_totals(pack, options.selection, &entries, &bytes);
  Progress progress(options.progress, entries, bytes);
  VerifyWork work(env, pack, limits, options, &progress);
  run_in_order(work, header.entry_count, limits);
  progress.clear();
  uint64_t problems = work.problems;
  const uint32_t crc = directory_crc(pack.dir_image);
  if (crc != header.dir_crc) ++problems;
  // A patch's binding to the pack it patches.
  PatchBinding binding;
  std::string why;
  const BindingRead bound = read_binding(bytes_of(pack), pack.dir_image, &binding, &why);
  if (bound == BindingRead::kDamaged) ++problems;
  if (options.json) {
    JsonLine summary = summary_json("verify", options.pak_path);
    if (bound != BindingRead::kNone) {
      summary.string("binding", bound == BindingRead::kFound ? "whole" : "damaged");
    }
    summary.number("entries", entries)
        .number("checked", work.checked)
        .number("failed", work.failed)
        .number("problem_count", problems)
        .hex("dir_crc", header.dir_crc)
        .hex("directory_crc", crc)
        .flag("dir_crc_matches", crc == header.dir_crc);
    std::fputs(summary.text().c_str(), stdout);
  } else {
    if (crc != header.dir_crc) {
      std::printf("directory: dir_crc %08X is not the CRC-32 of the directory, %08X\n",
                  header.dir_crc, crc);
    }
    if (bound == BindingRead::kDamaged) {
      std::printf("patch: its binding to the pack it patches is damaged: %s\n", why.c_str());
    }
    std::printf("entries checked %u, problems %llu\n", work.checked,
                static_cast<unsigned long long>(problems));
  }
  return problems == 0 ? 0 : 1;
}

int list_command(platform::Env& env, const Invocation& in) {
  LookOptions options;
  options.pak_path = in.pack;
  options.json = in.options.json;
  options.selection = in.options.selection;
  MemberNames names;
  if (!in.options.names.empty()) {
    if (!load_names(env, in.options.names, header_of(in.view.dir_image).entry_count, &names)) {
      return -1;
    }
    options.names = &names;
  }
  return run_list(in.view, options);
}

int verify_command(platform::Env& env, const Invocation& in) {
  LookOptions options;
  options.pak_path = in.pack;
  options.json = in.options.json;
  options.selection = in.options.selection;
  options.progress = in.options.progress;
  return run_verify(env, in.view, in.options.jobs, options);
}

}  // namespace radodaro
