#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need,
# where they are missing. Safe to run again: it installs nothing twice.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  liblzo2-dev libgtest-dev libbenchmark-dev
)
if [[ "${1:-}" == "--all" ]]; then
  # Sanitizers, fuzzing, static analysis and benchmarks.
  packages+=(clang clang-tidy clang-format cppcheck libclang-rt-dev lcov hyperfine lzop tar python3)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
  sudo=()
  [[ "$(id -u)" -ne 0 ]] && sudo=(sudo)
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
