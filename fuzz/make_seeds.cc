// Usage: make_seeds CORPUS_FOLDER
// Writes the seed corpus of both fuzz targets from fixture packs: every
// kind, short and corrupt LZO streams, huge and zero counts and sizes.
#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "pak/pak_format.h"
#include "support/pack_builder.h"
#include "support/sample_pack.h"

using namespace radodaro;
using namespace radodaro::testing;

namespace {

std::vector<std::pair<std::string, Bytes>> seed_packs() {
  std::vector<std::pair<std::string, Bytes>> packs;
  packs.emplace_back("sample", sample_pack().build());
  packs.emplace_back("empty-directory", PackBuilder().build());
  packs.emplace_back("header-only-short", Bytes(10, 0));
  packs.emplace_back("huge-count", PackBuilder().entry_count(0xFFFFFFFF).build());
  packs.emplace_back("wrapping-count", PackBuilder().entry_count(0x0AAAAAAB).build());
  packs.emplace_back("stored", PackBuilder().stored(bytes_of("stored content")).build());
  packs.emplace_back("lzo-fast", PackBuilder().lzo1x(text_like_bytes(600, 1)).build());
  packs.emplace_back("lzo-best",
                     PackBuilder().lzo1x(text_like_bytes(600, 2), LzoLevel::kBest).build());
  packs.emplace_back("skipped", PackBuilder().skipped(bytes_of("x")).stored({}).build());

  PackBuilder kinds;
  kinds.stored(bytes_of("kind 2"));
  kinds.last().kind = 2;
  kinds.stored(bytes_of("sizes differ"));
  kinds.last().packed_size = 3;
  packs.emplace_back("odd-kinds", kinds.build());

  const Bytes stream = lzo1x_compress(text_like_bytes(500, 3));
  PackBuilder bad_lzo;
  FixtureEntry cut;
  cut.kind = kKindLzo1x;
  cut.data = Bytes(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(stream.size() / 2));
  cut.unpacked_size = 500;
  bad_lzo.add(cut);
  bad_lzo.lzo1x(text_like_bytes(500, 3));
  bad_lzo.last().unpacked_size = 100;  // the stream is longer than claimed
  FixtureEntry garbage;
  garbage.kind = kKindLzo1x;
  garbage.data = random_bytes(64, 4);
  garbage.unpacked_size = 0x7FFFFFFF;  // a huge claim
  bad_lzo.add(garbage);
  packs.emplace_back("bad-lzo", bad_lzo.build());

  PackBuilder outside;
  outside.stored(bytes_of("a"));
  outside.last().offset = 0xFFFFFFF0;
  outside.last().unpacked_size = 0x20;
  outside.stored(bytes_of("b"));
  outside.last().offset = 0;
  packs.emplace_back("outside", outside.build());
  return packs;
}

void write_seed(const std::string& path, const Bytes& bytes) { write_file(path, bytes); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds CORPUS_FOLDER\n");
    return 2;
  }
  const std::string root = argv[1];
  try {
    ::mkdir((root + "/expand").c_str(), 0777);
    ::mkdir((root + "/group").c_str(), 0777);
    for (const auto& [name, pack] : seed_packs()) {
      write_seed(root + "/expand/" + name, pack);
      // For group: the pack, then a member for entries 0 and 1 and one
      // beyond any directory.
      Bytes seed(4);
      encode_fixed32(seed.data(), static_cast<uint32_t>(pack.size()));
      seed.insert(seed.end(), pack.begin(), pack.end());
      for (const auto& [index, text] :
           std::vector<std::pair<uint8_t, std::string>>{{0, "new zero"}, {1, ""}, {200, "far"}}) {
        seed.push_back(index);
        seed.push_back(static_cast<uint8_t>(text.size()));
        seed.push_back(0);
        seed.insert(seed.end(), text.begin(), text.end());
      }
      write_seed(root + "/group/" + name, seed);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
