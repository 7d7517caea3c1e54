#!/usr/bin/env bash
# Sets up, builds and runs the tool. With arguments they go to the tool unchanged; with
# none, a demonstration runs against the project's bundled simulators.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" plain -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=ON >/dev/null
if [ $# -gt 0 ]; then
  exec "$root/build/plain/updater" "$@"
fi
if [ -x "$root/peers/demo.sh" ]; then
  exec "$root/peers/demo.sh" "$root/build/plain/updater"
fi
exec "$root/build/plain/updater"
