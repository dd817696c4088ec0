// SPDX-License-Identifier: MIT
// kovrestore: rebuilds a kov database from its text dump.
//
//   kovrestore DBNAME < DUMP
//
// Creates DBNAME (which must not exist), reads the dump from standard input
// one record at a time and stores each record with KOV_INSERT.  The first
// failure ends the run with status 1; records stored before it stay in the
// file.  A dump that ends cleanly where a record could begin closes the
// database, prints "EOF" and exits 0.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dump_reader.h"
#include "kov.h"
#include "progress.h"
#include "tool_options.h"

static const char msg_usage[] = "Usage: %s dbname < kovdump_output\n";
static const char msg_failed_open[] = "Failed to open %s\n";
static const char msg_side_file[] = "%s\n";
static const char msg_kov_error[] = "KOV error: %s\n";
static const char msg_error_closing[] = "Error closing kov\n";
static const char msg_eof[] = "EOF\n";
static const char msg_help[] =
    "Rebuilds the kov database DBNAME, which must not exist, from the text dump\n"
    "read on standard input, and prints EOF when the whole dump is stored.\n"
    "On a terminal a progress line shows how far a long restore has got.\n"
    "A database named like an option is given as a path: ./--help.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n";

// For the tests of the restore's memory bound: when KOVRESTORE_PEAK_RSS_FILE
// names a file, the peak resident set of this process (VmHWM, in KiB) is
// written there at exit, after the library's own exit work.  VmHWM counts
// this program's pages only; the ru_maxrss of a process also counts those
// of the process it was forked from before exec.
static void write_peak_rss(void)
{
    FILE *in = fopen("/proc/self/status", "r");
    if (!in)
        return;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, in))
        if (sscanf(line, "VmHWM: %ld", &kib) == 1)
            break;
    fclose(in);
    FILE *out = fopen(getenv("KOVRESTORE_PEAK_RSS_FILE"), "w");
    if (out) {
        fprintf(out, "%ld\n", kib);
        fclose(out);
    }
}

// For the progress line: the records read that the library holds back for
// the write at the close.
static unsigned long long held_records(void *db)
{
    return kov_pending(static_cast<kov_handle>(db));
}

int main(int argc, char *argv[])
{
    // A file-size limit makes the write fail (EFBIG) and be reported.
    signal(SIGXFSZ, SIG_IGN);
    if (getenv("KOVRESTORE_PEAK_RSS_FILE"))
        atexit(write_peak_rss);
    if (argc <= 1) {
        const char *prog = argc > 0 && argv[0] && argv[0][0] ? argv[0] : "kovrestore";
        printf(msg_usage, prog);
        return 1;
    }
    int info = tool_info_option(argv[1], "kovrestore", argv[0], msg_usage, msg_help);
    if (info >= 0)
        return info;
    const char *name = argv[1];
    reserve_standard_descriptors();

    kov_handle db = kov_open(name, 0, 0, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (!db) {
        int open_errno = errno;
        perror("kov_open");
        fprintf(stderr, msg_failed_open, name);
        // EEXIST without the database itself: a side file of that name
        // (-journal, -wal, -shm) is in the way, and the library names it.
        // lstat, as O_EXCL does: a dangling symbolic link is the name taken.
        struct stat st;
        if (open_errno == EEXIST && lstat(name, &st) != 0)
            fprintf(stderr, msg_side_file, kov_errorstr(nullptr));
        // EINVAL before anything was created: a setting such as
        // KOV_SORT_MEMORY that makes no sense, which the library names.
        else if (open_errno == EINVAL && *kov_errorstr(nullptr))
            fprintf(stderr, msg_side_file, kov_errorstr(nullptr));
        return 1;
    }
    // stdio would read a file or pipe st_blksize (4 KiB) at a time; a
    // larger buffer saves most of the read calls of a long dump.  A
    // terminal keeps its own line-at-a-time reads.
    static char input_buffer[256 << 10];
    if (!isatty(STDIN_FILENO))
        setvbuf(stdin, input_buffer, _IOFBF, sizeof input_buffer);
    progress_start("kovrestore", stdin);
    progress_held(held_records, db);
    kov_progress_handler(db, progress_busy, nullptr);

    datum key, value;
    int at_end;
    for (;;) {
        if (dump_read_record(stdin, &key, &value, &at_end))
            break;
        if (kov_store(db, key, value, KOV_INSERT) == -1) {
            fprintf(stderr, msg_kov_error, kov_errorstr(db));
            break;
        }
        free(key.data);
        free(value.data);
        progress_record();
    }
    int read_errno = errno;
    free(key.data);
    free(value.data);

    // A read error is never a clean end, wherever it struck.  The database
    // stays as on every failure, holding the records stored so far.
    if (ferror(stdin)) {
        errno = read_errno;
        perror("stdin");
        return 1;
    }
    if (!at_end)
        return 1;
    progress_held(nullptr, nullptr);
    kov_progress_handler(db, progress_writing, nullptr);
    int closed = kov_close(db);
    progress_stop();
    if (closed != 0) {
        fprintf(stderr, msg_kov_error, kov_errorstr(nullptr));
        fputs(msg_error_closing, stderr);
        return 1;
    }
    fputs(msg_eof, stderr);
    return 0;
}
