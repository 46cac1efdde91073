// Usage: make_sample_pack OUTPUT
#include <cstdio>
#include <exception>

#include "support/sample_pack.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample_pack OUTPUT\n");
    return 2;
  }
  try {
    radodaro::testing::sample_pack().write(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_sample_pack: %s\n", e.what());
    return 1;
  }
  return 0;
}
