// --apply-patch PACK PATCH: the patch's entries put into the pack through
// its journal, as --update puts members back: whole old or whole new after
// a kill at any moment. Each entry the patch changes must hold what the
// patch was made against, or already what it makes; anything else is a
// conflict, and the whole patch is refused (unless --force).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "commands/group.h"
#include "commands/invocation.h"
#include "commands/open_pack.h"
#include "commands/output.h"
#include "pak/checksums.h"
#include "pak/entry_kind.h"
#include "pak/entry_reader.h"
#include "pak/pack_patch.h"
#include "pak/pack_update.h"
#include "pak/pack_writer.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

namespace {

using platform::Error;

// Reads the patch's binding and checks that its entries hold what the
// binding says they put in place; says why not.
bool read_patch(platform::Env& env, const std::string& patch_path, const PackView& patch,
                PatchBinding* binding) {
  std::string why;
  switch (read_binding(bytes_of(patch), patch.dir_image, binding, &why)) {
    case BindingRead::kNone:
      complain("%s: not a patch: nothing after its directory binds it to a pack",
               patch_path.c_str());
      return false;
    case BindingRead::kDamaged:
      complain("%s: its binding to the pack it patches is damaged: %s", patch_path.c_str(),
               why.c_str());
      return false;
    case BindingRead::kFound:
      break;
  }
  DecodeBuffer buffer;
  for (const PatchChange& c : binding->changes) {
    if (c.index >= binding->new_count) continue;
    const PakEntry e = entry_of(patch.dir_image, c.index);
    PreparedEntry prepared;
    const EntryContent content = content_of(env, bytes_of(patch), e, &buffer, &prepared);
    PatchSide side{{}, e.kind, e.crc1};
    if (!content.readable || !print_of(content, &side.content) || !(side == c.after)) {
      complain(
          "%s: entry %u does not hold what the patch binds it to (changed since it was "
          "made?); nothing was changed",
          patch_path.c_str(), c.index);
      return false;
    }
  }
  return true;
}

// What becomes of one entry of the pack.
struct Step {
  enum State { kApply, kAlready, kConflict };
  uint32_t index = 0;
  State state = kApply;
  PatchSide now;    // what the pack holds
  PatchSide after;  // what the patch makes of it
  std::string why;  // a conflict's
};

// The pack's bytes while the run looks at them: a reader's view for a dry
// run, the writer's own mapping otherwise.
struct PackInHand {
  std::optional<PackView> view;
  std::optional<PackUpdate> update;
  std::vector<uint8_t> dir_image;
  PackBytes bytes;
  platform::Env* env = nullptr;
  const uint8_t* mapped = nullptr;
  ~PackInHand() {
    if (mapped != nullptr) env->unmap_window(mapped, bytes.size);
  }
};

bool take_pack(platform::Env& env, const std::string& pak_path, bool dry_run, PackInHand* pack) {
  pack->env = &env;
  if (dry_run) {
    pack->view.emplace();
    if (!open_pack_to_read(env, pak_path, &*pack->view)) return false;
    pack->dir_image = pack->view->dir_image;
    pack->bytes = bytes_of(*pack->view);
    return true;
  }
  pack->update.emplace(env, pak_path, say);
  if (!open_pack_for_writing(env, &*pack->update, pak_path, &pack->dir_image, Voice::kCommand)) {
    return false;
  }
  const uint64_t size = pack->update->original_size();
  pack->mapped = env.map_window(pack->update->file(), 0, size);
  if (pack->mapped == nullptr) {
    complain("%s: cannot be mapped to be read; nothing was changed", pak_path.c_str());
    pack->update->leave_untouched();
    return false;
  }
  pack->bytes = {pack->mapped, size, &pack->update->file()};
  return true;
}

// Entry `index` of the pack as the patch sees it; false when it cannot be
// read whole.
bool side_in_pack(platform::Env& env, const PackInHand& pack, uint32_t index, DecodeBuffer* buffer,
                  PatchSide* side) {
  *side = {};
  if (index >= header_of(pack.dir_image).entry_count) return true;
  const PakEntry e = entry_of(pack.dir_image, index);
  side->kind = e.kind;
  side->crc1 = e.crc1;
  PreparedEntry prepared;
  const EntryContent content = content_of(env, pack.bytes, e, buffer, &prepared);
  return content.readable && print_of(content, &side->content);
}

// What the patch asks of every entry: the steps, in index order.
std::vector<Step> plan(platform::Env& env, const PackInHand& pack, const PatchBinding& binding,
                       const PackView& patch) {
  const uint32_t count = header_of(pack.dir_image).entry_count;
  std::vector<Step> steps;
  DecodeBuffer buffer;
  size_t next = 0;
  const uint32_t most = std::max(count, binding.new_count);
  for (uint32_t i = 0; i < most; ++i) {
    const PatchChange* c = next < binding.changes.size() && binding.changes[next].index == i
                               ? &binding.changes[next++]
                               : nullptr;
    // Entries the patch leaves alone, within both directories.
    if (c == nullptr && i < count && i < binding.new_count) continue;
    Step s;
    s.index = i;
    if (!side_in_pack(env, pack, i, &buffer, &s.now)) {
      s.state = Step::kConflict;
      s.why = "it cannot be read whole";
      steps.push_back(s);
      continue;
    }
    if (c != nullptr) {
      s.after = c->after;
      if (s.now == c->after) {
        s.state = Step::kAlready;
      } else if (s.now.content == c->before.content) {
        s.state = Step::kApply;
      } else {
        s.state = Step::kConflict;
        s.why = "it holds neither what the patch was made against nor what it puts there";
      }
    } else if (i >= binding.new_count) {
      // Past the patched pack's end: dropped, and only nothing may be.
      s.state = s.now.content.present ? Step::kConflict : Step::kApply;
      s.why = "the patch ends the directory before it, and it holds data";
    } else {
      // Past this pack's end, but not past the one the patch was made
      // against.
      const PakEntry e = entry_of(patch.dir_image, i);
      s.after = {{}, e.kind, e.crc1};
      s.state = Step::kConflict;
      s.why = "this pack has no such entry, and the patch was made against one that has";
    }
    steps.push_back(s);
  }
  return steps;
}

const char* step_word(const Step& s, bool dry_run) {
  switch (s.state) {
    case Step::kAlready:
      return "already";
    case Step::kConflict:
      return "conflict";
    case Step::kApply:
      break;
  }
  return dry_run ? "to_patch" : "patched";
}

std::string sizes_text(const PatchSide& before, const PatchSide& after) {
  const auto text = [](const PatchSide& s) {
    return s.content.present ? std::to_string(s.content.size) + " bytes" : std::string("none");
  };
  return text(before) + ", now " + text(after);
}

// Writes the patch that puts the pack back as it is: the entries `steps`
// change, as they are now, bound to the pack as the patch leaves it.
bool write_undo(platform::Env& env, const std::string& undo_path, const PackInHand& pack,
                const std::vector<Step>& steps, const PatchBinding& binding, bool lead_changes) {
  platform::Handle folder;
  std::string name;
  if (!place_for_new_file(env, undo_path, false, &folder, &name)) return false;
  const PakHeader header = header_of(pack.dir_image);
  PatchBinding undo;
  undo.old_count = binding.new_count;
  undo.new_count = header.entry_count;
  std::memcpy(undo.old_lead, lead_changes ? binding.new_lead : header.lead_bytes, kLeadBytesSize);
  std::memcpy(undo.new_lead, header.lead_bytes, kLeadBytesSize);
  for (const Step& s : steps) {
    if (s.state == Step::kAlready) continue;
    undo.changes.push_back({s.index, s.after, s.now});
  }
  PackWriter out(env, folder, name, header.lead_bytes, header.entry_count, encode_binding(undo));
  bool ok = out.create() == Error::kOk;
  for (const PatchChange& c : undo.changes) {
    if (!ok || c.index >= header.entry_count) continue;
    PakEntry e = entry_of(pack.dir_image, c.index);
    ok = !kind_of(e).holds_data ||
         (c.after.content.present && out.append(pack.bytes.data + e.offset, read_extent(e), &e));
    out.set(c.index, e);
  }
  if (!ok || out.finish() != Error::kOk || out.name(false) != Error::kOk) {
    complain("%s: the undo patch could not be written; nothing was changed", undo_path.c_str());
    return false;
  }
  if (out.sync_name() != Error::kOk) {
    complain("warning: the name of %s may not be durable", undo_path.c_str());
  }
  return true;
}

// The directory as the patch leaves it, its entries' data appended to the
// pack from `*pack_end`.
bool patched_directory(platform::Env& env, PackInHand* pack, const PatchBinding& binding,
                       const PackView& patch, const std::vector<Step>& steps, bool lead_changes,
                       std::vector<uint8_t>* image, uint64_t* pack_end) {
  const platform::Handle& file = pack->update->file();
  *image = pack->dir_image;
  image->resize(static_cast<size_t>(directory_end(binding.new_count)));
  PakHeader header = header_of(*image);
  header.entry_count = binding.new_count;
  if (lead_changes) std::memcpy(header.lead_bytes, binding.new_lead, kLeadBytesSize);
  encode_header(header, image->data());
  *pack_end = std::max<uint64_t>(pack->bytes.size, image->size());
  for (const Step& s : steps) {
    if (s.state == Step::kAlready || s.index >= binding.new_count) continue;
    PakEntry e = entry_of(patch.dir_image, s.index);
    if (kind_of(e).holds_data) {
      const uint64_t extent = read_extent(e);
      const uint8_t* data = patch.data() + e.offset;
      bool written = false;
      if (*pack_end + extent >= kPackLimit ||
          !platform::read_mapped(
              data, extent,
              [&] { written = env.write_at(file, data, extent, *pack_end) == Error::kOk; }) ||
          !written) {
        return false;
      }
      e.offset = static_cast<uint32_t>(*pack_end);
      *pack_end += extent;
    }
    encode_entry(e, image->data() + entry_position(s.index));
  }
  return move_out_of_the_directory(env, file, pack->bytes.size, image, pack_end);
}

}  // namespace

int apply_patch_command(platform::Env& env, const Invocation& in) {
  const std::string& pak_path = in.pack;
  const std::string patch_path = platform::full_path(in.operands[1]);
  const bool dry_run = in.options.dry_run;
  PackView patch;
  PatchBinding binding;
  if (!open_pack_to_read(env, patch_path, &patch) ||
      !read_patch(env, patch_path, patch, &binding)) {
    return -1;
  }
  PackInHand pack;
  if (!take_pack(env, pak_path, dry_run, &pack)) return -1;
  const PakHeader header = header_of(pack.dir_image);
  std::vector<Step> steps = plan(env, pack, binding, patch);
  const bool lead_is_new = std::memcmp(header.lead_bytes, binding.new_lead, kLeadBytesSize) == 0;
  const bool lead_changes =
      !lead_is_new &&
      (std::memcmp(header.lead_bytes, binding.old_lead, kLeadBytesSize) == 0 || in.options.force);
  size_t conflicts = !lead_is_new && !lead_changes ? 1 : 0;
  if (conflicts != 0) {
    complain(
        "%s: its lead bytes are neither those the patch was made against nor those it puts "
        "there",
        pak_path.c_str());
  }
  size_t to_apply = 0;
  size_t already = 0;
  for (Step& s : steps) {
    if (s.state == Step::kConflict) {
      ++conflicts;
      complain("%s: entry %u (%s): %s", pak_path.c_str(), s.index, member_name(s.index).c_str(),
               s.why.c_str());
      if (in.options.force) s.state = Step::kApply;
    }
    if (s.state == Step::kApply) ++to_apply;
    if (s.state == Step::kAlready) ++already;
  }
  if (conflicts != 0 && !in.options.force) {
    complain("%s: %llu %s with %s; nothing was changed (--force applies it anyway)",
             pak_path.c_str(), static_cast<unsigned long long>(conflicts),
             conflicts == 1 ? "conflict" : "conflicts", patch_path.c_str());
    if (pack.update) pack.update->leave_untouched();
    return -1;
  }
  const bool changes = to_apply != 0 || lead_changes;
  // The lines go out before the pack changes.
  for (const Step& s : steps) {
    const char* word = step_word(s, dry_run);
    if (in.options.json) {
      PakEntry e = s.index < binding.new_count ? entry_of(patch.dir_image, s.index) : PakEntry{};
      if (s.index >= binding.new_count) e.kind = kKindSkipped;
      print_out(entry_json(s.index, e).string("status", word).text());
    } else if (s.state != Step::kAlready) {
      char head[32];
      std::snprintf(head, sizeof head, "%-10s %s: ", word, member_name(s.index).c_str());
      print_out(head + sizes_text(s.now, s.after) + "\n");
    }
  }
  if (in.options.json) {
    JsonLine line = summary_json("apply-patch", pak_path);
    line.string("patch", patch_path).flag("dry_run", dry_run);
    if (!in.options.undo.empty() && changes)
      line.string("undo", platform::full_path(in.options.undo));
    print_out(line.number("patched", to_apply)
                  .number("already", already)
                  .number("conflicts", conflicts)
                  .text());
  } else if (!changes) {
    std::printf("%s: the patch is in place already; nothing to do\n", pak_path.c_str());
  } else {
    std::printf(dry_run ? "Would patch %s: %llu entries, %llu already so\n"
                        : "Patched %s: %llu entries, %llu already so\n",
                pak_path.c_str(), static_cast<unsigned long long>(to_apply),
                static_cast<unsigned long long>(already));
  }
  if (dry_run || !changes) {
    if (pack.update) pack.update->leave_untouched();
    return platform::flush_output() ? 0 : -1;
  }
  // The way back is durable before anything changes.
  if (!in.options.undo.empty() &&
      !write_undo(env, platform::full_path(in.options.undo), pack, steps, binding, lead_changes)) {
    pack.update->leave_untouched();
    return -1;
  }
  PackUpdate& update = *pack.update;
  std::vector<uint8_t> image;
  uint64_t pack_end = 0;
  if (!update.before_append(pack.dir_image.data(), pack.dir_image.size()) ||
      !patched_directory(env, &pack, binding, patch, steps, lead_changes, &image, &pack_end)) {
    complain("%s: could not be written; it stays as it was", pak_path.c_str());
    return -1;
  }
  PakHeader after = header_of(image);
  after.dir_crc = Crc32().crc32(image.data() + kHeaderSize, image.size() - kHeaderSize);
  encode_header(after, image.data());
  if (!platform::flush_output()) return -1;
  if (!update.commit(image.data(), image.size(), pack_end)) {
    complain(
        "%s: could not be written; it stays as it was before this run (or a journal left "
        "beside it puts it back at the next run)",
        pak_path.c_str());
    return -1;
  }
  if (update.close() != Error::kOk) {
    complain("warning: closing %s failed after its new directory was made durable",
             pak_path.c_str());
  }
  return 0;
}

}  // namespace radodaro
