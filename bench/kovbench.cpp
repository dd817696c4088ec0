// SPDX-License-Identifier: MIT
// kovbench: the helper program of the benchmark (bench/bench.py runs it).
//
//   kovbench gen DATASET RECORDS DIR [FORMATS]
//                                      write the dataset's inputs into DIR
//   kovbench decode < DUMP             decode a dump with the reader
//                                      primitives, storing nothing
//   kovbench getc-decode < DUMP        decode a dump with a plain loop of one
//                                      getc call per character
//   kovbench insert DATASET RECORDS DB build the records in memory, then
//                                      store them into a new kov file
//   kovbench traverse DB               read every record of a kov file with
//                                      kov_traverse, writing nothing
//   kovbench time RESULT CMD ARG...    run CMD and write its wall time in
//                                      seconds, peak RSS in KiB and exit
//                                      status to the file RESULT
//
// DATASET is one of the table below; RECORDS overrides its record count (0
// keeps it).  The records are a pure function of the dataset's seed, so gen
// and insert see exactly the same ones.  gen writes the same records in the
// input format of every loader the benchmark compares:
//
//   kov.dump     the kov dump text (kovrestore)
//   sqlite.sql   one transaction of INSERTs with X'' literals (sqlite3 shell)
//   lmdb.txt     the bytevalue format with header (mdb_load; its print
//                format decodes a doubled backslash wrongly)
//   bdb.txt      the print format with header (db5.3_load -t btree)
//   gdbm.dump    the ASCII dump format (gdbm_load)
//   manifest     records, key bytes, value bytes, largest record, as
//                name=value lines
//
// FORMATS, a comma-separated list of sqlite, lmdb, bdb and gdbm, limits the
// peers' files to those named (kov.dump and the manifest are always
// written): a dataset that runs few peers need not write gigabytes for the
// others.
//
// decode, getc-decode and traverse print the number of records; insert prints
// the records stored and the seconds from kov_open to the end of kov_close.
// Every command exits 1 with a message on any failure.

#include <fcntl.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <string>
#include <vector>

#include "dump_model.h"
#include "dump_reader.h"
#include "kov.h"

extern char **environ;

namespace {

struct dataset {
    const char *name;
    uint64_t records;    // number of records
    size_t key_min;      // shortest key, bytes
    size_t key_max;      // longest key, bytes
    size_t value_size;   // every value has this many bytes
    int binary_percent;  // share of value bytes outside printable ASCII
    uint64_t seed;       // start of the random stream
    bool key_order;      // keys ascend, as in the output of a dump tool
};

// small: many short records in random key order, values mostly text.
// medium: binary values of 10 KiB.  large: a few values of 20 MiB.  scale
// and scale-8m: small at four and eight times the records, for how the cost
// grows.  small-300k: small at 300,000 records, for a restore through a
// tiny sort buffer.  ordered, ordered-scale, ordered-medium and
// ordered-large: the same shapes in ascending key order, the input every
// dump tool writes.
const dataset datasets[] = {
    {"small", 1000000, 16, 24, 100, 10, 0x6b6f7631736d616cULL, false},
    {"medium", 50000, 16, 24, 10 * 1024, 100, 0x6b6f76316d656469ULL, false},
    {"large", 20, 16, 24, 20 << 20, 100, 0x6b6f76316c617267ULL, false},
    {"scale", 4000000, 16, 24, 100, 10, 0x6b6f76317363616cULL, false},
    {"ordered", 1000000, 16, 24, 100, 10, 0x6b6f76316f726472ULL, true},
    {"ordered-scale", 4000000, 16, 24, 100, 10, 0x6b6f76316f726473ULL, true},
    {"scale-8m", 8000000, 16, 24, 100, 10, 0x6b6f763173633878ULL, false},
    {"small-300k", 300000, 16, 24, 100, 10, 0x6b6f763133303078ULL, false},
    {"ordered-medium", 50000, 16, 24, 10 * 1024, 100, 0x6b6f76316f6d6564ULL, true},
    {"ordered-large", 20, 16, 24, 20 << 20, 100, 0x6b6f76316f6c6172ULL, true},
};

// splitmix64: small, fast and the same everywhere.
struct rng {
    uint64_t state;
    uint64_t next()
    {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return next() % n; }
};

// Produces the records of one dataset in order.
struct record_source {
    const dataset &set;
    rng r;
    uint64_t produced = 0;

    explicit record_source(const dataset &d) : set(d), r{d.seed} {}

    // Keys are printable ASCII, quote and backslash included, so that the
    // order of insertion is random and a few key bytes need escapes.  In a
    // key-order dataset each key starts with its record number in ten
    // digits, so that the keys ascend.
    void key(std::string &k)
    {
        size_t n = set.key_min + r.below(set.key_max - set.key_min + 1);
        k.resize(n);
        size_t i = 0;
        if (set.key_order) {
            char digits[16];
            snprintf(digits, sizeof digits, "%010llu", static_cast<unsigned long long>(produced));
            for (; i < 10 && i < n; i++)
                k[i] = digits[i];
        }
        for (; i < n; i++)
            k[i] = static_cast<char>(0x20 + r.below(95));
    }

    void value(std::string &v)
    {
        v.resize(set.value_size);
        if (set.binary_percent == 100) {
            size_t i = 0;
            for (; i + 8 <= v.size(); i += 8) {
                uint64_t x = r.next();
                memcpy(&v[i], &x, 8);
            }
            for (; i < v.size(); i++)
                v[i] = static_cast<char>(r.next());
            return;
        }
        for (size_t i = 0; i < v.size(); i++) {
            uint64_t x = r.next();
            if (static_cast<int>(x % 100) < set.binary_percent) {
                // One of the 161 bytes outside 0x20-0x7E.
                uint64_t b = (x >> 8) % 161;
                v[i] = static_cast<char>(b < 32 ? b : b + 95);
            } else {
                v[i] = static_cast<char>(0x20 + (x >> 8) % 95);
            }
        }
    }

    bool next(std::string &k, std::string &v)
    {
        if (produced == set.records)
            return false;
        produced++;
        key(k);
        value(v);
        return true;
    }
};

const dataset *find_dataset(const char *name, const char *records)
{
    static dataset chosen;
    for (const dataset &d : datasets) {
        if (strcmp(d.name, name) == 0) {
            chosen = d;
            char *end;
            unsigned long long n = strtoull(records, &end, 10);
            if (*end || end == records) {
                fprintf(stderr, "kovbench: bad record count %s\n", records);
                return nullptr;
            }
            if (n)
                chosen.records = n;
            return &chosen;
        }
    }
    fprintf(stderr, "kovbench: unknown dataset %s\n", name);
    return nullptr;
}

// An output file written through a large stdio buffer.
struct output {
    FILE *f = nullptr;
    std::string path;

    bool open(const std::string &dir, const char *name)
    {
        path = dir + "/" + name;
        f = fopen(path.c_str(), "w");
        if (!f) {
            perror(path.c_str());
            return false;
        }
        setvbuf(f, nullptr, _IOFBF, 1 << 20);
        return true;
    }
    void put(const std::string &s) { fwrite(s.data(), 1, s.size(), f); }
    void put(const char *s) { fputs(s, f); }
    bool close()
    {
        if (ferror(f) || fclose(f)) {
            perror(path.c_str());
            return false;
        }
        return true;
    }
};

const char hex_upper[] = "0123456789ABCDEF";
const char hex_lower[] = "0123456789abcdef";

// The print format of mdb_load and db_load: printable bytes as themselves,
// the backslash doubled, every other byte as \xx.
void print_escape(const std::string &in, std::string &out)
{
    out.clear();
    out += ' ';
    for (unsigned char c : in) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c <= 0x7e) {
            out += static_cast<char>(c);
        } else {
            out += '\\';
            out += hex_lower[c >> 4];
            out += hex_lower[c & 15];
        }
    }
    out += '\n';
}

void hex_escape(const std::string &in, std::string &out)
{
    out.clear();
    for (unsigned char c : in) {
        out += hex_upper[c >> 4];
        out += hex_upper[c & 15];
    }
}

// The bytevalue format of mdb_load: a blank, then two hex digits a byte.
void bytevalue_line(const std::string &in, std::string &out)
{
    out.clear();
    out += ' ';
    for (unsigned char c : in) {
        out += hex_lower[c >> 4];
        out += hex_lower[c & 15];
    }
    out += '\n';
}

// gdbm's ASCII dump: the length, then base64 in lines of 76 characters.
void gdbm_field(const std::string &in, std::string &out)
{
    static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out = "#:len=" + std::to_string(in.size()) + "\n";
    size_t line = 0;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t n = static_cast<unsigned char>(in[i]) << 16;
        size_t left = in.size() - i;
        if (left > 1)
            n |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (left > 2)
            n |= static_cast<unsigned char>(in[i + 2]);
        char quad[4] = {b64[n >> 18], b64[(n >> 12) & 63], left > 1 ? b64[(n >> 6) & 63] : '=',
                        left > 2 ? b64[n & 63] : '='};
        out.append(quad, 4);
        line += 4;
        if (line == 76) {
            out += '\n';
            line = 0;
        }
    }
    if (line)
        out += '\n';
}

// The peers' files gen writes: each of FORMATS' names, or all when null.
struct formats {
    bool sql = true, lmdb = true, bdb = true, gdbm = true;

    bool parse(const char *list)
    {
        sql = lmdb = bdb = gdbm = false;
        std::string s = list;
        size_t start = 0;
        while (start <= s.size()) {
            size_t end = s.find(',', start);
            if (end == std::string::npos)
                end = s.size();
            std::string name = s.substr(start, end - start);
            if (name == "sqlite")
                sql = true;
            else if (name == "lmdb")
                lmdb = true;
            else if (name == "bdb")
                bdb = true;
            else if (name == "gdbm")
                gdbm = true;
            else if (!name.empty()) {
                fprintf(stderr, "kovbench: unknown format %s\n", name.c_str());
                return false;
            }
            start = end + 1;
        }
        return true;
    }
};

int generate(const dataset &set, const std::string &dir, const formats &want)
{
    output kov, sql, lmdb, bdb, gdbm;
    if (!kov.open(dir, "kov.dump") || (want.sql && !sql.open(dir, "sqlite.sql")) ||
        (want.lmdb && !lmdb.open(dir, "lmdb.txt")) || (want.bdb && !bdb.open(dir, "bdb.txt")) ||
        (want.gdbm && !gdbm.open(dir, "gdbm.dump")))
        return 1;

    // LMDB needs its map size up front; leave room for page overhead.
    uint64_t data_bytes = set.records * (set.key_max + set.value_size);
    uint64_t mapsize = (data_bytes * 3 + (256ULL << 20)) / 4096 * 4096;

    if (want.sql)
        sql.put("PRAGMA foreign_keys=OFF;\nBEGIN TRANSACTION;\n"
                "CREATE TABLE kov(key BLOB PRIMARY KEY NOT NULL,"
                " value BLOB NOT NULL) WITHOUT ROWID;\n");
    if (want.lmdb)
        lmdb.put("VERSION=3\nformat=bytevalue\ntype=btree\nmapsize=" + std::to_string(mapsize) +
                 "\nHEADER=END\n");
    if (want.bdb)
        bdb.put("VERSION=3\nformat=print\ntype=btree\nHEADER=END\n");
    if (want.gdbm)
        gdbm.put("# GDBM dump file created by kovbench\n#:version=1.1\n"
                 "#:format=standard\n# End of header\n");

    std::string k, v, a, b;
    uint64_t key_bytes = 0, value_bytes = 0, largest = 0;
    record_source src(set);
    while (src.next(k, v)) {
        key_bytes += k.size();
        value_bytes += v.size();
        if (k.size() + v.size() > largest)
            largest = k.size() + v.size();

        kov.put(kovtest::canonical_record(k, v));

        if (want.sql) {
            hex_escape(k, a);
            hex_escape(v, b);
            sql.put("INSERT INTO kov VALUES(X'");
            sql.put(a);
            sql.put("',X'");
            sql.put(b);
            sql.put("');\n");
        }
        if (want.lmdb) {
            bytevalue_line(k, a);
            bytevalue_line(v, b);
            lmdb.put(a);
            lmdb.put(b);
        }
        if (want.bdb) {
            print_escape(k, a);
            print_escape(v, b);
            bdb.put(a);
            bdb.put(b);
        }
        if (want.gdbm) {
            gdbm_field(k, a);
            gdbm_field(v, b);
            gdbm.put(a);
            gdbm.put(b);
        }
    }
    if (want.sql)
        sql.put("COMMIT;\n");
    if (want.lmdb)
        lmdb.put("DATA=END\n");
    if (want.bdb)
        bdb.put("DATA=END\n");
    if (want.gdbm)
        gdbm.put("#:count=" + std::to_string(set.records) + "\n# End of data\n");
    if (!kov.close() || (want.sql && !sql.close()) || (want.lmdb && !lmdb.close()) ||
        (want.bdb && !bdb.close()) || (want.gdbm && !gdbm.close()))
        return 1;

    output manifest;
    if (!manifest.open(dir, "manifest"))
        return 1;
    manifest.put("records=" + std::to_string(set.records) + "\nkey_bytes=" +
                 std::to_string(key_bytes) + "\nvalue_bytes=" + std::to_string(value_bytes) +
                 "\nlargest_record=" + std::to_string(largest) +
                 "\nlmdb_mapsize=" + std::to_string(mapsize) + "\n");
    return manifest.close() ? 0 : 1;
}

// The restore loop of kovrestore without the store: the reader's own cost.
int decode_only()
{
    unsigned long records = 0;
    int at_end = 0;
    for (;;) {
        datum key, value;
        bool ok = dump_read_record(stdin, &key, &value, &at_end) == 0;
        free(key.data);
        free(value.data);
        if (!ok)
            break;
        records++;
    }
    if (!at_end || ferror(stdin)) {
        fprintf(stderr, "kovbench: decode failed after %lu records\n", records);
        return 1;
    }
    printf("%lu\n", records);
    return 0;
}

// A decoder as one would first write it: one getc call per character.
// It is the tests' byte-wise model of the reader, so it does the same work.
int getc_decode()
{
    kovtest::reader_model m(stdin);
    unsigned long records = 0;
    std::string key, value;
    int at_end = 0;
    while (m.read_record(&key, &value, &at_end) == 0)
        records++;
    if (!at_end || ferror(stdin)) {
        fprintf(stderr, "kovbench: decode failed after %lu records\n", records);
        return 1;
    }
    printf("%lu\n", records);
    return 0;
}

double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The engine floor: the stores of a restore with no decoding at all.  The
// records are built first in one arena, so the timed part is kov_open, the
// stores and kov_close, exactly as kovrestore calls them.
int insert_only(const dataset &set, const char *path)
{
    std::vector<unsigned char> arena;
    std::vector<size_t> bounds;  // key start, value start, for each record
    std::string k, v;
    record_source src(set);
    while (src.next(k, v)) {
        bounds.push_back(arena.size());
        arena.insert(arena.end(), k.begin(), k.end());
        bounds.push_back(arena.size());
        arena.insert(arena.end(), v.begin(), v.end());
    }
    bounds.push_back(arena.size());
    std::string().swap(v);

    double start = now();
    kov_handle db = kov_open(path, 0, 0, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (!db) {
        perror("kov_open");
        return 1;
    }
    size_t records = (bounds.size() - 1) / 2;
    for (size_t i = 0; i < records; i++) {
        datum key = {arena.data() + bounds[2 * i], bounds[2 * i + 1] - bounds[2 * i]};
        datum value = {arena.data() + bounds[2 * i + 1], bounds[2 * i + 2] - bounds[2 * i + 1]};
        if (kov_store(db, key, value, KOV_INSERT) == -1) {
            fprintf(stderr, "kovbench: KOV error: %s\n", kov_errorstr(db));
            return 1;
        }
    }
    if (kov_close(db) != 0) {
        perror("kov_close");
        return 1;
    }
    printf("%zu %.6f\n", records, now() - start);
    return 0;
}

// The read floor of a dump: kov_open, kov_traverse and kov_close of a kov
// file, with a callback that only touches each record's bytes.
int count_bytes(kov_handle, datum key, datum value, void *ctx)
{
    unsigned long *sum = static_cast<unsigned long *>(ctx);
    *sum += key.size + value.size + (key.size ? key.data[0] : 0) +
            (value.size ? value.data[value.size - 1] : 0);
    return 0;
}

int traverse_only(const char *path)
{
    kov_handle db = kov_open(path, 0, 0, O_RDONLY, 0);
    if (!db) {
        perror("kov_open");
        return 1;
    }
    unsigned long sum = 0;
    int records = kov_traverse(db, count_bytes, &sum);
    if (records < 0) {
        fprintf(stderr, "kovbench: KOV error: %s\n", kov_errorstr(db));
        return 1;
    }
    if (kov_close(db) != 0) {
        perror("kov_close");
        return 1;
    }
    printf("%d %lu\n", records, sum);
    return 0;
}

// Runs a command and reports its peak RSS.  Linux carries the high-water
// mark of the process that forked across exec, so a command started by a
// big interpreter would be charged with the interpreter's memory; started
// from this small program it is charged with a few MiB at most.
int time_command(const char *result, char *argv[])
{
    double start = now();
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ);
    if (rc) {
        fprintf(stderr, "kovbench: %s: %s\n", argv[0], strerror(rc));
        return 1;
    }
    int status;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        perror("kovbench: wait4");
        return 1;
    }
    double elapsed = now() - start;
    FILE *f = fopen(result, "w");
    if (!f) {
        perror(result);
        return 1;
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    fprintf(f, "%.6f %ld %d\n", elapsed, usage.ru_maxrss, code);
    if (fclose(f)) {
        perror(result);
        return 1;
    }
    return 0;
}

void usage()
{
    fputs("usage: kovbench gen DATASET RECORDS DIR [FORMATS]\n"
          "       kovbench decode < DUMP\n"
          "       kovbench getc-decode < DUMP\n"
          "       kovbench insert DATASET RECORDS DB\n"
          "       kovbench traverse DB\n"
          "       kovbench time RESULT CMD ARG...\n",
          stderr);
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        usage();
        return 1;
    }
    std::string cmd = argv[1];
    if (cmd == "decode" && argc == 2)
        return decode_only();
    if (cmd == "getc-decode" && argc == 2)
        return getc_decode();
    if (cmd == "traverse" && argc == 3)
        return traverse_only(argv[2]);
    if (cmd == "time" && argc >= 4)
        return time_command(argv[2], argv + 3);
    if ((cmd == "gen" && (argc == 5 || argc == 6)) || (cmd == "insert" && argc == 5)) {
        const dataset *set = find_dataset(argv[2], argv[3]);
        if (!set)
            return 1;
        formats want;
        if (argc == 6 && !want.parse(argv[5]))
            return 1;
        return cmd == "gen" ? generate(*set, argv[4], want) : insert_only(*set, argv[4]);
    }
    usage();
    return 1;
}
