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
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "dump_reader.h"
#include "kov.h"

static const char msg_usage[] = "Usage: %s dbname < kovdump_output\n";
static const char msg_failed_open[] = "Failed to open %s\n";
static const char msg_kov_error[] = "KOV error: %s\n";
static const char msg_error_closing[] = "Error closing kov\n";
static const char msg_eof[] = "EOF\n";

// Occupies any closed standard descriptor with /dev/null opened so that
// using it fails as on a closed descriptor (EBADF).  Without this the
// database file could be given descriptor 0 and read back as the dump.
static void reserve_standard_descriptors(void)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
            if (null_fd >= 0 && null_fd != fd) {
                dup2(null_fd, fd);
                close(null_fd);
            }
        }
    }
}

int main(int argc, char *argv[])
{
    if (argc <= 1) {
        const char *prog = argc > 0 && argv[0] && argv[0][0] ? argv[0] : "kovrestore";
        printf(msg_usage, prog);
        return 1;
    }
    const char *name = argv[1];
    reserve_standard_descriptors();

    kov_handle db = kov_open(name, 0, 0, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (!db) {
        perror("kov_open");
        fprintf(stderr, msg_failed_open, name);
        return 1;
    }

    datum key, value;
    int at_end;
    for (;;) {
        at_end = 0;
        key.data = nullptr;
        value.data = nullptr;
        if (expect_line(stdin, "{\n", &at_end) ||
            read_data(stdin, &key, read_field_length(stdin)) ||
            expect_line(stdin, "\"\n", nullptr) ||
            read_data(stdin, &value, read_field_length(stdin)) ||
            expect_line(stdin, "\"\n", nullptr) ||
            expect_line(stdin, "}\n", nullptr))
            break;
        if (kov_store(db, key, value, KOV_INSERT) == -1) {
            fprintf(stderr, msg_kov_error, kov_errorstr(db));
            break;
        }
        free(key.data);
        free(value.data);
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
    if (kov_close(db) != 0) {
        fprintf(stderr, msg_kov_error, kov_errorstr(nullptr));
        fputs(msg_error_closing, stderr);
        return 1;
    }
    fputs(msg_eof, stderr);
    return 0;
}
