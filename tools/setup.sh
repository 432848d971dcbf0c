#!/usr/bin/env bash
# Installs what building and testing Vexar needs on a fresh Debian 12 machine.
# "setup.sh fuzz" adds clang and libFuzzer for the fuzz build.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libbenchmark-dev python3 libfathom-dev binutils qemu-user stockfish)
if [ "${1:-}" = fuzz ]; then
  packages+=(clang libfuzzer-14-dev libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${missing[@]}"
fi
