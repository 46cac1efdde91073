// --cat PACK SELECTION: the content of the selected entries, in index
// order, on standard output, byte for byte, and nothing else there.
#include <cstdio>
#include <string>

#include "commands/invocation.h"
#include "commands/output.h"
#include "pak/entry_check.h"
#include "pak/entry_kind.h"
#include "pak/entry_reader.h"
#include "platform/console.h"
#include "platform/process.h"

namespace radodaro {

namespace {

// The selection as typed, each name of the list (--names) taken for the
// index of its entry.
std::string with_indices(const std::string& typed, const MemberNames& names) {
  std::string out;
  size_t at = 0;
  while (true) {
    const size_t comma = std::min(typed.find(',', at), typed.size());
    std::string part = typed.substr(at, comma - at);
    for (const auto& [index, path] : names.paths()) {
      if (path == part) part = std::to_string(index);
    }
    out += part;
    if (comma == typed.size()) return out;
    out += ',';
    at = comma + 1;
  }
}

// Writes `length` bytes at `data` (the pack's mapped bytes, or memory of
// our own) to standard output; false when they could not be read whole.
bool write_out(const uint8_t* data, uint64_t length) {
  for (uint64_t done = 0; done < length;) {
    const uint64_t n = std::min(length - done, kStoredChunk);
    if (!platform::read_mapped(data + done, n, [&] { std::fwrite(data + done, 1, n, stdout); })) {
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace

int cat_command(platform::Env& env, const Invocation& in) {
  const PackView& pack = in.view;
  const uint32_t count = header_of(pack.dir_image).entry_count;
  MemberNames names;
  if (!in.options.names.empty() && !load_names(env, in.options.names, count, &names)) return -1;
  EntrySelection selection;
  std::string why;
  if (!selection.parse(with_indices(in.operands[1], names), &why) || !selection.fits(count, &why)) {
    complain("%s", why.c_str());
    return -1;
  }
  // Refused before a byte is written.
  for (uint32_t i = 0; i < count; ++i) {
    if (selection.contains(i) && !kind_of(entry_of(pack.dir_image, i)).holds_data) {
      complain("entry %u is skipped: it has no content", i);
      return -1;
    }
  }
  if (!platform::binary_output()) {
    complain("standard output cannot be made to carry bytes as they are");
    return -1;
  }
  bool all_fine = true;
  DecodeBuffer buffer;
  for (uint32_t i = 0; i < count; ++i) {
    if (!selection.contains(i)) continue;
    const PakEntry e = entry_of(pack.dir_image, i);
    PreparedEntry prepared;
    prepare_entry(env, e, pack, &buffer, &prepared);
    const EntryVerdict v = check_entry(e, pack.size, prepared);
    const std::string name = member_name(i);
    if (v.read != EntryVerdict::Read::kWhole) {
      // As /e, which writes no member of it.
      complain("%s: not written: %s", name.c_str(),
               v.read == EntryVerdict::Read::kOutside ? outside_problem(e).c_str()
               : v.read == EntryVerdict::Read::kNoMemory
                   ? "no memory to decode it"
                   : "the pack was cut short while it was read");
      all_fine = false;
      continue;
    }
    const bool whole = kind_of(e).compressed ? write_out(prepared.decoded.data, e.unpacked_size)
                                             : write_out(pack.data() + e.offset, e.unpacked_size);
    if (!whole) {
      complain("%s: the pack was cut short while it was written", name.c_str());
      all_fine = false;
    }
    for (const std::string& p : v.problems) {
      complain("%s: %s", name.c_str(), p.c_str());
      all_fine = false;
    }
  }
  // What stops here is said as the run ends, as for every command.
  if (!platform::flush_output()) return -1;
  return all_fine ? 0 : 1;
}

}  // namespace radodaro
