// SPDX-License-Identifier: MIT
// kovcheck: checks a kov text dump without restoring it.
//
//   kovcheck < DUMP
//
// Reads the dump with the restore's own reader, record by record in the
// order kovrestore reads it, and writes nothing but its verdict: the number
// of records on standard output and status 0 when kovrestore would restore
// the whole dump, or the first fault on standard error, with its line,
// record, field and reason, and status 1.  Status 2 means that the dump
// could not be checked (a read error, no memory, no temporary space).
//
// Besides the format, a record is refused where kovrestore's store refuses
// it: a key stored before, found with the library's bounded sorter (whose
// runs go to nameless files under $TMPDIR), and a record beyond SQLite's
// length limit.
//
// Invariants:
//  - The reader's stream (a cookie stream over standard input) holds in its
//    buffer the chunk the source read last, and nothing else: so a
//    position in the input is the chunk's start plus what the reader has
//    consumed of it, and every byte passes the line count once.
//  - Lines are counted from 1; a line feed ends the line it is on.

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <sqlite3.h>

#include "dump_reader.h"
#include "kov.h"
#include "progress.h"
#include "sorter.h"
#include "tuning.h"
#include "tool_options.h"

static const char msg_usage[] = "Usage: %s < kovdump_output\n";
static const char msg_help[] =
    "Checks the kov text dump read on standard input without restoring it.\n"
    "Prints the number of records when kovrestore would restore the whole\n"
    "dump (status 0); otherwise names the line, record, field and reason of\n"
    "the first fault (status 1).  Status 2: the dump could not be checked.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n";
static const char msg_prefix[] = "kovcheck: ";
static const char msg_records[] = "%llu records\n";
static const char msg_one_record[] = "1 record\n";
static const char msg_read_error[] = "kovcheck: standard input: %s\n";
static const char msg_crlf[] = "carriage return before the line end (CRLF dump?)";
static const char msg_cut_line[] = "the input ends inside this line, before its line feed";

enum { status_good = 0, status_fault = 1, status_trouble = 2 };

namespace {

// Standard input as the reader's stream sees it.  Every refill of the
// stream's buffer comes through source_read, which counts the line feeds of
// the chunk it replaces.
struct source {
    FILE *from = nullptr;         // standard input
    int read_errno = 0;           // errno of the first failed read, 0 if none
    const char *chunk = nullptr;  // the bytes read last, in the stream's buffer
    size_t size = 0;              // their number
    size_t mark = 0;              // bytes of chunk whose line feeds are counted
    uint64_t mark_lines = 0;      // line feeds of the input before chunk + mark
    int last_before = -1;         // the byte before chunk, -1 at the start
};

ssize_t source_read(void *cookie, char *buf, size_t size)
{
    source *s = static_cast<source *>(cookie);
    s->mark_lines +=
        static_cast<uint64_t>(std::count(s->chunk + s->mark, s->chunk + s->size, '\n'));
    if (s->size)
        s->last_before = static_cast<unsigned char>(s->chunk[s->size - 1]);
    s->chunk = buf;
    s->size = 0;
    s->mark = 0;
    size_t n = fread(buf, 1, size, s->from);
    if (ferror(s->from) && !s->read_errno)
        s->read_errno = errno ? errno : EIO;
    if (n == 0 && ferror(s->from)) {
        errno = s->read_errno;
        return -1;
    }
    s->size = n;
    return static_cast<ssize_t>(n);
}

// Where the checker stands in the dump.
struct checker {
    source src;
    FILE *in = nullptr;              // the reader's stream over src
    unsigned long long records = 0;  // records read whole and accepted
    size_t limit = 0;                // SQLite's length limit, as the store checks it
};

// The bytes of the current chunk the reader has consumed, their line feeds
// counted.
size_t consumed(checker &c)
{
    source &s = c.src;
    size_t unread = dump_reader_unread(c.in);
    assert(unread <= s.size);
    size_t at = s.size - unread;
    assert(at >= s.mark);
    s.mark_lines += static_cast<uint64_t>(std::count(s.chunk + s.mark, s.chunk + at, '\n'));
    s.mark = at;
    return at;
}

// The line of the next byte the reader will read.
unsigned long long next_line(checker &c)
{
    consumed(c);
    return c.src.mark_lines + 1;
}

// The line of the last byte the reader consumed (which failed it).
unsigned long long last_line(checker &c)
{
    size_t at = consumed(c);
    int last = at ? static_cast<unsigned char>(c.src.chunk[at - 1]) : c.src.last_before;
    return c.src.mark_lines + (last == '\n' ? 0 : 1);
}

// Prints "kovcheck: line N (context): reason"; returns status_fault.
__attribute__((format(printf, 3, 4))) int fault(unsigned long long line, const std::string &context,
                                                const char *reason, ...)
{
    progress_stop();
    fprintf(stderr, "%sline %llu%s: ", msg_prefix, line, context.c_str());
    va_list ap;
    va_start(ap, reason);
    vfprintf(stderr, reason, ap);
    va_end(ap);
    fputc('\n', stderr);
    return status_fault;
}

int read_error(checker &c)
{
    progress_stop();
    fprintf(stderr, msg_read_error, strerror(c.src.read_errno ? c.src.read_errno : EIO));
    return status_trouble;
}

std::string context(unsigned long long record, const char *field)
{
    std::string s = " (record " + std::to_string(record);
    if (field)
        s += std::string(", ") + field;
    return s + ")";
}

// Explains a line that is not the expected one: line is the line read, as
// the reader left it.  A blank line is told apart at the end of the input,
// where it is the usual slip of an editor.
int wrong_line(checker &c, unsigned long long line, const std::string &where, const char *expected)
{
    const char *got = dump_reader_fault()->line;
    size_t len = strlen(got);
    size_t want = strlen(expected);
    bool partial = len < sizeof dump_reader_fault()->line - 1 && (len == 0 || got[len - 1] != '\n');
    if (len == want + 1 && memcmp(got, expected, want - 1) == 0 && got[want - 1] == '\r' &&
        got[want] == '\n')
        return fault(line, where, "%s", msg_crlf);
    if (strcmp(got, "\n") == 0 && getc(c.in) == EOF && !ferror(c.in))
        return fault(line, where, "blank line after the last record");
    if (partial && feof(c.in))
        return fault(line, where, "%s", msg_cut_line);
    return fault(line, where, "expected \"%.*s\"", static_cast<int>(want - 1), expected);
}

// Reads one field into d as kovrestore reads it: the header, the body and
// the line of the closing quote.  Returns 0, or the status after naming
// the fault.
int read_field(checker &c, datum *d, const char *field)
{
    unsigned long long record = c.records + 1;
    std::string where = context(record, field);
    unsigned long long start = next_line(c);
    int count = read_field_length(c.in);
    if (count == -1) {
        if (ferror(c.in))
            return read_error(c);
        switch (dump_reader_fault()->kind) {
        case DUMP_FAULT_EOF_BEFORE_PAREN:
            return fault(start, where, "the input ends before the field's \"(\"");
        case DUMP_FAULT_EOF_IN_HEADER:
            return fault(last_line(c), where, "the input ends before the body's opening quote");
        case DUMP_FAULT_LONG_HEADER:
            return fault(start, where, "no opening quote within 127 characters after \"(\"");
        case DUMP_FAULT_NEGATIVE_COUNT: return fault(last_line(c), where, "negative count -1");
        default:
            assert(dump_reader_fault()->kind == DUMP_FAULT_BAD_COUNT);
            return fault(last_line(c), where, "count is not a number from 0 to %d", INT_MAX);
        }
    }
    if (read_data(c.in, d, count)) {
        if (ferror(c.in))
            return read_error(c);
        const dump_fault *f = dump_reader_fault();
        switch (f->kind) {
        case DUMP_FAULT_NEGATIVE_COUNT:
            return fault(last_line(c), where, "negative count %d", count);
        case DUMP_FAULT_NO_MEMORY:
            fault(last_line(c), where, "no memory for a body of %d bytes", count);
            return status_trouble;
        case DUMP_FAULT_EOF_IN_BODY:
            return fault(last_line(c), where,
                         "the input ends inside the body, after %zu of its %d bytes", f->done,
                         count);
        case DUMP_FAULT_EOF_IN_ESCAPE:
            return fault(last_line(c), where, "the input ends inside an escape");
        case DUMP_FAULT_QUOTE_IN_ESCAPE:
            return fault(last_line(c), where,
                         "a quote inside an escape (\"\\\" takes two hexadecimal digits)");
        case DUMP_FAULT_BAD_HEX:
            if (f->byte > ' ' && f->byte < 127)
                return fault(last_line(c), where, "bad escape: '%c' is not a hexadecimal digit",
                             f->byte);
            return fault(last_line(c), where, "bad escape: byte \\%02X is not a hexadecimal digit",
                         f->byte);
        default:
            assert(f->kind == DUMP_FAULT_SHORT_BODY);
            return fault(last_line(c), where,
                         "body shorter than its count %d (a quote after %zu bytes)", count,
                         f->done);
        }
    }
    unsigned long long end = next_line(c);
    if (expect_line(c.in, "\"\n", nullptr)) {
        if (ferror(c.in))
            return read_error(c);
        if (dump_reader_fault()->kind == DUMP_FAULT_NO_LINE)
            return fault(end, where, "the input ends after the body, before its closing quote");
        const char *got = dump_reader_fault()->line;
        if (got[0] == '\n')
            return fault(end, where,
                         "a line feed where the closing quote should follow the body (count %d)",
                         count);
        if (got[0] != '"')
            return fault(end, where, "body longer than its count %d", count);
        if (strcmp(got, "\"\r\n") == 0)
            return fault(end, where, "%s", msg_crlf);
        if (feof(c.in) && !strchr(got, '\n'))
            return fault(end, where, "%s", msg_cut_line);
        return fault(end, where, "text after the closing quote");
    }
    return 0;
}

// What the duplicate check keeps of each record: its number and the line
// of its "{".
struct first_seen {
    uint64_t record;
    uint64_t line;
};

// Finds the record that first stored key: a merge of everything the sorter
// holds, run once, for the message.  Returns false when it cannot be read.
bool find_first(kov_sorter &keys, const datum &key, first_seen *seen, std::string *error)
{
    if (keys.merge_begin(true, error))
        return false;
    const unsigned char *k, *v;
    size_t ks, vs;
    uint64_t consumed;
    int rc;
    while ((rc = keys.merge_next(&k, &ks, &v, &vs, &consumed, error)) == 1) {
        if (ks == key.size && (ks == 0 || memcmp(k, key.data, ks) == 0)) {
            assert(vs == sizeof *seen);
            memcpy(seen, v, sizeof *seen);
            return true;
        }
    }
    if (rc == 0)
        *error = "the key held twice is not in the merge";
    return false;
}

// Refuses the record as kovrestore's store would: beyond the length limit
// or with a key stored before.  Returns 0, or the status after naming it.
int check_store(checker &c, kov_sorter &keys, const datum &key, const datum &value,
                unsigned long long line)
{
    unsigned long long record = c.records + 1;
    if (kov_lib::record_too_long(key.size, value.size, c.limit))
        return fault(line, context(record, nullptr),
                     "record too large for the database (key %zu bytes, value %zu bytes)", key.size,
                     value.size);
    first_seen seen = {record, line};
    std::string error;
    int rc = keys.add(key.data, key.size, reinterpret_cast<const unsigned char *>(&seen),
                      sizeof seen, true, &error);
    if (rc == 1 && find_first(keys, key, &seen, &error))
        return fault(line, context(record, nullptr),
                     "key stored twice, first by record %llu at line %llu",
                     static_cast<unsigned long long>(seen.record),
                     static_cast<unsigned long long>(seen.line));
    if (rc != 0) {
        progress_stop();
        fprintf(stderr, "%s%s\n", msg_prefix, error.c_str());
        return status_trouble;
    }
    return 0;
}

// Reads the dump to its end or its first fault.  Returns the status.
int check(checker &c, kov_sorter &keys)
{
    datum key, value;
    for (;;) {
        key.data = nullptr;
        value.data = nullptr;
        unsigned long long line = next_line(c);
        int at_end = 0;
        if (expect_line(c.in, "{\n", &at_end)) {
            if (at_end)
                return status_good;
            if (ferror(c.in))
                return read_error(c);
            return wrong_line(c, line, "", "{\n");
        }
        int status = read_field(c, &key, "key");
        if (!status)
            status = read_field(c, &value, "value");
        if (!status) {
            unsigned long long close = next_line(c);
            if (expect_line(c.in, "}\n", nullptr)) {
                if (ferror(c.in))
                    status = read_error(c);
                else if (dump_reader_fault()->kind == DUMP_FAULT_NO_LINE)
                    status = fault(close, context(c.records + 1, nullptr),
                                   "the input ends before the record's \"}\"");
                else
                    status = wrong_line(c, close, context(c.records + 1, nullptr), "}\n");
            }
        }
        if (!status)
            status = check_store(c, keys, key, value, line);
        free(key.data);
        free(value.data);
        if (status)
            return status;
        c.records++;
        progress_record();
    }
}

// SQLite's length limit, which the store applies to each record.
size_t length_limit()
{
    sqlite3 *db = nullptr;
    int limit = 1000000000;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr) ==
        SQLITE_OK)
        limit = sqlite3_limit(db, SQLITE_LIMIT_LENGTH, -1);
    sqlite3_close(db);
    return static_cast<size_t>(limit);
}

}  // namespace

int main(int argc, char *argv[])
{
    const char *prog = argc > 0 && argv[0] && argv[0][0] ? argv[0] : "kovcheck";
    if (argc > 1) {
        int info = tool_info_option(argv[1], "kovcheck", prog, msg_usage, msg_help);
        if (info >= 0)
            return info;
        bool help = strcmp(argv[1], "-h") == 0;
        fprintf(help ? stdout : stderr, msg_usage, prog);
        return help ? status_good : status_trouble;
    }
    reserve_standard_descriptors();

    std::string error;
    size_t cap;
    if (!kov_sorter_cap(&cap, &error)) {
        fprintf(stderr, "%s%s\n", msg_prefix, error.c_str());
        return status_trouble;
    }
    const char *tmp = getenv("TMPDIR");
    if (!tmp || !*tmp)
        tmp = "/tmp";
    int dir = open(tmp, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        fprintf(stderr, "%s%s: %s\n", msg_prefix, tmp, strerror(errno));
        return status_trouble;
    }

    checker c;
    c.limit = length_limit();
    c.src.from = stdin;
    cookie_io_functions_t io = {source_read, nullptr, nullptr, nullptr};
    c.in = fopencookie(&c.src, "r", io);
    if (!c.in) {
        fprintf(stderr, "%s%s\n", msg_prefix, strerror(errno));
        close(dir);
        return status_trouble;
    }
    // A large buffer, as kovrestore's; where the reader cannot see into it,
    // none at all, so that every byte read is a byte consumed.
    static char buffer[256 << 10];
#if defined(__GLIBC__)
    setvbuf(c.in, buffer, _IOFBF, sizeof buffer);
#else
    setvbuf(c.in, nullptr, _IONBF, 0);
#endif
    dump_reader_quiet(1);
    // The meter counts the bytes of standard input, which source_read
    // reads just ahead of the reader.
    progress_start("kovcheck", stdin);

    int status;
    {
        kov_sorter keys(dir, cap);
        status = check(c, keys);
    }
    progress_stop();
    fclose(c.in);
    close(dir);
    if (status == status_good) {
        if (c.records == 1)
            fputs(msg_one_record, stdout);
        else
            printf(msg_records, c.records);
        if (fflush(stdout) != 0 || ferror(stdout)) {
            fprintf(stderr, "%sstandard output: %s\n", msg_prefix, strerror(errno));
            return status_trouble;
        }
    }
    return status;
}
