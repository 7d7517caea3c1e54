"""Times "updater -G" and "curl -o" fetching the same 1 MiB build; see download.sh."""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

SERIAL = "40F5849A"
BUILD = "99528558"
SIZE = 1 << 20


def run(argv, env=None):
    """Wall time in seconds and peak resident memory in KiB of one child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit("%s failed with %d" % (argv[0], proc.returncode))
    return elapsed, usage.ru_maxrss


def main():
    root, updater, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with tempfile.TemporaryDirectory(prefix="bench_download.") as work:
        store = os.path.join(work, "store", SERIAL)
        os.makedirs(store)
        with open(os.path.join(store, BUILD + ".bird"), "wb") as f:
            f.write(os.urandom(SIZE))
        config = os.path.join(work, "config.json")
        with open(config, "w") as f:
            json.dump({"devices": {SERIAL: {"builds": {BUILD: "2.10.5"}, "current": BUILD,
                                            "firmware": "2.10.5"}}}, f)
        server = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(root, "peers", "update_server.py"), "--config",
             config, "--store", os.path.join(work, "store"), "--idle", "120"],
            stdout=subprocess.PIPE, text=True)
        try:
            port = int(server.stdout.readline())
            url = "http://127.0.0.1:%d/cgi/u" % port
            build_url = url + "?bld=%s&fw=2.10.5&no_cal=false&op=bird&sn=%s&" % (BUILD, SERIAL)
            home = os.path.join(work, "home")
            tool, curl, listing = [], [], []
            for _ in range(rounds):
                tool.append(run([updater, "-G", "-d", SERIAL, "-u", url, "-i", home]))
                curl.append(run(["curl", "-s", "-o", os.path.join(work, "curl.out"), build_url]))
                listing.append(run([updater, "-B", "-d", SERIAL, "-u", url, "-i", home]))
            stored = os.path.join(home, "updater", SERIAL, BUILD + ".bird")
            if os.path.getsize(stored) != SIZE:
                raise SystemExit("the stored build has the wrong size")
        finally:
            server.terminate()
            server.wait()

    tool_time = statistics.median(t for t, _ in tool)
    curl_time = statistics.median(t for t, _ in curl)
    tool_rss = max(m for _, m in tool) / 1024.0
    curl_rss = max(m for _, m in curl) / 1024.0
    print("download of a %d KiB build (base64 on the wire), %d rounds, loopback" %
          (SIZE // 1024, rounds))
    print("  updater -G (ping, query, build list, build): median %.1f ms, peak RSS %.1f MiB" %
          (tool_time * 1000, tool_rss))
    print("  curl -o (build request only):              median %.1f ms, peak RSS %.1f MiB" %
          (curl_time * 1000, curl_rss))
    print("  updater -B (ping, build list; start-up and small requests): median %.1f ms" %
          (statistics.median(t for t, _ in listing) * 1000))
    print("  time ratio updater/curl: %.2f (goal: at most 1.2); updater peak under 20 MiB: %s" %
          (tool_time / curl_time, "yes" if tool_rss < 20 else "no"))


if __name__ == "__main__":
    main()
