// --make-patch OLD NEW PATCH: a patch that turns OLD's content into NEW's:
// a pack with NEW's entries where the two differ, skipped entries
// elsewhere, and what binds it to OLD.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands/invocation.h"
#include "commands/output.h"
#include "pak/entry_kind.h"
#include "pak/entry_reader.h"
#include "pak/pack_patch.h"
#include "pak/pack_writer.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

namespace {

using platform::Error;

// Entry `index` of `pack` as a patch sees it, its print taken when `print`;
// false (said why) when it cannot be read whole.
bool side_of(platform::Env& env, const PackView& pack, const std::string& path, uint32_t index,
             DecodeBuffer* buffer, PreparedEntry* prepared, EntryContent* content,
             PatchSide* side) {
  *side = {};
  *content = {};
  if (index >= header_of(pack.dir_image).entry_count) return true;
  const PakEntry e = entry_of(pack.dir_image, index);
  side->kind = e.kind;
  side->crc1 = e.crc1;
  *content = content_of(env, bytes_of(pack), e, buffer, prepared);
  if (content->readable) return true;
  complain("%s: entry %u cannot be read whole; no patch was written", path.c_str(), index);
  return false;
}

}  // namespace

int make_patch_command(platform::Env& env, const Invocation& in) {
  const PackView& old_pack = in.view;
  const std::string new_path = platform::full_path(in.operands[1]);
  const std::string patch_path = platform::full_path(in.operands[2]);
  platform::Handle folder;
  std::string name;
  if (!place_for_new_file(env, patch_path, in.options.overwrite, &folder, &name)) return -1;
  PackView new_pack;
  if (!open_pack_to_read(env, new_path, &new_pack)) return -1;
  const PakHeader old_header = header_of(old_pack.dir_image);
  const PakHeader new_header = header_of(new_pack.dir_image);
  PatchBinding binding;
  binding.old_count = old_header.entry_count;
  binding.new_count = new_header.entry_count;
  std::memcpy(binding.old_lead, old_header.lead_bytes, kLeadBytesSize);
  std::memcpy(binding.new_lead, new_header.lead_bytes, kLeadBytesSize);
  DecodeBuffer old_buffer;
  DecodeBuffer new_buffer;
  const uint32_t count = std::max(binding.old_count, binding.new_count);
  for (uint32_t i = 0; i < count; ++i) {
    PreparedEntry old_prepared;
    PreparedEntry new_prepared;
    EntryContent a;
    EntryContent b;
    PatchChange c;
    c.index = i;
    if (!side_of(env, old_pack, in.pack, i, &old_buffer, &old_prepared, &a, &c.before) ||
        !side_of(env, new_pack, new_path, i, &new_buffer, &new_prepared, &b, &c.after)) {
      return -1;
    }
    bool read = true;
    const bool same = i < binding.old_count && i < binding.new_count && a.present == b.present &&
                      c.before.kind == c.after.kind && c.before.crc1 == c.after.crc1 &&
                      same_content(a, b, &read);
    if (read && same) continue;
    if (!read || !print_of(a, &c.before.content) || !print_of(b, &c.after.content)) {
      complain("%s or %s was cut short while it was read; no patch was written", in.pack.c_str(),
               new_path.c_str());
      return -1;
    }
    binding.changes.push_back(c);
  }

  PackWriter out(env, folder, name, new_header.lead_bytes, binding.new_count,
                 encode_binding(binding));
  if (const Error e = out.create(); e != Error::kOk) {
    complain("cannot create %s: %s", patch_path.c_str(), platform::reason(e));
    return -1;
  }
  for (const PatchChange& c : binding.changes) {
    if (c.index >= binding.new_count) continue;
    PakEntry e = entry_of(new_pack.dir_image, c.index);
    if (kind_of(e).holds_data && !out.append(new_pack.data() + e.offset, read_extent(e), &e)) {
      complain("cannot write %s: entry %u could not be copied whole; no patch was written",
               patch_path.c_str(), c.index);
      return -1;
    }
    out.set(c.index, e);
  }
  if (const Error e = out.finish(); e != Error::kOk) {
    complain("cannot write %s: %s; no patch was written", patch_path.c_str(), platform::reason(e));
    return -1;
  }
  if (in.options.json) {
    print_out(summary_json("make-patch", in.pack)
                  .string("against", new_path)
                  .string("patch", patch_path)
                  .number("changes", binding.changes.size())
                  .number("file_size", *out.end())
                  .text());
  } else {
    std::printf("Wrote %s: %llu %s changed, %llu bytes\n", patch_path.c_str(),
                static_cast<unsigned long long>(binding.changes.size()),
                binding.changes.size() == 1 ? "entry" : "entries",
                static_cast<unsigned long long>(*out.end()));
  }
  if (!platform::flush_output()) return -1;
  platform::hold_interruptions();
  if (const Error e = out.name(in.options.overwrite); e != Error::kOk) {
    complain("cannot name %s: %s; no patch was written", patch_path.c_str(),
             e == Error::kExists ? "something came to be there meanwhile" : platform::reason(e));
    return -1;
  }
  if (out.sync_name() != Error::kOk) {
    complain("warning: the name of %s may not be durable", patch_path.c_str());
  }
  return 0;
}

}  // namespace radodaro
