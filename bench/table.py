#!/usr/bin/env python3
"""Prints the benchmark tables of one run: each figure, its baseline measured
in the same run, the ratio and the target.  Reads the Google Benchmark JSON
files given on the command line; of repeated runs it takes the median.

    table.py [--verdicts OUT.json] RESULT.json...   the tables of one run, and
                                                    its ratios and verdicts
    table.py --summary VERDICTS.json...             several runs side by side
"""
import argparse
import json
import sys

# Whole processes, the figures a host lives with: each program started
# afresh loads the file once (bench/processes.py), medians of rounds run in
# turn.  figure, its benchmark, baseline, its benchmark, comparison, target.
PROCESS = [
    ("load program (open + close \"r\")", "PROC_load_plain", "inih program",
     "PROC_inih_count", "<=", 0.5),
    ("load program (open + close \"r\")", "PROC_load_plain", "SimpleIni program",
     "PROC_simpleini_count", "<=", 0.25),
    ("load program (open + close \"r\")", "PROC_load_plain", "fgets program (floor)",
     "PROC_fgets_count", "<=", 3.0),
    ("kvprofile show", "PROC_kvprofile_show", "inih program", "PROC_inih_count", "<=", 0.5),
    ("kvprofile show", "PROC_kvprofile_show", "SimpleIni program", "PROC_simpleini_count",
     "<=", 0.25),
    ("kvprofile show", "PROC_kvprofile_show", "fgets program (floor)", "PROC_fgets_count",
     "<=", 3.0),
    ("load program, encoded file", "PROC_load_encoded", "load program, plain file",
     "PROC_load_plain", "<=", 1.1),
    ("save program (\"r+\", close with CSUM)", "PROC_save",
     "fgets/fputs copy, fsync, rename (floor)", "PROC_fputs_copy", "<=", 1.4),
    ("(calibration) callback reader program", "PROC_callback_count", "inih program",
     "PROC_inih_count", "<=", None),
]

# The same comparison for the Windows build under Wine: ratios only, a Wine
# figure is not a Windows figure.  Benchmark names without their PROC_
# (Linux) or WIN_ (Wine) prefix.  The callback reader stands in for inih;
# its rows take inih's target through the calibration (the callback reader's
# processor time against inih's, on Linux in the same run).
WINDOWS = [
    ("load program", "load_plain", "callback reader program", "callback_count", "<=", 0.5),
    ("load program", "load_plain", "SimpleIni program", "simpleini_count", "<=", 0.25),
    ("load program", "load_plain", "fgets program (floor)", "fgets_count", "<=", 3.0),
    ("kvprofile show", "kvprofile_show", "callback reader program", "callback_count", "<=", 0.5),
    ("kvprofile show", "kvprofile_show", "SimpleIni program", "simpleini_count", "<=", 0.25),
    ("kvprofile show", "kvprofile_show", "fgets program (floor)", "fgets_count", "<=", 3.0),
    ("load program, encoded file", "load_encoded", "load program, plain file", "load_plain",
     "<=", 1.1),
    ("save program", "save", "fgets/fputs copy, flush, rename (floor)", "fputs_copy", "<=", 1.4),
]
STAND_IN = "callback_count"
WINE_START = "WIN_empty"

# In process, warm: a benchmark loop that loads the same file again and
# again in one process (its memory is reused).  For reference.
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
    ("(reference) each encoded line found and decoded", "BM_codec_decodeNext",
     "each plain line found and scanned", "BM_scan_plainLine", "<=", None),
    ("QDKgetLibInfo, 1 thread", "BM_call_getLibInfo", "std::mutex + fill 164 bytes",
     "BM_call_mutexFill", "<=", 3.0),
]

# figure, its benchmark, target: peak bytes against the size of the file.
MEMORY = [
    ("peak resident, a process loading the 18 MB file", "PROC_memory_plain", 1.3),
    ("peak resident, a process loading 20 MB of headers", "PROC_memory_headers", 8.0),
    ("(reference) peak heap (malloc only, not page blocks), 18 MB", "BM_heap_profile", None),
    ("(reference) peak heap (malloc only, not page blocks), headers", "BM_heap_headers", None),
    ("(reference) peak resident, kvprofile show, 18 MB", "PROC_memory_tool_plain", None),
    ("(reference) peak resident, kvprofile show, headers", "PROC_memory_tool_headers", None),
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


def print_table(head, rows):
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    line = lambda r: "| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |"
    print(line(head))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))


def target_text(op, target):
    if target is None:
        return "-"
    return f"{'at most' if op == '<=' else 'at least'} {target}x"


def verdict(ratio, op, target):
    if target is None:
        return "-"
    return "met" if (ratio <= target if op == "<=" else ratio >= target) else "MISSED"


def process_rows(runs):
    """The whole-process table: wall-time ratio (judged), and beside it the
    ratios of processor time and of page faults, which a loaded machine
    disturbs less."""
    rows = []
    for figure, name, baseline, base_name, op, target in PROCESS:
        try:
            run, base = find(runs, name), find(runs, base_name)
        except NotRun:
            rows.append([figure, "-", baseline, "-", "-", target_text(op, target), "not run",
                         "-", "-"])
            continue
        ratio = seconds(run) / seconds(base)
        rows.append([figure, show_time(seconds(run)), baseline, show_time(seconds(base)),
                     f"{ratio:.2f}x", target_text(op, target), verdict(ratio, op, target),
                     f"{run['cpu_ms'] / max(base['cpu_ms'], 1e-3):.2f}x",
                     f"{run['minflt']:.0f} / {base['minflt']:.0f}"])
    return rows


def windows_rows(runs):
    """The Windows build under Wine beside the Linux build, ratios only.
    Every Wine process first pays Wine's start-up, the empty program's
    median; the net ratios leave it out of both sides.  The processor time
    (net) is the judged figure: on a shared machine the wall times of Wine
    runs, start-up included, vary by a factor of two from round to round,
    while their processor times stay within a few per cent.  The verdicts
    are in parentheses: they are not counted."""
    empty = find(runs, WINE_START)
    start, start_cpu = seconds(empty), empty["cpu_ms"]
    try:
        calibration = (find(runs, "PROC_" + STAND_IN)["cpu_ms"] /
                       find(runs, "PROC_inih_count")["cpu_ms"])
    except NotRun:
        calibration = None
    rows = []
    for figure, name, baseline, base_name, op, target in WINDOWS:
        row = [figure, baseline]
        shown_target = target_text(op, target)
        if base_name == STAND_IN and calibration:
            shown_target = f"{target_text(op, round(target / calibration, 2))} (inih's {target}x)"
            target = target / calibration
        try:
            run, base = find(runs, "PROC_" + name), find(runs, "PROC_" + base_name)
            row += [f"{seconds(run) / seconds(base):.2f}x",
                    f"{run['cpu_ms'] / max(base['cpu_ms'], 1e-3):.2f}x"]
        except NotRun:
            row += ["-", "-"]
        try:
            run, base = find(runs, "WIN_" + name), find(runs, "WIN_" + base_name)
        except NotRun:
            rows.append(row + ["-", "-", "-", "-", shown_target, "not run"])
            continue
        cpu = (run["cpu_ms"] - start_cpu) / max(base["cpu_ms"] - start_cpu, 1e-3)
        net = (seconds(run) - start) / max(seconds(base) - start, 1e-6)
        rows.append(row + [f"{cpu:.2f}x", f"{net:.2f}x", f"{seconds(run) / seconds(base):.2f}x",
                           f"{run['minflt']:.0f} / {base['minflt']:.0f}",
                           shown_target, f"({verdict(cpu, op, target)})"])
    return rows, start, start_cpu


def wine_memory(runs):
    """The load program's peak resident memory under Wine, less the empty
    program's (Wine's own), against the size of the file: for reference."""
    empty = find(runs, WINE_START)
    shown = []
    for figure, name in (("the 18 MB file", "WIN_memory_plain"),
                         ("20 MB of headers", "WIN_memory_headers")):
        try:
            run = find(runs, name)
        except NotRun:
            continue
        net = (run["peak_bytes"] - empty["peak_bytes"]) / run["file_bytes"]
        shown.append(f"{net:.2f}x {figure}")
    return ", ".join(shown)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--verdicts", help="write this run's ratios and verdicts here")
    parser.add_argument("--summary", action="store_true",
                        help="the files are verdicts of several runs: print them side by side")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    if args.summary:
        summary(args.files)
        return
    runs = load(args.files)
    rows, memory_rows = [], []

    def add(figure, value, baseline, base_value, ratio, op, target, into=rows):
        into.append([figure, value, baseline, base_value, f"{ratio:.2f}x",
                     target_text(op, target), verdict(ratio, op, target)])

    def not_run(figure, baseline, op, target, into=rows):
        into.append([figure, "-", baseline, "-", "-", target_text(op, target), "not run"])

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
                run["peak_bytes"] / run["file_bytes"], "<=", target, into=memory_rows)
        except NotRun:
            if target is not None:
                not_run(figure, "file size", "<=", target, into=memory_rows)

    proc = process_rows(runs)
    print("Whole process: a fresh process loads the file once (medians of rounds run in turn;")
    print("processor time and page faults are disturbed less by a loaded machine)")
    print()
    print_table(["Figure", "Wall", "Baseline (same run)", "Baseline", "Ratio", "Target", "",
                 "CPU ratio", "Page faults"], proc)
    print()
    print_table(["Figure", "Measured", "Baseline (same run)", "Baseline", "Ratio", "Target", ""],
                memory_rows)
    wine = []
    try:
        wine, start, start_cpu = windows_rows(runs)
        print()
        print("Whole process, Windows build under Wine beside the Linux build (the same run):")
        print("ratios only, a Wine figure is not a Windows figure.  \"net\" leaves out Wine's")
        print(f"start-up, an empty program's median ({show_time(start)} wall, "
              f"{start_cpu:.1f} ms processor), from both")
        print("sides; the processor time is judged (a busy machine disturbs it least), the")
        print("verdicts are not counted.  The callback reader stands in for inih, which has")
        print("no Windows build here")
        print()
        print_table(["Figure", "Baseline (same run)", "Linux", "Linux CPU", "Wine CPU, net",
                     "Wine, net", "Wine, raw", "Wine page faults", "Target", ""], wine)
        memory = wine_memory(runs)
        if memory:
            print(f"\n(reference) peak resident of the load program under Wine, less the empty")
            print(f"program's: {memory}")
    except NotRun:
        pass
    print()
    print("In process, warm (reference): a loop loading the same file in one process")
    print()
    print_table(["Figure", "Measured", "Baseline (same run)", "Baseline", "Ratio", "Target", ""],
                rows)
    judged = [r for r in proc + memory_rows + rows if r[6] in ("met", "MISSED")]
    missed = sum(1 for r in judged if r[6] == "MISSED")
    print(f"\n{len(judged) - missed} of {len(judged)} targets met" +
          (f"; {missed} missed" if missed else ""))
    if args.verdicts:
        # figure, baseline, target, ratio, verdict: the judged rows, then the
        # Wine ratios (processor time, net), reported beside them and not
        # counted.
        kept = [[r[0], r[2], r[5], r[4], r[6]] for r in judged]
        kept += [["Wine: " + r[0], r[1], r[8], r[4], r[9]] for r in wine if r[9] != "-"]
        with open(args.verdicts, "w") as f:
            json.dump(kept, f, indent=1)


def summary(paths):
    """Several runs side by side: each figure's ratio in every run, and in
    how many runs it met its target."""
    runs = []
    for path in paths:
        with open(path) as f:
            runs.append({(r[0], r[1]): r for r in json.load(f)})
    keys = list(dict.fromkeys(k for run in runs for k in run))
    rows, all_met = [], 0
    for key in keys:
        cells = [run.get(key) for run in runs]
        target = next(c[2] for c in cells if c)
        shown = [f"{c[3]} {c[4]}" if c else "not run" for c in cells]
        judged = not key[0].startswith("Wine: ")
        met = sum(1 for c in cells if c and c[4] == "met")
        if judged:
            all_met += met == len(runs)
        rows.append([key[0], key[1], target] + shown +
                    [f"{met} of {len(runs)}" if judged else "(not counted)"])
    judged_rows = [r for r in rows if r[-1] != "(not counted)"]
    print(f"{len(runs)} runs in a row, each ratio measured within its own run")
    print()
    print_table(["Figure", "Baseline", "Target"] + [f"Run {i + 1}" for i in range(len(runs))] +
                ["Met"], rows)
    print(f"\n{all_met} of {len(judged_rows)} targets met in all {len(runs)} runs")


if __name__ == "__main__":
    main()
