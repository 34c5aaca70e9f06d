#!/usr/bin/env python3
"""Whole-process figures: `kvprofile show` on the 18 MB data set against
small programs that load the same file with inih and SimpleIni and an fgets
line loop, run in turn (round after round, so that load on the machine falls
on all of them alike), medians of the wall times; and the peak resident
memory of loading that file and a file of nothing but "[a]" header lines, in
a program that only opens and closes it through the library, and in
`kvprofile verify` (the tool on top of the load).  Writes Google
Benchmark-style JSON for bench/table.py.

    processes.py BENCH_DIR KVPROFILE DATA_DIR ROUNDS OUT.json
"""
import json
import os
import statistics
import subprocess
import sys
import time

HEADER_FILE_BYTES = 20_000_000


def run(argv):
    """Wall seconds of one run of argv."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, _ = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"processes: {' '.join(argv)} exited {proc.returncode}: {err.strip()}")
    return wall


def peak_resident(bench_dir, argv):
    """Peak resident bytes of one run of argv, measured by a small launcher:
    what wait4 reports here would be at least this (large) process's own."""
    launcher = os.path.join(bench_dir, "kvinit64_peak_memory")
    done = subprocess.run([launcher] + argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        sys.exit(f"processes: {' '.join(argv)} exited {done.returncode}: "
                 f"{done.stderr.decode(errors='replace').strip()}")
    return int(done.stdout.split()[-1]) * 1024  # Linux reports kilobytes


def headers_file(data_dir):
    path = os.path.join(data_dir, "headers.ini")
    if not os.path.exists(path) or os.path.getsize(path) != HEADER_FILE_BYTES:
        with open(path, "wb") as f:
            f.write(b"[a]\n" * (HEADER_FILE_BYTES // 4))
    return path


def main():
    bench_dir, kvprofile, data_dir, rounds, out = sys.argv[1:6]
    rounds = int(rounds)
    plain = os.path.join(data_dir, "plain.ini")
    timed = {
        "PROC_kvprofile_show": [kvprofile, "show", plain],
        "PROC_inih_count": [os.path.join(bench_dir, "kvinit64_proc_inih"), plain],
        "PROC_simpleini_count": [os.path.join(bench_dir, "kvinit64_proc_simpleini"), plain],
        "PROC_fgets_count": [os.path.join(bench_dir, "kvinit64_proc_fgets"), plain],
    }
    walls = {name: [] for name in timed}
    for _ in range(rounds):
        for name, argv in timed.items():
            walls[name].append(run(argv))
    benchmarks = [{"name": name, "run_type": "iteration", "real_time": statistics.median(w) * 1e3,
                   "time_unit": "ms", "wall_ms_all": [round(x * 1e3, 1) for x in w]}
                  for name, w in walls.items()]

    headers = headers_file(data_dir)
    loader = os.path.join(bench_dir, "kvinit64_proc_load")
    for name, argv in (("PROC_memory_plain", [loader, plain]),
                       ("PROC_memory_headers", [loader, headers]),
                       ("PROC_memory_tool_plain", [kvprofile, "verify", plain]),
                       ("PROC_memory_tool_headers", [kvprofile, "verify", headers])):
        path = argv[-1]
        peaks = [peak_resident(bench_dir, argv) for _ in range(max(1, min(rounds, 3)))]
        benchmarks.append({"name": name, "run_type": "iteration", "real_time": 0,
                           "time_unit": "ms", "peak_bytes": max(peaks),
                           "file_bytes": os.path.getsize(path)})
    with open(out, "w") as f:
        json.dump({"benchmarks": benchmarks}, f, indent=1)


if __name__ == "__main__":
    main()
