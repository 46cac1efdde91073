#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need,
# where they are missing. Safe to run again: it installs nothing twice.
#   --all      also sanitizers, fuzzing, static analysis, benchmarks and
#              everything the Windows build needs
#   --windows  also the Windows cross-build and Wine
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  liblzo2-dev libgtest-dev libbenchmark-dev
)
windows=(g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev)
for arg in "$@"; do
  case "$arg" in
    --all)
      packages+=(clang clang-tidy clang-format cppcheck libclang-rt-dev lcov hyperfine lzop tar python3 groff-base)
      packages+=("${windows[@]}")
      ;;
    --windows) packages+=("${windows[@]}") ;;
    *) echo "deps.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

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
