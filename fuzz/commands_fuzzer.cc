// Takes the input as a pack file and runs the commands that read any pack:
// --list and --verify must never crash nor read outside the file; --update
// of what /e wrote, with nothing edited, must never write the pack; and a
// compaction that succeeds must expand to the very member files the
// original did.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "commands/compact.h"
#include "commands/expand.h"
#include "commands/group.h"
#include "commands/list_verify.h"
#include "commands/open_pack.h"
#include "pak/pack_reader.h"
#include "pak/pak_format.h"
#include "scratch.h"

using namespace radodaro;

namespace {

std::vector<char> contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Expands `pak` into `out`; false when it cannot be opened.
bool expand(platform::Env& env, const std::string& pak, const std::string& out) {
  PackView view;
  if (!map_pak_file(env, pak, &view)) return false;
  run_expand(env, view, out);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const rlimit limit = {1 << 20, 1 << 20};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  ::signal(SIGXFSZ, SIG_IGN);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::Env& env = platform::Env::system();
  const std::string pak = fuzz::scratch() + "pack";
  fuzz::write_bytes(pak, data, size);
  if (PackView view; open_pack_to_read(env, pak, &view)) {
    run_list(view);
    run_verify(env, view);
  }

  const std::string before = fuzz::scratch() + "before/";
  const std::string after = fuzz::scratch() + "after/";
  const bool expanded = expand(env, pak, before);
  if (expanded) {
    // /e makes the folder only for a pack with an entry to write; --update
    // wants a folder that is there.
    ::mkdir(before.c_str(), 0777);
    const std::vector<char> pack = contents(pak);
    if (!run_group(env, pak, before, GroupMode::kOnlyChanged) || contents(pak) != pack) {
      std::abort();
    }
  }
  if (expanded && run_compact(env, pak)) {
    if (!expand(env, pak, after)) std::abort();
    const PakHeader header = decode_header(data);
    for (uint32_t i = 0; i < header.entry_count && i < 4096; ++i) {
      if (contents(member_path(before, i)) != contents(member_path(after, i))) std::abort();
    }
  }
  fuzz::remove_folder(before);
  fuzz::remove_folder(after);
  return 0;
}
