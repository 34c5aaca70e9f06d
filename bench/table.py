#!/usr/bin/env python3
"""Prints the benchmark table: each figure, its baseline measured in the same
run, the ratio and the target.  Reads the Google Benchmark JSON files given
on the command line; of repeated runs it takes the median."""
import json
import sys

# figure, its benchmark, baseline, its benchmark, comparison, target
TIMED = [
    ("load: open + close \"r\"", "BM_load_profile", "inih ini_parse, no-op handler",
     "BM_load_inih", "<=", 1.0),
    ("load: open + close \"r\"", "BM_load_profile", "SimpleIni LoadFile",
     "BM_load_simpleini", "<=", 0.5),
    ("save: close \"r+\" with CSUM", "BM_save_profile", "SimpleIni SaveFile",
     "BM_save_simpleini", "<=", 0.75),
    ("save: close \"r+\" with CSUM", "BM_save_profile", "fputs line by line (floor)",
     "BM_save_fputs", "<=", 2.5),
    ("load of the encoded file", "BM_load_encoded", "load of the plain file",
     "BM_load_profile", "<=", 1.3),
    ("profileLineChecksum, key texts", "BM_checksum_profile", "plain weight x byte loop",
     "BM_checksum_plain", "<=", 1.5),
    ("QDKgetLibInfo, 1 thread", "BM_call_getLibInfo", "std::mutex + fill 164 bytes",
     "BM_call_mutexFill", "<=", 5.0),
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

    def add(figure, value, baseline, base_value, ratio, op, target):
        met = ratio <= target if op == "<=" else ratio >= target
        rows.append([figure, value, baseline, base_value, f"{ratio:.2f}x",
                     f"{'at most' if op == '<=' else 'at least'} {target}x",
                     "met" if met else "MISSED"])

    def not_run(figure, baseline, op, target):
        rows.append([figure, "-", baseline, "-", "-",
                     f"{'at most' if op == '<=' else 'at least'} {target}x", "not run"])

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
            "1 thread", f"{1 / one / 1e6:.2f} M calls/s", one / two, ">=", 0.5)
    except NotRun:
        not_run("QDKgetLibInfo, 2 threads: throughput", "1 thread", ">=", 0.5)

    try:
        heap = find(runs, "BM_heap_profile")
        add("peak heap, 18 MB file loaded", show_bytes(heap["peak_bytes"]), "file size",
            show_bytes(heap["file_bytes"]), heap["peak_bytes"] / heap["file_bytes"], "<=", 2.0)
    except NotRun:
        not_run("peak heap, 18 MB file loaded", "file size", "<=", 2.0)
    try:
        simple = find(runs, "BM_heap_simpleini")
        rows.append(["(reference) SimpleIni peak heap", show_bytes(simple["peak_bytes"]),
                     "file size", show_bytes(simple["file_bytes"]),
                     f"{simple['peak_bytes'] / simple['file_bytes']:.2f}x", "-", "-"])
    except NotRun:
        pass

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
