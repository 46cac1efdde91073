#include "commands/list_verify.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "pak/checksums.h"
#include "pak/compact_layout.h"
#include "pak/entry_decoder.h"
#include "pak/entry_pipeline.h"
#include "pak/pack_reader.h"
#include "platform/process.h"

namespace radodaro {

namespace {

const char* kind_name(uint32_t kind) {
  switch (kind) {
    case kKindStored:
      return "stored";
    case kKindLzo1x:
      return "lzo1x";
    case kKindSkipped:
      return "skipped";
    default:
      return nullptr;
  }
}

uint32_t directory_crc(const std::vector<uint8_t>& dir_image) {
  return Crc32().crc32(dir_image.data() + kHeaderSize, dir_image.size() - kHeaderSize);
}

}  // namespace

int run_list(platform::Env& env, const std::string& pak_path) {
  PackView pack;
  if (!open_pack(env, pak_path, &pack)) return -1;
  const PakHeader header = header_of(pack.dir_image);
  uint32_t counts[4] = {};  // stored, lzo1x, skipped, any other
  std::printf("%-8s  %-7s  %10s  %10s  %10s  %-8s  %s\n", "member", "kind", "unpacked", "packed",
              "offset", "crc1", "crc2");
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    const PakEntry e = entry_of(pack.dir_image, i);
    const char* name = kind_name(e.kind);
    ++counts[e.kind == kKindStored ? 0 : e.kind == kKindLzo1x ? 1 : e.kind == kKindSkipped ? 2 : 3];
    char kind[16];
    if (name == nullptr) {
      std::snprintf(kind, sizeof kind, "%u", e.kind);
      name = kind;
    }
    uint64_t extent = 0;
    std::printf("%08x  %-7s  %10u  %10u  %10u  %08X  %08X%s\n", i, name, e.unpacked_size,
                e.packed_size, e.offset, e.crc1, e.crc2,
                kept_extent(e, pack.size, &extent) ? "" : "  outside");
  }
  const CompactLayout layout = plan_compaction(pack.dir_image, pack.size);
  const uint32_t crc = directory_crc(pack.dir_image);
  std::printf("entries %u: stored %u, lzo1x %u, skipped %u, other %u\n", header.entry_count,
              counts[0], counts[1], counts[2], counts[3]);
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

// printf into a string, so that each problem is one line: a C variadic,
// so that the compiler checks each format against its arguments.
// NOLINTNEXTLINE(cert-dcl50-cpp)
__attribute__((format(printf, 1, 2))) std::string text(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return line;
}

// Checks one entry's data, adding a line to `report` for each problem;
// the number of problems.
int verify_entry(uint32_t index, const PakEntry& e, const PackView& pack, DecodeBuffer* buffer,
                 std::string* report) {
  const std::string name = member_name(index);
  int problems = 0;
  const auto problem = [&](const std::string& what) {
    report->append(name).append(": ").append(what).append("\n");
    ++problems;
  };
  if (kind_name(e.kind) == nullptr)
    problem(text("kind %u is not stored, lzo1x or skipped", e.kind));
  if (e.kind == kKindStored && e.packed_size != e.unpacked_size) {
    problem(text("stored, but its packed size %u is not its unpacked size %u", e.packed_size,
                 e.unpacked_size));
  }
  const uint64_t extent = read_extent(e);
  if (!range_in_file(e.offset, extent, pack.size)) {
    problem(text("its data, %llu bytes at offset %u, lies outside the file",
                 static_cast<unsigned long long>(extent), e.offset));
    return problems;
  }
  const uint8_t* data = pack.data() + e.offset;
  if (e.kind != kKindLzo1x) {
    uint32_t sum = 0;
    if (!platform::read_mapped(data, extent, [&] { sum = sum32(data, extent); })) {
      problem(text("its data was cut short while it was read"));
    } else if (sum != e.crc2) {
      problem(text("crc2 %08X is not the sum of its content, %08X", e.crc2, sum));
    }
    return problems;
  }
  const Decoded d = decode_lzo1x(e, data, buffer, /*sum_packed=*/true);
  if (d.data == nullptr) {
    problem(text("no memory to decode its %u bytes", e.unpacked_size));
    return problems;
  }
  if (!d.read) {
    problem(text("its data was cut short while it was read"));
    return problems;
  }
  if (!d.decoded()) {
    problem(text("its lzo1x stream does not decode (error %d)", d.result));
  } else if (!d.clean()) {
    problem(text("its lzo1x stream decodes to %llu bytes, not %u",
                 static_cast<unsigned long long>(d.produced), e.unpacked_size));
  }
  const uint32_t content_sum = sum32(d.data, e.unpacked_size);
  if (e.crc2 != content_sum && e.crc2 != d.packed_sum) {
    problem(text("crc2 %08X is neither the sum of its content, %08X, nor of its packed bytes, %08X",
                 e.crc2, content_sum, d.packed_sum));
  }
  return problems;
}

// --verify on the pipeline: workers check the entries, the committing
// thread prints what they found, in index order.
class VerifyWork final : public EntryWork {
 public:
  VerifyWork(const PackView& pack, const PipelineLimits& limits)
      : pack_(pack),
        keep_(limits.budget / (limits.workers + 1)),
        buffers_(limits.workers + 1),
        slots_(limits.slots) {}

  uint64_t cost(uint32_t index) override {
    const PakEntry e = entry_of(pack_.dir_image, index);
    return e.kind == kKindLzo1x ? e.unpacked_size : 0;
  }

  uint64_t prepare(uint32_t index, uint32_t slot, uint32_t worker) override {
    Slot& s = slots_[slot];
    s.report.clear();
    s.problems = 0;
    const PakEntry e = entry_of(pack_.dir_image, index);
    if (e.kind == kKindSkipped) return 0;
    DecodeBuffer& buffer = buffers_[worker];
    s.problems = verify_entry(index, e, pack_, &buffer, &s.report);
    if (buffer.capacity() > keep_) buffer.release();
    // The decoded bytes are not kept.
    return 0;
  }

  bool commit(uint32_t index, uint32_t slot) override {
    const Slot& s = slots_[slot];
    std::fputs(s.report.c_str(), stdout);
    problems += static_cast<uint64_t>(s.problems);
    const PakEntry e = entry_of(pack_.dir_image, index);
    if (e.kind == kKindSkipped) return true;
    ++checked;
    if (range_in_file(e.offset, read_extent(e), pack_.size))
      read_behind_.done(e.offset, read_extent(e));
    return true;
  }

  uint64_t problems = 0;
  uint32_t checked = 0;

 private:
  struct Slot {
    std::string report;
    int problems = 0;
  };
  const PackView& pack_;
  const uint64_t keep_;
  std::vector<DecodeBuffer> buffers_;
  std::vector<Slot> slots_;
  ReadBehind read_behind_{pack_.data()};
};

}  // namespace

int run_verify(platform::Env& env, const std::string& pak_path, uint32_t workers) {
  PackView pack;
  if (!open_pack(env, pak_path, &pack)) return -1;
  const PakHeader header = header_of(pack.dir_image);
  const PipelineLimits limits = pipeline_limits(workers);
  VerifyWork work(pack, limits);
  run_in_order(work, header.entry_count, limits);
  uint64_t problems = work.problems;
  const uint32_t crc = directory_crc(pack.dir_image);
  if (crc != header.dir_crc) {
    std::printf("directory: dir_crc %08X is not the CRC-32 of the directory, %08X\n",
                header.dir_crc, crc);
    ++problems;
  }
  std::printf("entries checked %u, problems %llu\n", work.checked,
              static_cast<unsigned long long>(problems));
  return problems == 0 ? 0 : 1;
}

}  // namespace radodaro
