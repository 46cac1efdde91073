#include "support/sample_pack.h"

namespace radodaro::testing {

PackBuilder sample_pack() {
  PackBuilder pack;
  pack.lead_bytes(bytes_of("SAMPLE01")).true_dir_crc();
  pack.stored(bytes_of("Hello from the first member file.\n"), 0x1234ABCD);
  pack.skipped(bytes_of("never expanded"));
  pack.lzo1x(text_like_bytes(4000, 1), LzoLevel::kFast, 0xC0FFEE00);
  pack.stored(random_bytes(257, 2), 0x00000007);
  return pack;
}

}  // namespace radodaro::testing
