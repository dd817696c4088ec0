#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times kovrestore against the loaders a user could pick instead.

    python3 bench/bench.py [--runs N] [--repeat N] [--records N]
                           [--datasets a,b] [--build DIR] [--data DIR]
                           [--results FILE] [--smoke]

`make bench` runs it with the defaults: the small, medium, large and scale
datasets, three interleaved runs of every row, results printed and written to
bench/RESULTS.md.  scale is small at four times the records; it runs only
kovrestore and the fastest peers, which is what its targets compare.
ordered and ordered-scale are small records in ascending key order (the
output of every dump tool) at 1 and 4 million records, run against
mdb_load with no sync on the same order.  `--smoke` is the short run of CI: the small dataset cut to
10,000 records, results written under the build directory.

For each dataset, build/kovbench writes the same records as a kov dump and in
the input format of each peer.  Every row then runs once per round, rounds
interleaved so that a slow spell of the machine hits every row alike, and the
median of the rounds is reported with the peak RSS.  After every run the
loaded database is checked: every record must be there.

A short calibration, the fastest of a few runs of the cat and decode floors
over the dataset's dump, runs before and after each dataset; a dataset whose
calibration moved by more than 20% ran on a disturbed machine and is marked
so.  `--repeat N` runs the whole set N times: a target is met only when it
is met in every repeat, and the report quotes its worst repeat and range.  Only the Python
standard library is used; the peers are Debian packages installed on demand.
"""

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PEER_PACKAGES = ["sqlite3", "lmdb-utils", "gdbmtool", "db5.3-util", "eatmydata"]
# Rows run on the scale dataset, where every other peer takes minutes.
SCALE_ROWS = ("kovrestore", "gdbm_load", "mdb_load no sync", "decode only")
# Rows run on the key-order datasets: kovrestore against the fastest peer on
# the same key order.
ORDERED_ROWS = ("kovrestore", "mdb_load no sync", "decode only")
ROWS_OF = {"scale": SCALE_ROWS, "ordered": ORDERED_ROWS,
           "ordered-scale": ORDERED_ROWS}
RUN_TIMEOUT = 3600
CALIBRATION_RUNS = 3     # runs of each floor in a calibration
CALIBRATION_DRIFT = 0.20  # a larger move marks the dataset as disturbed
CALIBRATION_FLOOR = 0.05  # seconds; moves of shorter runs count against it
KOVBENCH = None     # build/kovbench, set by main
RESULT_DIR = None   # where kovbench time leaves its report


def die(msg):
    print("bench: " + msg, file=sys.stderr)
    sys.exit(1)


def ensure_peers():
    """Installs the peer loaders' packages when any is missing."""
    missing = []
    for p in PEER_PACKAGES:
        r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", p],
                           capture_output=True, text=True)
        if "install ok installed" not in r.stdout:
            missing.append(p)
    if not missing:
        return
    if os.geteuid() != 0:
        die("missing packages: %s; run as root: apt-get install -y %s"
            % (" ".join(missing), " ".join(missing)))
    print("bench: installing " + " ".join(missing), flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    for cmd in (["apt-get", "update", "-q"],
                ["apt-get", "install", "-y", "-q", "--no-install-recommends"]
                + missing):
        if subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL).returncode != 0:
            die("failed: " + " ".join(cmd))


def run_timed(argv, stdin_path=None, stdout_path=os.devnull, cwd=None):
    """Runs argv to completion under `kovbench time`; returns (seconds, peak
    RSS in KiB, stdout text or None).  Fails the benchmark on a non-zero
    status."""
    result = os.path.join(RESULT_DIR, "time.out")
    fin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    capture = stdout_path is None
    fout = subprocess.PIPE if capture else open(stdout_path, "wb")
    p = subprocess.run([KOVBENCH, "time", result] + argv, stdin=fin,
                       stdout=fout, stderr=subprocess.PIPE, cwd=cwd,
                       timeout=RUN_TIMEOUT)
    if stdin_path:
        fin.close()
    if not capture:
        fout.close()
    err = p.stderr.decode(errors="replace").strip()
    if p.returncode != 0:
        die("%s: %s" % (" ".join(argv), err[-500:]))
    with open(result) as f:
        seconds, rss, status = f.read().split()
    os.remove(result)
    if int(status) != 0:
        die("%s exited with %s: %s" % (" ".join(argv), status, err[-500:]))
    return float(seconds), int(rss), p.stdout.decode() if capture else None


def output(argv):
    return subprocess.run(argv, capture_output=True, text=True,
                          check=True).stdout


def remove_db(path):
    for suffix in ("", "-journal", "-wal", "-shm", "-lock"):
        try:
            os.remove(path + suffix)
        except FileNotFoundError:
            pass


def read_manifest(path):
    m = {}
    with open(path) as f:
        for line in f:
            name, _, value = line.strip().partition("=")
            m[name] = int(value)
    return m


def check_sqlite_table(db, manifest, who):
    """Checks that db's kov table holds every record, byte counts included."""
    got = output(["sqlite3", db, "SELECT count(*), sum(length(key)),"
                  " sum(length(value)) FROM kov"]).strip()
    want = "%d|%d|%d" % (manifest["records"], manifest["key_bytes"],
                         manifest["value_bytes"])
    if got != want:
        die("%s: database holds %s (records|key bytes|value bytes),"
            " expected %s" % (who, got, want))


def check_count(got, manifest, who):
    if got != manifest["records"]:
        die("%s loaded %d records, expected %d" % (who, got,
                                                   manifest["records"]))


def count_lmdb(db):
    return int(re.search(r"Entries: (\d+)", output(["mdb_stat", "-n", db]))[1])


def count_bdb(db):
    text = output(["db5.3_stat", "-d", db])
    return int(re.search(r"(\d+)\s+Number of unique keys", text)[1])


def count_gdbm(db):
    text = output(["gdbmtool", db, "count"])
    return int(re.search(r"There (?:are|is) (\d+) item", text)[1])


class Row:
    """One line of the results: a command, where its input comes from, and
    how to check what it did."""

    def __init__(self, name, argv, stdin=None, db=None, input_file=None,
                 check=None, self_timed=False, note=""):
        self.name = name
        self.argv = argv
        self.stdin = stdin
        self.db = db
        self.input_file = input_file or stdin
        self.check = check
        self.self_timed = self_timed
        self.note = note
        self.times = []
        self.rss = 0

    def command(self):
        text = " ".join(a.replace(ROOT + "/", "") for a in self.argv)
        if self.stdin:
            text += " < " + os.path.basename(self.stdin)
        return text


def rows_for(dataset, records, d, build, manifest, have_kovdump):
    kovrestore = os.path.join(build, "kovrestore")
    kovbench = os.path.join(build, "kovbench")
    kovdump = os.path.join(build, "kovdump")
    dump = os.path.join(d, "kov.dump")
    ref = os.path.join(d, "ref.kov")
    n = manifest["records"]

    def sqlite_check(who):
        return lambda row, out: check_sqlite_table(row.db, manifest, who)

    def printed_count(who):
        return lambda row, out: check_count(int(out.split()[0]), manifest, who)

    rows = [
        Row("kovrestore", [kovrestore, os.path.join(d, "kr.kov")], stdin=dump,
            db=os.path.join(d, "kr.kov"), check=sqlite_check("kovrestore")),
    ]
    if have_kovdump:
        rows.append(Row("kovdump", [kovdump, ref], input_file=dump,
                        note="dump of the restored database"))
    else:
        rows.append(None)
    rows += [
        Row("traverse floor", [kovbench, "traverse", ref], input_file=dump,
            check=printed_count("traverse floor"),
            note="kov_traverse of the restored database, nothing written"),
        Row("sqlite3 .dump", ["sqlite3", ref, ".dump"],
            input_file=os.path.join(d, "sqlite.sql"),
            note="dump of the restored database"),
        Row("sqlite3 shell", ["sqlite3", os.path.join(d, "s.db")],
            stdin=os.path.join(d, "sqlite.sql"), db=os.path.join(d, "s.db"),
            check=sqlite_check("sqlite3")),
        Row("mdb_load", ["mdb_load", "-n", "-f", os.path.join(d, "lmdb.txt"),
                         os.path.join(d, "m.mdb")],
            db=os.path.join(d, "m.mdb"), input_file=os.path.join(d, "lmdb.txt"),
            check=lambda row, out: check_count(count_lmdb(row.db), manifest,
                                               "mdb_load")),
        Row("mdb_load no sync", ["eatmydata", "mdb_load", "-n", "-f",
                                 os.path.join(d, "lmdb.txt"), os.path.join(d, "m.mdb")],
            db=os.path.join(d, "m.mdb"), input_file=os.path.join(d, "lmdb.txt"),
            check=lambda row, out: check_count(count_lmdb(row.db), manifest,
                                               "mdb_load no sync"),
            note="fsync made a no-op, as the kov library syncs only at close"),
        Row("gdbm_load", ["gdbm_load", "-n", os.path.join(d, "gdbm.dump"),
                          os.path.join(d, "g.gdbm")],
            db=os.path.join(d, "g.gdbm"), input_file=os.path.join(d, "gdbm.dump"),
            check=lambda row, out: check_count(count_gdbm(row.db), manifest,
                                               "gdbm_load")),
        Row("db5.3_load btree", ["db5.3_load", "-t", "btree", "-f",
                                 os.path.join(d, "bdb.txt"),
                                 os.path.join(d, "b.db")],
            db=os.path.join(d, "b.db"), input_file=os.path.join(d, "bdb.txt"),
            check=lambda row, out: check_count(count_bdb(row.db), manifest,
                                               "db5.3_load")),
        Row("decode only", [kovbench, "decode"], stdin=dump,
            check=printed_count("decode only"),
            note="reader primitives, nothing stored"),
        Row("engine floor", [kovbench, "insert", dataset, str(records),
                             os.path.join(d, "ins.kov")],
            db=os.path.join(d, "ins.kov"), input_file=dump, self_timed=True,
            check=sqlite_check("engine floor"),
            note="kov_open, kov_store of in-memory records, kov_close"),
        Row("cat", ["cat", dump], input_file=dump, note="read floor"),
        Row("getc decoder", [kovbench, "getc-decode"], stdin=dump,
            check=printed_count("getc decoder"),
            note="one getc call per character, nothing stored"),
    ]
    if dataset in ROWS_OF:
        rows = [r if r is not None and r.name in ROWS_OF[dataset] else None
                for r in rows]
        rows = [rows[0]] + [r for r in rows[1:] if r is not None]
    return rows


def run_row(row):
    if row.db:
        remove_db(row.db)
    capture = row.check is not None and row.db is None or row.self_timed
    elapsed, rss, out = run_timed(row.argv, stdin_path=row.stdin,
                                     stdout_path=None if capture else os.devnull,
                                     cwd=os.path.dirname(row.input_file))
    if row.self_timed:
        elapsed = float(out.split()[1])
    if row.check:
        row.check(row, out)
    if row.db:
        remove_db(row.db)
    row.times.append(elapsed)
    row.rss = max(row.rss, rss)


def verify_dumpers(d, build, manifest, have_kovdump):
    """Restores the reference database the dump rows read, and checks once
    that both dumpers write every record (kovdump: byte for byte)."""
    dump = os.path.join(d, "kov.dump")
    ref = os.path.join(d, "ref.kov")
    remove_db(ref)
    run_timed([os.path.join(build, "kovrestore"), ref], stdin_path=dump)
    check_sqlite_table(ref, manifest, "kovrestore")
    if have_kovdump:
        again = os.path.join(d, "again.dump")
        run_timed([os.path.join(build, "kovdump"), ref], stdout_path=again)
        # kovdump writes in key order, the generator in random order, so
        # compare the records as sets of lines.
        if sorted_records(again) != sorted_records(dump):
            die("kovdump of the restored database differs from the dump")
        os.remove(again)
    dumped = subprocess.run(
        "sqlite3 '%s' .dump | grep -c '^INSERT INTO kov VALUES'" % ref,
        shell=True, capture_output=True, text=True)
    check_count(int(dumped.stdout or 0), manifest, "sqlite3 .dump")


def sorted_records(path):
    with open(path, "rb") as f:
        data = f.read()
    return sorted(data.split(b"\n}\n"))


def median(xs):
    return statistics.median(xs)


def calibrate(d):
    """How fast the machine is just now: the fastest of CALIBRATION_RUNS runs
    of each floor over the dataset's dump, {floor: seconds}."""
    dump = os.path.join(d, "kov.dump")
    floors = {"cat": (["cat", dump], None), "decode": ([KOVBENCH, "decode"], dump)}
    return {name: min(run_timed(argv, stdin_path=stdin, cwd=d)[0]
                      for _ in range(CALIBRATION_RUNS))
            for name, (argv, stdin) in floors.items()}


def calibration_drift(before, after):
    """The largest relative move of a floor between two calibrations.  A run
    of a few milliseconds (the smoke run's) moves by the clock's noise
    alone, so a move is taken relative to CALIBRATION_FLOOR at least."""
    return max(abs(after[k] - before[k]) / max(before[k], CALIBRATION_FLOOR)
               for k in before)


def calibration_line(before, after):
    drift = calibration_drift(before, after)
    text = "Calibration before and after: " + ", ".join(
        "%s %.3f -> %.3f s" % (k, before[k], after[k]) for k in before)
    text += " (moved %.0f%%)" % (100 * drift)
    if drift > CALIBRATION_DRIFT:
        text += ": **disturbed**, a move of more than %.0f%%, so the figures " \
            "of this dataset do not hold" % (100 * CALIBRATION_DRIFT)
    return text + "."


def machine_info():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    versions = []
    for p in ["libsqlite3-0", "sqlite3", "lmdb-utils", "gdbmtool",
              "db5.3-util"]:
        r = subprocess.run(["dpkg-query", "-W", "-f=${Version}", p],
                           capture_output=True, text=True)
        versions.append("%s %s" % (p, r.stdout or "?"))
    gxx = subprocess.run(["g++", "--version"], capture_output=True, text=True)
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain",
                            "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    return [
        "Machine: %s, %d cores, %.0f GiB RAM, %s %s" % (
            cpu, os.cpu_count(), mem, platform.system(), platform.release()),
        "Versions: " + ", ".join(versions) + ", " +
        (gxx.stdout.splitlines()[0] if gxx.stdout else "g++ ?"),
        "Tree: %s%s" % (commit or "?", " (uncommitted changes)" if dirty else ""),
    ]


def constant(path, name):
    """A numeric constant of the library's source: digits, '*' and '<<'."""
    with open(os.path.join(ROOT, path)) as f:
        m = re.search(name + r"\s*=\s*([0-9 *<u]+);", f.read())
    value = 1
    for factor in m[1].split("*"):
        base, _, shift = factor.replace("u", "").partition("<<")
        value *= int(base) << int(shift or 0)
    return value


def cache_cap_bytes():
    """The library's page cache cap of a handle on an existing file."""
    return constant("kov/kov.cpp", "kov_cache_kib") * 1024


def restore_memory_bound(manifest):
    """The bound on kovrestore's peak RSS: the sort buffer's cap, three times
    the largest record, what the runs keep per record, and 32 MiB."""
    cap = constant("kov/sorter.cpp", "default_cap")
    per_record = constant("kov/sorter.h", "kov_sorter_record_cost")
    return (cap + 3 * manifest["largest_record"] +
            per_record * manifest["records"] + (32 << 20))


def mib(n):
    return n / 2**20


def report_dataset(name, manifest, rows, runs, label=""):
    base = median(rows[0].times)
    dump_bytes = os.path.getsize(rows[0].stdin)
    lines = [
        "### %s%s: %d records, largest %d bytes, kov dump %.1f MB"
        % (name, label, manifest["records"], manifest["largest_record"],
           dump_bytes / 1e6),
        "",
        "| row | median s | records/s | MB/s of input | input MB | peak RSS MiB "
        "| x kovrestore | runs (s) |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for row in rows:
        if row is None and name in ROWS_OF:
            continue
        if row is None:
            lines.append("| kovdump | - | - | - | - | - | - | skipped: build/kovdump "
                         "not built |")
            continue
        t = median(row.times)
        size = os.path.getsize(row.input_file)
        lines.append("| %s | %.3f | %.0f | %.0f | %.1f | %.1f | %.2f | %s |" % (
            row.name, t, manifest["records"] / t, size / 1e6 / t, size / 1e6,
            row.rss / 1024, t / base, " ".join("%.3f" % x for x in row.times)))
    return lines


def targets(results, cache_cap):
    """Measures the targets of the benchmark on the results of one repeat;
    returns (text, value, limit, unit) for each, a target being met when its
    value is at most its limit."""
    measured = []

    def add(text, value, limit, unit="x"):
        measured.append((text, value, limit, unit))

    for name, (manifest, rows) in results.items():
        by = {r.name: r for r in rows if r is not None}
        kr = median(by["kovrestore"].times)

        def t(n):
            return median(by[n].times)

        if name in ("ordered", "ordered-scale"):
            # A dump in key order streams through: flat memory, and faster
            # than the same number of records in random order.
            random_order = {"ordered": "small", "ordered-scale": "scale"}[name]
            if random_order in results:
                other = {r.name: r for r in results[random_order][1]
                         if r is not None}
                add("%s / %s: kovrestore time" % (name, random_order),
                    kr / median(other["kovrestore"].times), 0.8)
            if name == "ordered-scale":
                add("ordered-scale: kovrestore peak RSS",
                    by["kovrestore"].rss / 1024, 64, " MiB")
            continue
        if name == "scale":
            add("scale: kovrestore / gdbm_load", kr / t("gdbm_load"), 0.5)
            if "small" in results:
                small = {r.name: r for r in results["small"][1] if r is not None}
                add("scale / small: kovrestore time", kr /
                    median(small["kovrestore"].times), 4.5)
            add("scale: kovrestore peak RSS", by["kovrestore"].rss / 1024,
                restore_memory_bound(manifest) / 2**20, " MiB")
            continue
        if name == "small":
            add("small: kovrestore / gdbm_load", kr / t("gdbm_load"), 0.5)
            add("small: kovrestore / mdb_load no sync",
                kr / t("mdb_load no sync"), 0.5)
        else:
            add("%s: kovrestore / gdbm_load" % name, kr / t("gdbm_load"), 1.0)
            add("%s: kovrestore / mdb_load no sync" % name,
                kr / t("mdb_load no sync"), 1.0)
        if name == "small":
            add("small: kovrestore / sqlite3 shell", kr / t("sqlite3 shell"), 0.5)
            add("small: kovrestore / mdb_load", kr / t("mdb_load"), 0.25)
            add("small: kovrestore / db5.3_load btree",
                kr / t("db5.3_load btree"), 1.0)
            add("small: decode only / kovrestore", t("decode only") / kr, 0.2)
            if "kovdump" in by:
                add("small: kovdump / sqlite3 .dump",
                    t("kovdump") / t("sqlite3 .dump"), 0.5)
        else:
            add("%s: kovrestore / sqlite3 shell" % name,
                kr / t("sqlite3 shell"), 0.8)
            add("%s: kovrestore / db5.3_load btree" % name,
                kr / t("db5.3_load btree"), 1.0)
        if name == "medium":
            add("medium: decode only / getc decoder",
                t("decode only") / t("getc decoder"), 0.5)
        add("%s: kovrestore / (decode only + engine floor)" % name,
            kr / (t("decode only") + t("engine floor")), 1.5)
        add("%s: kovrestore peak RSS" % name, by["kovrestore"].rss / 1024,
            restore_memory_bound(manifest) / 2**20, " MiB")
        limit = (cache_cap + 3 * manifest["largest_record"] + (32 << 20)) / 2**20
        if "kovdump" in by:
            add("%s: kovdump peak RSS" % name, by["kovdump"].rss / 1024,
                limit, " MiB")
    return measured


def target_table(repeats, disturbed):
    """The targets over every repeat: a target is met only when it is met in
    each, and the worst repeat's value and the range are quoted.  repeats
    holds targets()'s list for each repeat; disturbed maps a dataset to the
    repeats (from 1) whose calibration moved.  Returns the report lines and
    whether every target was met."""
    values = {}
    for measured in repeats:
        for text, value, limit, unit in measured:
            values.setdefault(text, (limit, unit, []))[2].append(value)
    lines = ["| target | worst repeat | range of %d repeat%s | met in every repeat |"
             % (len(repeats), "" if len(repeats) == 1 else "s"), "|---|---:|---|---|"]
    all_met = True
    for text, (limit, unit, vs) in values.items():
        ok = max(vs) <= limit and len(vs) == len(repeats)
        all_met &= ok
        marks = sorted({r for n in text.split(":")[0].split(" / ")
                        for r in disturbed.get(n, [])})
        note = " (disturbed: repeat %s)" % ", ".join(map(str, marks)) if marks else ""
        lines.append("| %s | %.2f%s (limit %.2f%s) | %.2f-%.2f%s | %s%s |"
                     % (text, max(vs), unit, limit, unit, min(vs), max(vs), unit,
                        "yes" if ok else "NO", note))
    return lines, all_met


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--data", default=None,
                    help="scratch directory for the datasets (default: "
                    "BUILD/bench-data)")
    ap.add_argument("--runs", type=int, default=3,
                    help="interleaved runs of every row, of which the median")
    ap.add_argument("--repeat", type=int, default=1,
                    help="times the whole set runs; a target must hold in each")
    ap.add_argument("--records", type=int, default=0,
                    help="records per dataset (0: the dataset's own count)")
    ap.add_argument("--datasets",
                    default="small,medium,large,scale,ordered,ordered-scale")
    ap.add_argument("--results", default=None)
    ap.add_argument("--smoke", action="store_true",
                    help="CI's short run: small dataset, 10,000 records")
    ap.add_argument("--keep", action="store_true",
                    help="keep the generated datasets")
    args = ap.parse_args()
    if args.smoke:
        args.datasets = "small"
        args.records = args.records or 10000
    build = os.path.abspath(args.build)
    data = os.path.abspath(args.data or os.path.join(build, "bench-data"))
    results_path = args.results or (
        os.path.join(build, "bench-smoke.md") if args.smoke
        else os.path.join(ROOT, "bench", "RESULTS.md"))
    if args.runs < 1:
        die("--runs must be at least 1")
    if args.repeat < 1:
        die("--repeat must be at least 1")

    ensure_peers()
    for tool in ("kovrestore", "kovbench"):
        if not os.access(os.path.join(build, tool), os.X_OK):
            die("%s/%s is not built (run make)" % (build, tool))
    global KOVBENCH, RESULT_DIR
    KOVBENCH = os.path.join(build, "kovbench")
    RESULT_DIR = build
    have_kovdump = os.access(os.path.join(build, "kovdump"), os.X_OK)
    if not have_kovdump:
        print("bench: build/kovdump is not built; its row is skipped",
              flush=True)

    results = {}      # repeat -> dataset -> (manifest, rows)
    disturbed = {}    # dataset -> repeats whose calibration moved
    report = []
    commands = []
    for repeat, name in [(repeat, name) for repeat in range(1, args.repeat + 1)
                         for name in args.datasets.split(",")]:
        label = " (repeat %d of %d)" % (repeat, args.repeat) if args.repeat > 1 else ""
        d = os.path.join(data, name)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        print("bench: generating %s%s" % (name, label), flush=True)
        run_timed([os.path.join(build, "kovbench"), "gen", name,
                   str(args.records), d])
        manifest = read_manifest(os.path.join(d, "manifest"))
        verify_dumpers(d, build, manifest, have_kovdump)
        rows = rows_for(name, args.records, d, build, manifest, have_kovdump)
        live = [r for r in rows if r is not None]
        # Bring every input into the page cache before the first round.
        for r in live:
            run_timed(["cat", r.input_file])
        before = calibrate(d)
        for i in range(args.runs):
            for r in live:
                run_row(r)
            print("bench: %s round %d/%d: %s" % (
                name, i + 1, args.runs, ", ".join(
                    "%s %.2fs" % (r.name, r.times[-1]) for r in live)),
                flush=True)
        after = calibrate(d)
        if calibration_drift(before, after) > CALIBRATION_DRIFT:
            disturbed.setdefault(name, []).append(repeat)
        results.setdefault(repeat, {})[name] = (manifest, rows)
        report += report_dataset(name, manifest, rows, args.runs, label) + [
            "", calibration_line(before, after), ""]
        if not commands:
            commands = ["- %s: `%s`%s" % (r.name, r.command().replace(
                                              os.path.relpath(d, ROOT) + "/", ""),
                                          " (" + r.note + ")" if r.note else "")
                        for r in live]
        if not args.keep:
            shutil.rmtree(d, ignore_errors=True)

    repeats = [targets(results[r], cache_cap_bytes()) for r in sorted(results)]
    target_lines, all_met = target_table(repeats, disturbed)
    argv = " ".join(["python3", "bench/bench.py"] + sys.argv[1:])
    text = "\n".join(
        ["# kov benchmark results", "",
         "Written by `%s` on %s. Times are medians of %d interleaved runs "
         "on a shared machine: compare rows of one run, not runs of "
         "different days. The whole set ran %d time%s; a target is met only "
         "when it is met in every repeat, and the targets quote the worst "
         "repeat and the range. A dataset whose calibration (the fastest "
         "of %d runs of `cat` and of `decode only`, before and after it) "
         "moved by more than %.0f%% is marked disturbed."
         % (argv, datetime.date.today().isoformat(), args.runs, args.repeat,
            "" if args.repeat == 1 else "s", CALIBRATION_RUNS,
            100 * CALIBRATION_DRIFT),
         ""] + ["- " + x for x in machine_info()] +
        ["", "## Results", ""] + report +
        ["## Targets", ""] + target_lines +
        ["", "## Commands", "",
         "Run in the dataset's directory. Each database is removed before "
         "and after every run; after every run the number of records in it "
         "is checked (and for kov files the total key and value bytes). "
         "`engine floor` reports its own time for kov_open, the stores and "
         "kov_close, leaving out the building of the records in memory; its "
         "RSS includes those records.", ""] + commands +
        ["", "Inputs: kov.dump for the kov rows; for the peers their own "
         "format of the same records: sqlite.sql (`PRAGMA foreign_keys=OFF;"
         " BEGIN TRANSACTION; CREATE TABLE ...; INSERT INTO kov VALUES(X'..',"
         "X'..'); ... COMMIT;`, the shell's defaults), lmdb.txt (header with "
         "mapsize, format=bytevalue), bdb.txt (header, format=print), "
         "gdbm.dump (ASCII dump, base64)."]) + "\n"
    # The hand-written section on the library's settings outlives a run.
    if os.path.exists(results_path):
        with open(results_path) as f:
            old = f.read()
        kept = old.find("\n## Settings of the kov library")
        if kept >= 0:
            text += old[kept:]
    with open(results_path, "w") as f:
        f.write(text)
    print(text)
    print("bench: results written to %s" % results_path)
    if not all_met and not args.smoke:
        print("bench: some targets were not met", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
