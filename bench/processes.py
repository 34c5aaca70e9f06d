#!/usr/bin/env python3
"""Whole-process figures, the ones a host lives with: each program is started
afresh, loads the 18 MB data set once and ends.  A program that only loads
through the library, `kvprofile show`, and small programs that load the same
file with inih, the callback reader (bench/process/callback_reader.h) and
SimpleIni and an fgets line loop; the library's load of the encoded file; a
save (open for update, close with "CSUM" lines) beside a program that copies
the file with fgets/fputs, flushed and renamed.  They run in turn, round
after round, in a new order each round (a fixed shuffle), so that load on
the machine falls on all of them alike and none always follows the same
program (the first of a fixed order ran up to 3x slower in half its rounds,
after the previous round's writes of 18 MB and Wine's exits); each figure
is the median of its rounds.  Every run goes through a small launcher
that reports its wall and processor time, peak resident memory and page
faults: the faults and the peak do not depend on the load of the machine,
the times do.  Then the peak resident memory of loading a file of nothing
but "[a]" header lines.

With --wine, the Windows build of the same programs (all but inih's, which
has no Windows build here: the callback reader stands in for it) runs
under Wine in rounds of its own after the Linux ones, beside an empty
program whose time is Wine's start-up.  Writes Google Benchmark-style JSON for bench/table.py.

    processes.py BENCH_DIR KVPROFILE DATA_DIR ROUNDS OUT.json [--wine WINE WINDOWS_BUILD]
"""
import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys

HEADER_FILE_BYTES = 20_000_000


def measure(bench_dir, argv, retry=False):
    """wall_s, cpu_s, peak bytes, minor faults of one run of argv.  With
    retry (a run under Wine, whose start now and then fails on its own:
    wine64 exits 1 with nothing said), a failed run is made once more and
    the failure shown; a run that fails twice ends the comparison."""
    launcher = os.path.join(bench_dir, "kvinit64_peak_memory")
    for attempt in range(2 if retry else 1):
        done = subprocess.run([launcher] + argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if done.returncode == 0:
            break
        failure = (f"processes: {' '.join(argv)} exited {done.returncode}: "
                   f"{done.stderr.decode(errors='replace').strip()}")
        if attempt == 0 and retry:
            print(f"{failure} (once more)", file=sys.stderr)
            continue
        sys.exit(failure)
    wall, user, system, rss_kb, minflt, _ = (int(x) for x in done.stdout.split()[-6:])
    return wall / 1e6, (user + system) / 1e6, rss_kb * 1024, minflt  # Linux reports kilobytes


def check_counts(builds, plain):
    """The callback reader stands in for inih only if it reads the file as
    inih does: every INI program must count the same sections and keys."""
    counts = {}
    for build in builds:
        for name in ("kvinit64_proc_inih", "kvinit64_proc_callback", "kvinit64_proc_simpleini"):
            if build.run_with and name == "kvinit64_proc_inih":
                continue
            done = subprocess.run(build.prog(name) + [build.file(plain)],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            counts[build.prefix + name] = done.stdout.decode(errors="replace").strip()
    if len(set(counts.values())) != 1:
        sys.exit("processes: the INI programs read the file differently: " +
                 "; ".join(f"{name}: {text!r}" for name, text in counts.items()))


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
            "peak_bytes": max(peaks), "file_bytes": os.path.getsize(path) if path else 0,
            "wall_ms_all": [round(w * 1e3, 1) for w in walls]}


class Programs:
    """The programs of one build: their names, and how a file is named to
    them (Wine reaches the Unix root as drive Z:)."""

    def __init__(self, prefix, run_with, folder, kvprofile, exe="", drive=""):
        self.prefix, self.run_with, self.folder = prefix, run_with, folder
        self.kvprofile, self.exe, self.drive = kvprofile, exe, drive

    def prog(self, name):
        return self.run_with + [os.path.join(self.folder, name + self.exe)]

    def file(self, path):
        return self.drive + os.path.abspath(path)

    def save_files(self, data_dir, plain, bench_dir):
        """A copy for the save to rewrite in place and one for the fputs
        copy: after a first save, every save writes the same bytes, and the
        fputs copy copies those same bytes."""
        tag = self.prefix.lower().rstrip("_")
        saved = os.path.join(data_dir, f"save-{tag}.ini")
        copied = os.path.join(data_dir, f"fputs-{tag}.ini")
        shutil.copyfile(plain, saved)
        measure(bench_dir, self.prog("kvinit64_proc_load") + ["--save", self.file(saved)],
                retry=bool(self.run_with))
        shutil.copyfile(saved, copied)
        return saved, copied

    def timed(self, plain, encoded, saved, copied):
        """name -> (argv, the file it reads or None)."""
        load = self.prog("kvinit64_proc_load")
        show = self.run_with + [self.kvprofile, "show"]
        names = {
            "load_plain": (load, plain),
            "kvprofile_show": (show, plain),
            "inih_count": (self.prog("kvinit64_proc_inih"), plain),
            "callback_count": (self.prog("kvinit64_proc_callback"), plain),
            "simpleini_count": (self.prog("kvinit64_proc_simpleini"), plain),
            "fgets_count": (self.prog("kvinit64_proc_fgets"), plain),
            "load_encoded": (load + ["--decode"], encoded),
            "save": (load + ["--save"], saved),
            "fputs_copy": (self.prog("kvinit64_proc_fputs"), copied),
            "empty": (self.prog("kvinit64_proc_empty"), None),
        }
        if self.run_with:
            del names["inih_count"]  # no Windows build of inih
        else:
            del names["empty"]  # a Linux process starts in under a millisecond
        return {self.prefix + name: (argv + ([self.file(path)] if path else []), path)
                for name, (argv, path) in names.items()}

    def memory(self, plain, headers):
        """The load program's peak on both files, and on Linux (for
        reference) kvprofile show's."""
        load = self.prog("kvinit64_proc_load")
        show = self.run_with + [self.kvprofile, "show"]
        names = {"memory_plain": (load, plain), "memory_headers": (load, headers)}
        if not self.run_with:
            names.update({"memory_tool_plain": (show, plain),
                          "memory_tool_headers": (show, headers)})
        return {self.prefix + name: (argv + [self.file(path)], path)
                for name, (argv, path) in names.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bench_dir")
    parser.add_argument("kvprofile")
    parser.add_argument("data_dir")
    parser.add_argument("rounds", type=int)
    parser.add_argument("out")
    parser.add_argument("--wine", nargs=2, metavar=("WINE", "WINDOWS_BUILD"))
    args = parser.parse_args()
    bench_dir, data_dir = args.bench_dir, args.data_dir
    plain = os.path.join(data_dir, "plain.ini")
    encoded = os.path.join(data_dir, "encoded.ini")
    builds = [Programs("PROC_", [], bench_dir, args.kvprofile)]
    if args.wine:
        wine, windows = args.wine
        builds.append(Programs("WIN_", [wine], os.path.join(windows, "bench"),
                               os.path.join(windows, "kvprofile.exe"), ".exe", "Z:"))

    check_counts(builds, plain)
    copies = [build.save_files(data_dir, plain, bench_dir) for build in builds]
    timed = {}
    results = {}
    order = random.Random(2026)  # the same orders in every run of the script
    for build, (saved, copied) in zip(builds, copies):
        programs = build.timed(plain, encoded, saved, copied)
        timed.update(programs)
        results.update({name: [] for name in programs})
        names = list(programs)
        for _ in range(args.rounds):
            order.shuffle(names)
            for name in names:
                results[name].append(
                    measure(bench_dir, programs[name][0], retry=bool(build.run_with)))
    benchmarks = [entry(name, results[name], path) for name, (_, path) in timed.items()]

    headers = headers_file(data_dir)
    for build in builds:
        for name, (argv, path) in build.memory(plain, headers).items():
            runs = [measure(bench_dir, argv, retry=bool(build.run_with))
                    for _ in range(max(1, min(args.rounds, 3)))]
            benchmarks.append(entry(name, runs, path))
    for pair in copies:
        for path in pair:
            os.remove(path)
    with open(args.out, "w") as f:
        json.dump({"benchmarks": benchmarks}, f, indent=1)


if __name__ == "__main__":
    main()
