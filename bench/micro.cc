// Micro-benchmarks of the hot paths, with bytes per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/expand.h"
#include "pak/checksums.h"
#include "support/pack_builder.h"

using namespace radodaro;
using namespace radodaro::testing;

namespace {

void BM_Sum32(benchmark::State& state) {
  const Bytes data = random_bytes(static_cast<size_t>(state.range(0)), 1);
  for (auto _ : state) benchmark::DoNotOptimize(sum32(data.data(), data.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Sum32)->Arg(4 << 10)->Arg(256 << 10)->Arg(16 << 20);

// The yardstick for sum32, which only reads: a copy of the same buffer.
void BM_Memcpy(benchmark::State& state) {
  const Bytes data = random_bytes(static_cast<size_t>(state.range(0)), 1);
  Bytes copy(data.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), data.data(), data.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(4 << 10)->Arg(256 << 10)->Arg(16 << 20);

void BM_Crc32(benchmark::State& state) {
  const Bytes data = random_bytes(static_cast<size_t>(state.range(0)), 2);
  const Crc32 crc;
  for (auto _ : state) benchmark::DoNotOptimize(crc.crc32(data.data(), data.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(24 * 1000)->Arg(24 * 100000);

// One entry through expand_entry, into a file on tmpfs that is removed
// again outside the timing. Its printed lines go to /dev/null.
void expand_one(benchmark::State& state, const PackBuilder& builder) {
  const std::string dir = "/dev/shm/radodaro-micro-" + std::to_string(::getpid());
  const std::string pak = dir + ".pak";
  builder.write(pak);
  platform::Env& env = platform::Env::system();
  PackView view;
  OutputFolder folder;
  folder.open(env, "/dev/shm");
  if (env.map_shared(pak, &view.map) != platform::Error::kOk || !folder.handle.is_open()) {
    state.SkipWithError("can't map the pack");
    return;
  }
  std::FILE* saved = stdout;
  stdout = std::fopen("/dev/null", "w");
  view.size = view.map.size;
  const PakEntry entry = decode_entry(view.data() + entry_position(0));
  const std::string path = dir + "-member.dat";
  const std::string name = platform::name_of(path);
  DecodeBuffer buffer;
  for (auto _ : state) {
    expand_entry(env, folder, name, path, entry, view, &buffer);
    state.PauseTiming();
    ::unlink(path.c_str());
    state.ResumeTiming();
  }
  std::fclose(stdout);
  stdout = saved;
  ::unlink(pak.c_str());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(entry.unpacked_size));
}

void BM_ExpandStoredEntry(benchmark::State& state) {
  PackBuilder pack;
  pack.stored(random_bytes(static_cast<size_t>(state.range(0)), 3));
  expand_one(state, pack);
}
BENCHMARK(BM_ExpandStoredEntry)->Arg(100)->Arg(256 << 10);

void BM_ExpandLzo1xEntry(benchmark::State& state) {
  PackBuilder pack;
  pack.lzo1x(text_like_bytes(static_cast<size_t>(state.range(0)), 4));
  expand_one(state, pack);
}
BENCHMARK(BM_ExpandLzo1xEntry)->Arg(256 << 10);

}  // namespace

BENCHMARK_MAIN();
