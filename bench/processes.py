#!/usr/bin/env python3
"""Whole-process figures, the ones a host lives with: each program is started
afresh, loads the 18 MB data set once and ends.  A program that only loads
through the library, `kvprofile show`, and small programs that load the same
file with inih and SimpleIni and an fgets line loop; the library's load of
the encoded file; a save (open for update, close with "CSUM" lines) beside a
program that copies the file with fgets/fputs, flushed and renamed.  They run
in turn, round after round, so that load on the machine falls on all of them
alike; each figure is the median of its rounds.  Every run goes through a
small launcher that reports its wall and processor time, peak resident
memory and page faults: the faults and the peak do not depend on the load of
the machine, the times do.  Then the peak resident memory of loading a file
of nothing but "[a]" header lines.  Writes Google Benchmark-style JSON for
bench/table.py.

    processes.py BENCH_DIR KVPROFILE DATA_DIR ROUNDS OUT.json
"""
import json
import os
import shutil
import statistics
import subprocess
import sys

HEADER_FILE_BYTES = 20_000_000


def measure(bench_dir, argv):
    """wall_s, cpu_s, peak bytes, minor faults of one run of argv."""
    launcher = os.path.join(bench_dir, "kvinit64_peak_memory")
    done = subprocess.run([launcher] + argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        sys.exit(f"processes: {' '.join(argv)} exited {done.returncode}: "
                 f"{done.stderr.decode(errors='replace').strip()}")
    wall, user, system, rss_kb, minflt, _ = (int(x) for x in done.stdout.split()[-6:])
    return wall / 1e6, (user + system) / 1e6, rss_kb * 1024, minflt  # Linux reports kilobytes


def headers_file(data_dir):
    path = os.path.join(data_dir, "headers.ini")
    if not os.path.exists(path) or os.path.getsize(path) != HEADER_FILE_BYTES:
        with open(path, "wb") as f:
            f.write(b"[a]\n" * (HEADER_FILE_BYTES // 4))
    return path


def entry(name, runs, path):
    walls, cpus, peaks, faults = zip(*runs)
    return {"name": name, "run_type": "iteration", "time_unit": "ms",
            "real_time": statistics.median(walls) * 1e3,
            "cpu_ms": statistics.median(cpus) * 1e3,
            "minflt": statistics.median(faults),
            "peak_bytes": max(peaks), "file_bytes": os.path.getsize(path),
            "wall_ms_all": [round(w * 1e3, 1) for w in walls]}


def main():
    bench_dir, kvprofile, data_dir, rounds, out = sys.argv[1:6]
    rounds = int(rounds)
    plain = os.path.join(data_dir, "plain.ini")
    encoded = os.path.join(data_dir, "encoded.ini")
    prog = lambda name: os.path.join(bench_dir, name)
    loader = prog("kvinit64_proc_load")
    # The save rewrites its copy in place: after a first save, every save
    # writes the same bytes, and the fputs copy copies those same bytes.
    saved = os.path.join(data_dir, "save-proc.ini")
    copied = os.path.join(data_dir, "fputs-proc.ini")
    shutil.copyfile(plain, saved)
    measure(bench_dir, [loader, "--save", saved])
    shutil.copyfile(saved, copied)
    timed = {
        "PROC_load_plain": [loader, plain],
        "PROC_kvprofile_show": [kvprofile, "show", plain],
        "PROC_inih_count": [prog("kvinit64_proc_inih"), plain],
        "PROC_simpleini_count": [prog("kvinit64_proc_simpleini"), plain],
        "PROC_fgets_count": [prog("kvinit64_proc_fgets"), plain],
        "PROC_load_encoded": [loader, "--decode", encoded],
        "PROC_save": [loader, "--save", saved],
        "PROC_fputs_copy": [prog("kvinit64_proc_fputs"), copied],
    }
    results = {name: [] for name in timed}
    for _ in range(rounds):
        for name, argv in timed.items():
            results[name].append(measure(bench_dir, argv))
    benchmarks = [entry(name, results[name], argv[-1]) for name, argv in timed.items()]

    headers = headers_file(data_dir)
    for name, argv in (("PROC_memory_plain", [loader, plain]),
                       ("PROC_memory_headers", [loader, headers]),
                       ("PROC_memory_tool_plain", [kvprofile, "show", plain]),
                       ("PROC_memory_tool_headers", [kvprofile, "show", headers])):
        runs = [measure(bench_dir, argv) for _ in range(max(1, min(rounds, 3)))]
        benchmarks.append(entry(name, runs, argv[-1]))
    for path in (saved, copied):
        os.remove(path)
    with open(out, "w") as f:
        json.dump({"benchmarks": benchmarks}, f, indent=1)


if __name__ == "__main__":
    main()
