// Usage: make_workloads FOLDER full|tiny [w13]
// Writes the benchmark packs and the member files they hold, the same bytes
// every time. tar and lzop inputs are made from the member files by the bench
// script.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "pak/checksums.h"
#include "pak/pak_format.h"
#include "support/pack_builder.h"

using namespace radodaro;
using namespace radodaro::testing;

namespace {

struct Scale {
  uint32_t big_count;    // W1, W2
  uint32_t tiny_count;   // W3
  uint64_t huge_member;  // W5
  uint64_t lzo_entry;    // W6
};

void write_members(const std::string& folder, const PackBuilder& pack) {
  ::mkdir(folder.c_str(), 0777);
  for (size_t i = 0; i < pack.entries().size(); ++i) {
    write_file(member_path(folder + "/", static_cast<uint32_t>(i)), pack.entries()[i].content);
  }
}

// A large incompressible member file written in pieces, so it never sits in
// memory whole.
void write_large_file(const std::string& path, uint64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const size_t piece = 4 << 20;
  for (uint64_t done = 0, seed = 1; done < size; done += piece, ++seed) {
    const Bytes b = random_bytes(static_cast<size_t>(std::min<uint64_t>(piece, size - done)),
                                 static_cast<uint32_t>(seed));
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  if (!out.flush()) throw std::runtime_error("can't write " + path);
}

// A pack of `count` stored entries of 64 bytes, written as it is built (a
// million entries' content never sits in memory at once), and the ustar
// archive of the same member files.
void write_many(const std::string& pack_path, const std::string& tar_path, uint32_t count) {
  constexpr uint32_t kSize = 64;
  std::ofstream pack(pack_path, std::ios::binary | std::ios::trunc);
  std::ofstream tar(tar_path, std::ios::binary | std::ios::trunc);
  std::vector<uint8_t> image(static_cast<size_t>(directory_end(count)));
  const auto put = [](std::ofstream& out, const uint8_t* data, size_t n) {
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
  };
  put(pack, image.data(), image.size());  // the directory, rewritten at the end
  for (uint32_t i = 0; i < count; ++i) {
    const Bytes content = random_bytes(kSize, i);
    PakEntry e;
    e.crc2 = sum32(content.data(), content.size());
    e.unpacked_size = e.packed_size = kSize;
    e.offset = static_cast<uint32_t>(image.size() + uint64_t{i} * kSize);
    encode_entry(e, image.data() + entry_position(i));
    put(pack, content.data(), content.size());
    uint8_t header[512] = {};
    std::snprintf(reinterpret_cast<char*>(header), 100, "%s", member_name(i).c_str());
    std::memcpy(header + 100, "0000644", 8);
    std::memcpy(header + 108, "0000000", 8);
    std::memcpy(header + 116, "0000000", 8);
    std::snprintf(reinterpret_cast<char*>(header + 124), 12, "%011o", kSize);
    std::memcpy(header + 136, "00000000000", 12);
    header[156] = '0';
    std::memcpy(header + 257, "ustar", 6);
    std::memcpy(header + 263, "00", 2);
    std::memset(header + 148, ' ', 8);
    unsigned sum = 0;
    for (const uint8_t b : header) sum += b;
    std::snprintf(reinterpret_cast<char*>(header + 148), 8, "%06o", sum);
    put(tar, header, sizeof header);
    uint8_t block[512] = {};
    std::memcpy(block, content.data(), content.size());
    put(tar, block, sizeof block);
  }
  const uint8_t end[1024] = {};
  put(tar, end, sizeof end);
  PakHeader header;
  header.entry_count = count;
  header.dir_crc = Crc32().crc32(image.data() + kHeaderSize, image.size() - kHeaderSize);
  encode_header(header, image.data());
  pack.seekp(0);
  put(pack, image.data(), image.size());
  if (!pack.flush() || !tar.flush()) throw std::runtime_error("can't write " + pack_path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 ||
      (std::strcmp(argv[2], "full") != 0 && std::strcmp(argv[2], "tiny") != 0) ||
      (argc == 4 && std::strcmp(argv[3], "w13") != 0)) {
    std::fprintf(stderr, "usage: make_workloads FOLDER full|tiny [w13]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const bool full = std::strcmp(argv[2], "full") == 0;
  const Scale scale = full ? Scale{1000, 100000, uint64_t{1} << 30, uint64_t{64} << 20}
                           : Scale{10, 200, uint64_t{1} << 20, uint64_t{1} << 20};
  // W13, and the packs of a thousandth and a tenth of its entries that
  // peak memory is measured at; with "w13", only those.
  const auto write_w13 = [&] {
    const uint32_t many = full ? 1000000 : 10000;
    for (const uint32_t count : {many / 1000, many / 10, many}) {
      const std::string name = dir + "/w13-" + std::to_string(count);
      write_many(name + ".pak", name + ".tar", count);
    }
  };
  try {
    ::mkdir(dir.c_str(), 0777);
    write_w13();
    if (argc == 4) return 0;
    PackBuilder w1, w2, w3;
    for (uint32_t i = 0; i < scale.big_count; ++i) w1.stored(random_bytes(256 * 1024, i));
    w1.true_dir_crc().write(dir + "/w1.pak");
    write_members(dir + "/w1-files", w1);

    for (uint32_t i = 0; i < scale.big_count; ++i) w2.lzo1x(text_like_bytes(256 * 1024, i));
    w2.true_dir_crc().write(dir + "/w2.pak");
    write_members(dir + "/w2-files", w2);

    for (uint32_t i = 0; i < scale.tiny_count; ++i) w3.stored(random_bytes(100, i));
    w3.true_dir_crc().write(dir + "/w3.pak");
    write_members(dir + "/w3-files", w3);

    PackBuilder w5;
    w5.stored(bytes_of("to be replaced by one large member file")).true_dir_crc();
    w5.write(dir + "/w5.pak");
    ::mkdir((dir + "/w5-files").c_str(), 0777);
    write_large_file(dir + "/w5-files/00000000.dat", scale.huge_member);

    PackBuilder w6;
    w6.lzo1x(text_like_bytes(static_cast<size_t>(scale.lzo_entry), 6)).true_dir_crc();
    w6.write(dir + "/w6.pak");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_workloads: %s\n", e.what());
    return 1;
  }
  return 0;
}
