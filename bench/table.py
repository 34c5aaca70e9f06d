#!/usr/bin/env python3
"""Prints the benchmark table: each figure, its baseline measured in the same
run, the ratio and the target.  Reads the Google Benchmark JSON files given
on the command line; of repeated runs it takes the median."""
import json
import sys

# figure, its benchmark, baseline, its benchmark, comparison, target
TIMED = [
    ("load: open + close \"r\"", "BM_load_profile", "inih ini_parse, no-op handler",
     "BM_load_inih", "<=", 0.5),
    ("load: open + close \"r\"", "BM_load_profile", "SimpleIni LoadFile",
     "BM_load_simpleini", "<=", 0.35),
    ("load: open + close \"r\"", "BM_load_profile", "fgets line loop (floor)",
     "BM_load_fgets", "<=", 4.0),
    ("save: close \"r+\" with CSUM", "BM_save_profile", "SimpleIni SaveFile",
     "BM_save_simpleini", "<=", 0.75),
    ("save: close \"r+\" with CSUM", "BM_save_profile", "fputs line by line (floor)",
     "BM_save_fputs", "<=", 1.5),
    ("load of the encoded file", "BM_load_encoded", "load of the plain file",
     "BM_load_profile", "<=", 1.2),
    ("profileLineChecksum, key texts", "BM_checksum_profile", "plain weight x byte loop",
     "BM_checksum_plain", "<=", 1.5),
    ("QDKgetLibInfo, 1 thread", "BM_call_getLibInfo", "std::mutex + fill 164 bytes",
     "BM_call_mutexFill", "<=", 3.0),
    # Whole processes, medians of rounds run in turn (bench/processes.py).
    ("whole process: kvprofile show", "PROC_kvprofile_show", "inih program counting",
     "PROC_inih_count", "<=", 0.5),
    ("whole process: kvprofile show", "PROC_kvprofile_show", "SimpleIni program counting",
     "PROC_simpleini_count", "<=", 0.35),
    ("whole process: kvprofile show", "PROC_kvprofile_show", "fgets line loop program",
     "PROC_fgets_count", "<=", None),
]

# figure, its benchmark, target: peak bytes against the size of the file.
MEMORY = [
    ("peak heap, 18 MB file loaded", "BM_heap_profile", 1.5),
    ("peak heap, 20 MB of \"[a]\" headers loaded", "BM_heap_headers", 16.0),
    ("peak resident, a process loading the 18 MB file", "PROC_memory_plain", 1.5),
    ("peak resident, a process loading 20 MB of headers", "PROC_memory_headers", 16.0),
    ("(reference) peak resident, kvprofile verify, 18 MB", "PROC_memory_tool_plain", None),
    ("(reference) peak resident, kvprofile verify, headers", "PROC_memory_tool_headers", None),
    ("(reference) SimpleIni peak heap", "BM_heap_simpleini", None),
]


def load(paths):
    """name -> run (the median aggregate when there are repetitions)."""
    runs, medians = {}, {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        for b in data.get("benchmarks", []):
            if b.get("error_occurred"):
                sys.exit(f"bench: {b['name']} failed: {b.get('error_message')}")
            name = b.get("run_name", b["name"])
            if b.get("run_type") == "aggregate":
                if b.get("aggregate_name") == "median":
                    medians[name] = b
            else:
                runs.setdefault(name, b)
    runs.update(medians)
    return runs


class NotRun(Exception):
    pass


def find(runs, name, threads=1):
    for key, run in runs.items():
        parts = key.split("/")
        t = next((int(p[8:]) for p in parts if p.startswith("threads:")), 1)
        if parts[0] == name and t == threads:
            return run
    raise NotRun(name)


def seconds(run):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run.get("time_unit", "ns")]
    return run["real_time"] * scale


def show_time(s):
    if s >= 1:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.1f} ms"
    if s >= 1e-6:
        return f"{s * 1e6:.2f} us"
    return f"{s * 1e9:.1f} ns"


def show_bytes(n):
    return f"{n / 1e6:.1f} MB"


def main():
    runs = load(sys.argv[1:])
    rows = []

    def target_text(op, target):
        if target is None:
            return "-"
        return f"{'at most' if op == '<=' else 'at least'} {target}x"

    def add(figure, value, baseline, base_value, ratio, op, target):
        if target is None:
            verdict = "-"
        else:
            verdict = "met" if (ratio <= target if op == "<=" else ratio >= target) else "MISSED"
        rows.append([figure, value, baseline, base_value, f"{ratio:.2f}x",
                     target_text(op, target), verdict])

    def not_run(figure, baseline, op, target):
        rows.append([figure, "-", baseline, "-", "-", target_text(op, target), "not run"])

    for figure, name, baseline, base_name, op, target in TIMED:
        try:
            value, base = seconds(find(runs, name)), seconds(find(runs, base_name))
            add(figure, show_time(value), baseline, show_time(base), value / base, op, target)
        except NotRun:
            not_run(figure, baseline, op, target)

    # Throughput of two threads at once against one thread: the per-call
    # time of the two-thread run is wall time over the calls of both.
    try:
        one = seconds(find(runs, "BM_call_getLibInfo"))
        two = seconds(find(runs, "BM_call_getLibInfo", threads=2))
        add("QDKgetLibInfo, 2 threads: throughput", f"{1 / two / 1e6:.2f} M calls/s",
            "1 thread", f"{1 / one / 1e6:.2f} M calls/s", one / two, ">=", 0.7)
    except NotRun:
        not_run("QDKgetLibInfo, 2 threads: throughput", "1 thread", ">=", 0.7)

    for figure, name, target in MEMORY:
        try:
            run = find(runs, name)
            add(figure, show_bytes(run["peak_bytes"]), "file size", show_bytes(run["file_bytes"]),
                run["peak_bytes"] / run["file_bytes"], "<=", target)
        except NotRun:
            if target is not None:
                not_run(figure, "file size", "<=", target)

    head = ["Figure", "Measured", "Baseline (same run)", "Baseline", "Ratio", "Target", ""]
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    line = lambda r: "| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |"
    print(line(head))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    judged = [r for r in rows if r[-1] in ("met", "MISSED")]
    missed = sum(1 for r in judged if r[-1] == "MISSED")
    print(f"\n{len(judged) - missed} of {len(judged)} targets met" +
          (f"; {missed} missed" if missed else ""))


if __name__ == "__main__":
    main()
