#!/usr/bin/env bash
# Download benchmark: "-G" of a 1 MiB build from the local update server over loopback,
# against "curl -o" of the same build URL, several rounds each. Prints the median times, their
# ratio and the peak resident memory of each. Figures only; nothing here passes or fails.
#   bench/download.sh [PATH_TO_UPDATER] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
updater=${1:-$root/build/plain/updater}
rounds=${2:-10}
exec /usr/bin/python3 "$root/bench/download.py" "$root" "$updater" "$rounds"
