#!/usr/bin/env bash
# Demonstration of build retrieval against the local update server:
#   peers/demo.sh PATH_TO_UPDATER
# Starts peers/update_server.py on loopback with a small store of builds, lists the server's
# builds (-B), downloads the latest (-G) into a temporary storage directory (-i), lists the
# local builds (-L), fetches the feature token (-J), then stops the server and removes the temporary files.
set -euo pipefail

updater=${1:?usage: demo.sh PATH_TO_UPDATER}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/updater_demo.XXXXXX)
server_pid=""

cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

serial=40F5849A
mkdir -p "$work/store/$serial" "$work/home"

# Builds: well-formed BIRD files when the writer is at hand, any bytes otherwise.
make_build() { # build version
  local out="$work/store/$serial/$1.bird"
  if [ -f "$here/bird_writer.py" ]; then
    # A firmware image of random bytes: it does not compress, as real images hardly do.
    local image
    image=$(head -c 4096 /dev/urandom | od -An -tx1 -v | tr -d ' \n')
    /usr/bin/python3 "$here/bird_writer.py" "$out" <<JSON
{"blocks": [
  {"type": 4, "build": "$1", "version": "$2", "serial": "$serial", "model": "MTM-IO"},
  {"type": 1, "address": 32768, "image_hex": "$image"}]}
JSON
  else
    printf 'build %s version %s\n' "$1" "$2" > "$out"
  fi
}
make_build 99528558 2.10.5
make_build 99527000 2.9.12
make_build 99520000 2.10.0

cat > "$work/config.json" <<JSON
{"devices": {"$serial": {
  "builds": {"99528558": "2.10.5", "99527000": "2.9.12", "99520000": "2.10.0"},
  "current": "99528558", "firmware": "2.10.5", "token": "eyJhbGciOiJub25lIn0.eyJmZWF0dXJlcyI6W119.c2ln"}}}
JSON

/usr/bin/python3 "$here/update_server.py" --config "$work/config.json" --store "$work/store" \
  --log "$work/requests.log" --idle 60 > "$work/server.out" &
server_pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(head -n 1 "$work/server.out" 2>/dev/null || true)
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "the local update server did not start" >&2
  exit 1
fi
url="http://127.0.0.1:$port/cgi/u"
echo "Local update server at $url"

status=0
run() {
  echo
  echo "\$ updater $*"
  "$updater" "$@" -u "$url" -i "$work/home" || status=1
}
run -B -d "$serial"
run -G -d "$serial"
run -L -d "$serial"
run -J -d "$serial"
echo
echo "Stored in $work/home/updater/$serial:"
ls -l "$work/home/updater/$serial" | tail -n +2
exit $status
