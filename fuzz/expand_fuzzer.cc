// Takes the input as a pack file and expands it with the tool's own code:
// opening, the directory line, every entry into a scratch folder.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <vector>

#include "commands/expand.h"
#include "commands/open_pack.h"
#include "pak/pack_reader.h"
#include "scratch.h"

using namespace radodaro;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Entries may claim up to 4 GiB; a file size limit turns those into the
  // failed writes the tool handles, instead of filling the machine.
  const rlimit limit = {1 << 20, 1 << 20};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  ::signal(SIGXFSZ, SIG_IGN);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string pak = fuzz::scratch() + "pack";
  const std::string out = fuzz::scratch() + "out/";
  fuzz::write_bytes(pak, data, size);
  platform::Env& env = platform::Env::system();
  PackView view;
  if (map_pak_file(env, pak, &view)) run_expand(env, view, out);
  fuzz::remove_folder(out);
  return 0;
}
