#!/usr/bin/env bash
# build.sh NAME [cmake options...]: configures (once) and builds build/NAME.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=$1; shift
dir="$root/build/$name"
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
