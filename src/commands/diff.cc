// --diff OLD NEW: what differs between two packs, entry by entry, by
// content: two packs that hold the same content in another layout (one
// compacted) are the same.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "commands/invocation.h"
#include "commands/output.h"
#include "pak/entry_check.h"
#include "pak/entry_kind.h"
#include "pak/entry_reader.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

namespace {

std::string hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

const char* kind_text(uint32_t kind) {
  const char* name = kind_name(kind);
  return name != nullptr ? name : "other";
}

}  // namespace

int diff_command(platform::Env& env, const Invocation& in) {
  const PackView& old_pack = in.view;
  const std::string new_path = platform::full_path(in.operands[1]);
  PackView new_pack;
  if (!open_pack_to_read(env, new_path, &new_pack)) return -1;
  const PakHeader old_header = header_of(old_pack.dir_image);
  const PakHeader new_header = header_of(new_pack.dir_image);
  const bool json = in.options.json;
  uint64_t differences = 0;
  const auto say = [&](uint32_t index, const PakEntry& e, const char* status,
                       const std::string& text, const std::function<void(JsonLine&)>& more) {
    ++differences;
    if (json) {
      JsonLine line = entry_json(index, e);
      line.string("status", status);
      more(line);
      print_out(line.text());
    } else {
      char head[32];
      std::snprintf(head, sizeof head, "%-10s %s", status, member_name(index).c_str());
      print_out(head + text + "\n");
    }
  };
  if (std::memcmp(old_header.lead_bytes, new_header.lead_bytes, kLeadBytesSize) != 0) {
    ++differences;
    if (!json) print_out("lead bytes differ\n");
  }
  const uint32_t count = std::max(old_header.entry_count, new_header.entry_count);
  DecodeBuffer old_buffer;
  DecodeBuffer new_buffer;
  for (uint32_t i = 0; i < count; ++i) {
    if (i >= new_header.entry_count) {
      say(i, entry_of(old_pack.dir_image, i), "removed", "", [](JsonLine&) {});
      continue;
    }
    const PakEntry n = entry_of(new_pack.dir_image, i);
    if (i >= old_header.entry_count) {
      say(i, n, "added", ": " + std::to_string(n.unpacked_size) + " bytes", [](JsonLine&) {});
      continue;
    }
    const PakEntry o = entry_of(old_pack.dir_image, i);
    PreparedEntry old_prepared;
    PreparedEntry new_prepared;
    const EntryContent a = content_of(env, bytes_of(old_pack), o, &old_buffer, &old_prepared);
    const EntryContent b = content_of(env, bytes_of(new_pack), n, &new_buffer, &new_prepared);
    bool read = a.readable && b.readable;
    const bool same = read && same_content(a, b, &read);
    if (!read) {
      complain("%s: entry %u cannot be read whole, so the packs cannot be compared",
               (a.readable ? new_path : in.pack).c_str(), i);
      return -1;
    }
    if (!same) {
      say(i, n, "changed",
          ": " + std::to_string(o.unpacked_size) + " bytes, now " + std::to_string(n.unpacked_size),
          [&](JsonLine& l) { l.number("old_unpacked", o.unpacked_size); });
    }
    if (o.kind != n.kind) {
      say(i, n, "kind", std::string(": ") + kind_text(o.kind) + ", now " + kind_text(n.kind),
          [&](JsonLine& l) { l.string("old_kind", kind_text(o.kind)); });
    }
    if (o.crc1 != n.crc1) {
      say(i, n, "crc1", ": " + hex8(o.crc1) + ", now " + hex8(n.crc1),
          [&](JsonLine& l) { l.hex("old_crc1", o.crc1); });
    }
  }
  if (json) {
    print_out(summary_json("diff", in.pack)
                  .string("against", new_path)
                  .flag("lead_bytes_match", std::memcmp(old_header.lead_bytes,
                                                        new_header.lead_bytes, kLeadBytesSize) == 0)
                  .number("differences", differences)
                  .text());
  }
  return differences == 0 ? 0 : 1;
}

}  // namespace radodaro
