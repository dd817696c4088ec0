#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times kovrestore against the loaders a user could pick instead.

    python3 bench/bench.py [--runs N] [--repeat N] [--records N]
                           [--datasets a,b] [--build DIR] [--data DIR]
                           [--results FILE] [--smoke]

`make bench` runs it with the defaults: every dataset below, three
interleaved runs of every row, results printed and written to
bench/RESULTS.md.  small, medium and large run every peer, its dump tool on
the database it just loaded, and the floors; small also restores ordered's
records (its shape in ascending key order) in the same rounds, so that one
moment of the machine times both orders.  The others run only the rows
their targets compare: scale is small at four times the records (kovrestore
also with a 64 MiB sort buffer, and the fastest peers), scale-8m at eight
times (kovrestore, and side by side with it scale's records again, so that
one moment of the machine times both), small-300k 300,000 records through a 64 KiB sort
buffer with at most 64 open files; ordered, ordered-scale, ordered-medium and
ordered-large are the same shapes in ascending key order (the output of
every dump tool), run against mdb_load with no sync on the same order and
the floors of decoding and of writing the file.  `--smoke` is the short run
of CI: the small dataset cut to 10,000 records, results written under the
build directory.

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
import resource
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PEER_PACKAGES = ["sqlite3", "lmdb-utils", "gdbmtool", "db5.3-util", "eatmydata"]
# The rows of medium and large: every row but those made for one dataset's
# target.  db5.3_dump (30 MB/s, over 30 s a run on medium and large) runs on small
# only, and the write floor is a target on small's key-order twin.
FULL_ROWS = (
    "kovrestore", "kovdump", "traverse floor", "sqlite3 .dump", "sqlite3 shell",
    "mdb_load", "mdb_load no sync", "mdb_dump", "gdbm_load", "gdbm_dump",
    "db5.3_load btree", "decode only", "engine floor", "cat", "getc decoder")
SMALL_CAP_ROW = "kovrestore 64k cap, ulimit -n 64"
KEY_ORDER_ROW = "kovrestore, key order"
# Rows of every dataset.  On scale every other peer takes minutes; the
# key-order datasets run kovrestore against the fastest peer on the same key
# order and against the floors of reading and writing.
ROWS_OF = {
    "small": FULL_ROWS + ("db5.3_dump", "write floor", KEY_ORDER_ROW),
    "medium": FULL_ROWS,
    "large": FULL_ROWS,
    "scale": ("kovrestore", "kovrestore 64m cap", "kovrestore 1g cap", "gdbm_load",
              "mdb_load no sync", "decode only"),
    "scale-8m": ("kovrestore", "kovrestore, scale's records", "decode only"),
    "small-300k": ("kovrestore", SMALL_CAP_ROW),
    "ordered": ("kovrestore", "mdb_load no sync", "decode only", "write floor"),
    "ordered-scale": ("kovrestore", "mdb_load no sync", "decode only"),
    "ordered-medium": ("kovrestore", "mdb_load no sync", "decode only",
                       "write floor"),
    "ordered-large": ("kovrestore", "mdb_load no sync", "decode only",
                      "write floor"),
}
DEFAULT_DATASETS = ("small,medium,large,scale,scale-8m,small-300k,ordered,"
                    "ordered-scale,ordered-medium,ordered-large")
# The peers' input files, by the name kovbench gen gives their format.
PEER_FORMATS = {"sqlite.sql": "sqlite", "lmdb.txt": "lmdb", "bdb.txt": "bdb",
                "gdbm.dump": "gdbm"}
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


def run_timed(argv, stdin_path=None, stdout_path=os.devnull, cwd=None,
              env=None, nofile=None, may_fail=False):
    """Runs argv to completion under `kovbench time`; returns (seconds, peak
    RSS in KiB, stdout text or None, failure or None).  env adds variables
    to the environment, nofile caps the open files (of kovbench and so of
    argv).  A non-zero status fails the benchmark, unless may_fail: then the
    failure is the status and the end of stderr as text."""
    result = os.path.join(RESULT_DIR, "time.out")
    fin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    capture = stdout_path is None
    fout = subprocess.PIPE if capture else open(stdout_path, "wb")

    def limit_files():
        resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

    p = subprocess.run([KOVBENCH, "time", result] + argv, stdin=fin,
                       stdout=fout, stderr=subprocess.PIPE, cwd=cwd,
                       env=dict(os.environ, **env) if env else None,
                       preexec_fn=limit_files if nofile else None,
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
    failure = None
    if int(status) != 0:
        failure = "exited with %s: %s" % (status, err[-500:])
        if not may_fail:
            die("%s %s" % (" ".join(argv), failure))
    return (float(seconds), int(rss), p.stdout.decode() if capture else None,
            failure)


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
    how to check what it did.  env and nofile set the environment variables
    and the open-file limit of this row's command only; a row that may_fail
    counts its failed runs instead of failing the benchmark.  A row that
    keeps its database leaves it to the next row, which dumps and removes it
    (`removes`).  A row with size_of writes as many bytes as the database of
    that row held in the same round, given as {size} in its argv.  A row
    with gen reads records of its own, which main writes into the directory
    of its stdin: gen is (dataset, divisor), that dataset's records at the
    run's record count divided by divisor."""

    def __init__(self, name, argv, stdin=None, db=None, input_file=None,
                 check=None, self_timed=False, note="", env=None, nofile=None,
                 may_fail=False, keep=False, removes=None, size_of=None,
                 manifest=None, gen=None):
        self.name = name
        self.argv = argv
        self.stdin = stdin
        self.db = db
        self.input_file = input_file or stdin
        self.check = check
        self.self_timed = self_timed
        self.note = note
        self.env = env
        self.nofile = nofile
        self.may_fail = may_fail
        self.keep = keep
        self.removes = removes
        self.size_of = size_of
        self.manifest = manifest  # the row's own records, when not the dataset's
        self.gen = gen
        self.db_size = 0      # bytes of the database of the last run
        self.failures = []    # the message of each failed run
        self.times = []
        self.rss = 0

    def command(self):
        text = " ".join(a.replace(ROOT + "/", "") for a in self.argv)
        text = text.replace("{size}", "SIZE")
        if self.stdin:
            text += " < " + os.path.basename(self.stdin)
        if self.env:
            text = " ".join("%s=%s" % kv for kv in sorted(self.env.items())) \
                + " " + text
        if self.nofile:
            text = "ulimit -n %d; %s" % (self.nofile, text)
        return text


def rows_for(dataset, records, d, build, manifest, have_kovdump):
    """The rows of a dataset, in the order of a round; None for the kovdump
    row when build/kovdump is not built.  manifest may be filled in after
    this call: the checks read it when they run."""
    kovrestore = os.path.join(build, "kovrestore")
    kovbench = os.path.join(build, "kovbench")
    kovdump = os.path.join(build, "kovdump")
    dump = os.path.join(d, "kov.dump")
    ref = os.path.join(d, "ref.kov")
    kr_db = os.path.join(d, "kr.kov")

    def sqlite_check(who):
        return lambda row, out: check_sqlite_table(row.db, manifest, who)

    def printed_count(who):
        return lambda row, out: check_count(int(out.split()[0]), manifest, who)

    def size_check(row, out):
        if os.path.getsize(row.db) != row.size_of.db_size:
            die("write floor wrote %d bytes, expected %d"
                % (os.path.getsize(row.db), row.size_of.db_size))

    restore = Row("kovrestore", [kovrestore, kr_db], stdin=dump, db=kr_db,
                  check=sqlite_check("kovrestore"))
    # scale's records, written into half/ by main (which fills in their
    # manifest), so that the ratio of the two restores comes from the same
    # rounds; and small's shape in key order, in ordered/, likewise.
    half = {}
    half_dump = os.path.join(d, "half", "kov.dump")
    ordered = {}
    ordered_dump = os.path.join(d, "ordered", "kov.dump")
    rows = [
        restore,
        Row("kovrestore, scale's records", [kovrestore, kr_db], stdin=half_dump,
            db=kr_db, manifest=half, gen=("scale", 2),
            check=lambda row, out: check_sqlite_table(row.db, half, "kovrestore"),
            note="run in half/, where the records of scale are written as scale "
            "writes them; timed in the same rounds as scale-8m"),
        Row(KEY_ORDER_ROW, [kovrestore, kr_db], stdin=ordered_dump,
            db=kr_db, manifest=ordered, gen=("ordered", 1),
            check=lambda row, out: check_sqlite_table(row.db, ordered,
                                                      KEY_ORDER_ROW),
            note="run in ordered/, where the records of ordered (small's "
            "shape in ascending key order) are written; timed in the same "
            "rounds as small"),
        Row("kovrestore 64m cap", [kovrestore, kr_db], stdin=dump, db=kr_db,
            env={"KOV_SORT_MEMORY": "64m"},
            check=sqlite_check("kovrestore 64m cap"),
            note="the sort buffer capped at 64 MiB"),
        Row("kovrestore 1g cap", [kovrestore, kr_db], stdin=dump, db=kr_db,
            env={"KOV_SORT_MEMORY": "1g"},
            check=sqlite_check("kovrestore 1g cap"),
            note="the sort buffer at 1 GiB, the default before 256 MiB"),
        Row(SMALL_CAP_ROW, [kovrestore, kr_db], stdin=dump, db=kr_db,
            env={"KOV_SORT_MEMORY": "64k"}, nofile=64, may_fail=True,
            check=sqlite_check(SMALL_CAP_ROW),
            note="the sort buffer capped at 64 KiB and at most 64 open "
            "files; a failed run is counted, not fatal"),
        Row("kovdump", [kovdump, ref], input_file=dump,
            note="dump of the restored database") if have_kovdump else None,
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
        Row("mdb_dump", ["mdb_dump", "-n", os.path.join(d, "m.mdb")],
            input_file=os.path.join(d, "lmdb.txt"),
            removes=os.path.join(d, "m.mdb"),
            note="dump of the database mdb_load no sync wrote in the same "
            "round"),
        Row("gdbm_load", ["gdbm_load", "-n", os.path.join(d, "gdbm.dump"),
                          os.path.join(d, "g.gdbm")],
            db=os.path.join(d, "g.gdbm"), input_file=os.path.join(d, "gdbm.dump"),
            check=lambda row, out: check_count(count_gdbm(row.db), manifest,
                                               "gdbm_load")),
        Row("gdbm_dump", ["gdbm_dump", os.path.join(d, "g.gdbm")],
            input_file=os.path.join(d, "gdbm.dump"),
            removes=os.path.join(d, "g.gdbm"),
            note="dump of the database gdbm_load wrote in the same round"),
        Row("db5.3_load btree", ["db5.3_load", "-t", "btree", "-f",
                                 os.path.join(d, "bdb.txt"),
                                 os.path.join(d, "b.db")],
            db=os.path.join(d, "b.db"), input_file=os.path.join(d, "bdb.txt"),
            check=lambda row, out: check_count(count_bdb(row.db), manifest,
                                               "db5.3_load")),
        Row("db5.3_dump", ["db5.3_dump", os.path.join(d, "b.db")],
            input_file=os.path.join(d, "bdb.txt"),
            removes=os.path.join(d, "b.db"),
            note="dump of the database db5.3_load wrote in the same round"),
        Row("decode only", [kovbench, "decode"], stdin=dump,
            check=printed_count("decode only"),
            note="reader primitives, nothing stored"),
        Row("write floor", ["dd", "if=/dev/zero", "of=" + os.path.join(d, "wf.bin"),
                            "bs=1M", "count={size}", "iflag=count_bytes",
                            "conv=fsync", "status=none"],
            db=os.path.join(d, "wf.bin"), input_file=dump, size_of=restore,
            check=size_check,
            note="writes and syncs a file of the size of the database "
            "kovrestore made in the same round"),
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
    wanted = ROWS_OF[dataset]
    rows = [r for r in rows if r is None and "kovdump" in wanted
            or r is not None and r.name in wanted]
    # A dump row reads what the row before it loaded.
    for before, row in zip(rows, rows[1:]):
        if row is not None and row.removes:
            if before is None or before.db != row.removes:
                die("%s needs the row that loads %s before it"
                    % (row.name, row.removes))
            before.keep = True
    return rows


def peer_formats(rows):
    """The peers' formats that rows read, as kovbench gen names them."""
    return sorted({PEER_FORMATS[os.path.basename(f)] for r in rows
                   for f in (r.input_file, r.stdin)
                   if f and os.path.basename(f) in PEER_FORMATS})


def run_row(row):
    if row.db:
        remove_db(row.db)
    capture = row.check is not None and row.db is None or row.self_timed
    argv = [a.replace("{size}", str(row.size_of.db_size)) if row.size_of else a
            for a in row.argv]
    elapsed, rss, out, failure = run_timed(
        argv, stdin_path=row.stdin,
        stdout_path=None if capture else os.devnull,
        cwd=os.path.dirname(row.input_file), env=row.env, nofile=row.nofile,
        may_fail=row.may_fail)
    if row.self_timed:
        elapsed = float(out.split()[1])
    if failure:
        row.failures.append(failure)
        print("bench: %s failed: %s" % (row.name, failure), flush=True)
    elif row.check:
        row.check(row, out)
    if row.db:
        row.db_size = os.path.getsize(row.db) if os.path.exists(row.db) else 0
        if not row.keep:
            remove_db(row.db)
    if row.removes:
        remove_db(row.removes)
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
    if not m:
        sys.exit("bench: no constant %s in %s" % (name, path))
    value = 1
    for factor in m[1].split("*"):
        base, _, shift = factor.replace("u", "").partition("<<")
        value *= int(base) << int(shift or 0)
    return value


def cache_cap_bytes():
    """The library's page cache cap of a handle on an existing file."""
    return constant("kov/tuning.h", "kov_cache_kib") * 1024


def default_sort_cap():
    """The library's sort buffer cap when KOV_SORT_MEMORY is not set: its
    default, but never more than a quarter of physical memory nor less than
    its minimum."""
    quarter = os.sysconf("SC_PHYS_PAGES") // 4 * os.sysconf("SC_PAGE_SIZE")
    return max(min(constant("kov/sorter.cpp", "default_cap"), quarter),
               constant("kov/sorter.cpp", "min_cap"))


def restore_memory_bound(manifest):
    """The bound on kovrestore's peak RSS: the sort buffer's cap, three times
    the largest record, what the runs keep per record, and 32 MiB."""
    cap = default_sort_cap()
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
        if row is None:
            lines.append("| kovdump | - | - | - | - | - | - | skipped: build/kovdump "
                         "not built |")
            continue
        t = median(row.times)
        size = os.path.getsize(row.input_file)
        lines.append("| %s | %.3f | %.0f | %.0f | %.1f | %.1f | %.2f | %s |" % (
            row.name, t, (row.manifest or manifest)["records"] / t, size / 1e6 / t, size / 1e6,
            row.rss / 1024, t / base, " ".join("%.3f" % x for x in row.times)
            + ("; failed %d of %d: %s" % (len(row.failures), len(row.times),
                                          " ".join(row.failures[0].split()).replace("|", "/"))
               if row.failures else "")))
    return lines


def targets(results, cache_cap, sort_cap):
    """Measures the targets of the benchmark on the results of one repeat;
    returns (text, value, limit, unit) for each, a target being met when its
    value is at most its limit.  A limit of None marks a figure reported
    beside the targets that is not one."""
    measured = []

    def add(text, value, limit, unit="x"):
        measured.append((text, value, limit, unit))

    def rows_of(name):
        return {r.name: r for r in results[name][1] if r is not None}

    def kovrestore_of(name):
        return median(rows_of(name)["kovrestore"].times)

    # Peers' dump tools that kovdump is to stay ahead of; on small it has a
    # tighter target against sqlite3 .dump.
    dump_peers = ("sqlite3 .dump", "mdb_dump", "gdbm_dump", "db5.3_dump")
    for name, (manifest, rows) in results.items():
        by = rows_of(name)
        kr = median(by["kovrestore"].times)

        def t(n):
            return median(by[n].times)

        def write_floor(limit):
            # The restore against decoding the dump plus writing and
            # syncing a file of the database's size.
            add("%s: kovrestore / (decode only + write floor)" % name,
                kr / (t("decode only") + t("write floor")), limit)

        if name.startswith("ordered"):
            # A dump in key order streams through: flat memory, and faster
            # than the same number of records in random order.
            random_order = {"ordered": "small", "ordered-scale": "scale",
                            "ordered-medium": "medium",
                            "ordered-large": "large"}[name]
            if name in ("ordered", "ordered-scale") and random_order in results:
                add("%s / %s: kovrestore time" % (name, random_order),
                    kr / kovrestore_of(random_order), 0.8)
            if name == "ordered":
                # Streaming in key order against decoding alone, in the
                # same rounds: what storing adds to reading the dump.
                add("ordered: kovrestore / decode only, same rounds",
                    kr / t("decode only"), 1.3)
            if name == "ordered-large":
                # Peak memory of a key-order restore of large values must
                # not grow with the work moved to the library's threads:
                # at most 5% above the 27.2 MiB of the results before it.
                add("ordered-large: kovrestore peak RSS",
                    by["kovrestore"].rss / 1024, 27.2 * 1.05, " MiB")
            if name == "ordered-scale":
                add("ordered-scale: kovrestore / mdb_load no sync",
                    kr / t("mdb_load no sync"), 0.7)
                add("ordered-scale: kovrestore peak RSS",
                    by["kovrestore"].rss / 1024, 64, " MiB")
            else:
                write_floor(1.5)
            continue
        if name == "scale":
            add("scale: kovrestore / gdbm_load", kr / t("gdbm_load"), 0.5)
            if "small" in results:
                add("scale / small: kovrestore time",
                    kr / kovrestore_of("small"), 4.5)
            add("scale: kovrestore 64m cap / kovrestore",
                t("kovrestore 64m cap") / kr, 1.4)
            add("scale: kovrestore peak RSS", by["kovrestore"].rss / 1024,
                restore_memory_bound(manifest) / 2**20, " MiB")
            continue
        if name == "scale-8m":
            add("scale-8m / scale: kovrestore time, same rounds",
                kr / t("kovrestore, scale's records"), 2.15)
            if "scale" in results:
                # The same ratio across the two datasets, minutes apart:
                # the machine's speed moves between them.
                add("scale-8m / scale: kovrestore time, datasets apart",
                    kr / kovrestore_of("scale"), None)
            add("scale-8m: kovrestore peak RSS", by["kovrestore"].rss / 1024,
                sort_cap / 2**20 + 100, " MiB")
            continue
        if name == "small-300k":
            row = by[SMALL_CAP_ROW]
            add("small-300k: %s, failed runs" % SMALL_CAP_ROW,
                len(row.failures), 0, " runs")
            add("small-300k: %s, peak RSS" % SMALL_CAP_ROW, row.rss / 1024,
                64, " MiB")
            continue
        if name == "small":
            add("small: kovrestore / gdbm_load", kr / t("gdbm_load"), 0.25)
            add("small: kovrestore / mdb_load no sync",
                kr / t("mdb_load no sync"), 0.12)
            add("small: kovrestore / sqlite3 shell", kr / t("sqlite3 shell"), 0.5)
            add("small: kovrestore / mdb_load", kr / t("mdb_load"), 0.25)
            add("small: kovrestore / db5.3_load btree",
                kr / t("db5.3_load btree"), 1.0)
            add("small: decode only / kovrestore", t("decode only") / kr, 0.2)
            # Random order against the same shape in key order, timed in
            # the same rounds: the cost of sorting.
            add("small: kovrestore / %s, same rounds" % KEY_ORDER_ROW,
                kr / t(KEY_ORDER_ROW), 1.8)
        else:
            add("%s: kovrestore / gdbm_load" % name, kr / t("gdbm_load"), 0.6)
            add("%s: kovrestore / mdb_load no sync" % name,
                kr / t("mdb_load no sync"), 0.5 if name == "medium" else 0.6)
            add("%s: kovrestore / sqlite3 shell" % name,
                kr / t("sqlite3 shell"), 0.8)
            add("%s: kovrestore / db5.3_load btree" % name,
                kr / t("db5.3_load btree"), 1.0)
        if "kovdump" in by:
            for peer in (p for p in dump_peers if p in by):
                add("%s: kovdump / %s" % (name, peer), t("kovdump") / t(peer),
                    0.5 if name == "small" and peer == "sqlite3 .dump" else 1.0)
        if name == "medium":
            add("medium: decode only / getc decoder",
                t("decode only") / t("getc decoder"), 0.5)
        add("%s: kovrestore / (decode only + engine floor)" % name,
            kr / (t("decode only") + t("engine floor")), 1.5)
        if name == "small":
            # In random order the sort is not in the floor: reported only.
            write_floor(None)
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

    def fmt(v, unit, show_unit=True):
        return ("%d" if unit == " runs" else "%.2f") % v + (unit if show_unit else "")

    for text, (limit, unit, vs) in values.items():
        marks = sorted({r for n in text.split(":")[0].split(" / ")
                        for r in disturbed.get(n, [])})
        note = " (disturbed: repeat %s)" % ", ".join(map(str, marks)) if marks else ""
        if limit is None:
            verdict, limit_text = "reported, not a target", "no limit"
        else:
            ok = max(vs) <= limit and len(vs) == len(repeats)
            all_met &= ok
            verdict, limit_text = "yes" if ok else "NO", "limit " + fmt(limit, unit)
        lines.append("| %s | %s (%s) | %s-%s | %s%s |"
                     % (text, fmt(max(vs), unit), limit_text,
                        fmt(min(vs), unit, False), fmt(max(vs), unit), verdict, note))
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
    ap.add_argument("--datasets", default=DEFAULT_DATASETS)
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
    for name in args.datasets.split(","):
        if name not in ROWS_OF:
            die("unknown dataset %s (known: %s)" % (name, ", ".join(ROWS_OF)))
    # The rows measure the library's default sort cap unless they set one.
    os.environ.pop("KOV_SORT_MEMORY", None)

    # A build with assert() on times checks that release builds leave out
    # (make test turns them on; make bench builds without them).
    cache = os.path.join(build, "CMakeCache.txt")
    if not args.smoke and os.path.exists(cache):
        with open(cache) as f:
            if "KOV_ASSERTS:BOOL=ON" in f.read():
                die("%s is built with assert() on (KOV_ASSERTS): run make bench"
                    % build)

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
    commands = {}     # row name -> its line, from the first dataset that ran it
    for repeat, name in [(repeat, name) for repeat in range(1, args.repeat + 1)
                         for name in args.datasets.split(",")]:
        label = " (repeat %d of %d)" % (repeat, args.repeat) if args.repeat > 1 else ""
        d = os.path.join(data, name)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        print("bench: generating %s%s" % (name, label), flush=True)
        manifest = {}
        rows = rows_for(name, args.records, d, build, manifest, have_kovdump)
        live = [r for r in rows if r is not None]
        run_timed([os.path.join(build, "kovbench"), "gen", name,
                   str(args.records), d, ",".join(peer_formats(live))])
        manifest.update(read_manifest(os.path.join(d, "manifest")))
        for r in live:
            if r.gen is not None:
                sub = os.path.dirname(r.stdin)
                os.makedirs(sub)
                run_timed([os.path.join(build, "kovbench"), "gen", r.gen[0],
                           str(args.records // r.gen[1]), sub, ""])
                r.manifest.update(read_manifest(os.path.join(sub, "manifest")))
        ref = os.path.join(d, "ref.kov")
        if any(ref in r.argv for r in live):
            verify_dumpers(d, build, manifest, have_kovdump)
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
        for r in live:
            commands.setdefault(r.name, "- %s: `%s`%s" % (
                r.name, r.command().replace(os.path.relpath(d, ROOT) + "/", ""),
                " (" + r.note + ")" if r.note else ""))
        if not args.keep:
            shutil.rmtree(d, ignore_errors=True)

    repeats = [targets(results[r], cache_cap_bytes(), default_sort_cap())
               for r in sorted(results)]
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
         "RSS includes those records.", ""] + list(commands.values()) +
        ["", "Inputs: kov.dump for the kov rows; for the peers their own "
         "format of the same records, written only on the datasets whose "
         "rows read it: sqlite.sql (`PRAGMA foreign_keys=OFF;"
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
