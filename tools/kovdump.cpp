// SPDX-License-Identifier: MIT
// kovdump: writes a kov database out as its text dump.
//
//   kovdump DBNAME > DUMP
//
// Opens DBNAME read-only and writes every record to standard output in
// ascending byte order of the keys, in the form kovrestore reads, so that
// "kovdump old.kov | kovrestore new.kov" copies a database and a dump
// restored and dumped again is byte-identical.  Status 0 means the whole
// database is on standard output; any failure prints one diagnostic on
// standard error and gives status 1.  A reader that goes away early ends
// the program through SIGPIPE, as with any filter.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "dump_writer.h"
#include "kov.h"
#include "progress.h"
#include "tool_options.h"

static const char msg_usage[] = "Usage: %s dbname > kovdump_output\n";
static const char msg_failed_open[] = "Failed to open %s\n";
static const char msg_hot_journal[] =
    "%s-journal: left by an interrupted write, or from another file; if a "
    "writer of %s was killed, open %s read-write once to roll it back; if "
    "not, remove it (see kovdump(1))\n";
static const char msg_wal_mode[] =
    "%s: in WAL mode, which kovdump cannot read without writing beside it; "
    "convert it first: sqlite3 %s 'PRAGMA journal_mode=DELETE'\n";
static const char msg_not_kov[] = "%s: %s\n";
static const char msg_kov_error[] = "KOV error: %s\n";
static const char msg_error_closing[] = "Error closing kov\n";
static const char msg_help[] =
    "Writes every record of the kov database DBNAME to standard output as a\n"
    "text dump, in ascending byte order of the keys, in the form kovrestore\n"
    "reads.  When standard output is not the terminal, a progress line on a\n"
    "terminal shows how far a long dump has got.  A database named like an\n"
    "option is given as a path: ./--help.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n";

// Encoded output waits here until it goes out in one write.
static unsigned char output_buffer[1 << 20];

static int write_one(kov_handle, datum key, datum value, void *ctx)
{
    int rc = dump_write_record(static_cast<dump_writer *>(ctx), key, value);
    progress_record();
    return rc;
}

// True when name has a non-empty rollback journal beside it.  A writer
// killed inside a transaction leaves one, and SQLite must roll it back
// (write to the file) before anyone can read, which a read-only open
// cannot do.  SQLite cannot tell a journal that came from another file,
// and rolling that one back would damage the database, hence the advice.
static bool has_journal(const char *name)
{
    std::string journal = std::string(name) + "-journal";
    struct stat st;
    return stat(journal.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

int main(int argc, char *argv[])
{
    // A filter whose reader has gone ends quietly, even when started with
    // SIGPIPE ignored by a parent such as a test harness or a daemon.
    signal(SIGPIPE, SIG_DFL);
    // A file-size limit makes the write fail (EFBIG) and be reported.
    signal(SIGXFSZ, SIG_IGN);

    if (argc <= 1) {
        const char *prog = argc > 0 && argv[0] && argv[0][0] ? argv[0] : "kovdump";
        printf(msg_usage, prog);
        return 1;
    }
    int info = tool_info_option(argv[1], "kovdump", argv[0], msg_usage, msg_help);
    if (info >= 0)
        return info;
    const char *name = argv[1];

    kov_handle db = kov_open(name, 0, 0, O_RDONLY, 0);
    if (!db) {
        int open_errno = errno;
        perror("kov_open");
        fprintf(stderr, msg_failed_open, name);
        if (open_errno == EACCES && access(name, R_OK) == 0 && has_journal(name))
            fprintf(stderr, msg_hot_journal, name, name, name);
        if (open_errno == ENOTSUP)
            fprintf(stderr, msg_wal_mode, name, name);
        // EINVAL: the library says why the file is not a kov database.
        if (open_errno == EINVAL && *kov_errorstr(nullptr))
            fprintf(stderr, msg_not_kov, name, kov_errorstr(nullptr));
        return 1;
    }

    if (!isatty(STDOUT_FILENO)) {
        // How far the dump is: the share of the file's pages read.
        struct stat st;
        progress_start("kovdump", nullptr);
        if (stat(name, &st) == 0 && S_ISREG(st.st_mode))
            progress_reads(st.st_size);
    }
    int rc = 0;
    dump_writer out;
    dump_writer_init(&out, STDOUT_FILENO, output_buffer, sizeof output_buffer);
    int visited = kov_traverse(db, write_one, &out);
    progress_stop();
    if (out.error) {
        errno = out.error;
        perror("stdout");
        rc = 1;
    } else if (visited == -1) {
        fprintf(stderr, msg_kov_error, kov_errorstr(db));
        rc = 1;
    } else if (dump_writer_flush(&out)) {
        perror("stdout");
        rc = 1;
    }
    if (kov_close(db) != 0 && rc == 0) {
        fputs(msg_error_closing, stderr);
        rc = 1;
    }
    return rc;
}
