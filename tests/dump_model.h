/* SPDX-License-Identifier: MIT */
// The dump format written a second time, plainly, for the checks that
// compare the product against it: the canonical encoder, a byte-wise model
// of the reader, an in-memory stream to run the real reader on, a capture of
// standard error, and a read-back of a kov file through SQLite.  No
// GoogleTest here: the unit tests, the fuzz targets and the benchmark all
// include it.
#ifndef KOV_TESTS_DUMP_MODEL_H
#define KOV_TESTS_DUMP_MODEL_H

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <sqlite3.h>

namespace kovtest {

using record = std::pair<std::string, std::string>;

// A field body: bytes 0x20-0x7E other than '"' and '\' as themselves, every
// other byte as \XX with upper-case digits.
inline std::string canonical_body(const std::string &bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c <= 0x7E && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += '\\';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// One record in the canonical four-line form.
inline std::string canonical_record(const std::string &key, const std::string &value)
{
    return "{\nkey(" + std::to_string(key.size()) + ") = \"" + canonical_body(key) + "\"\nvalue(" +
           std::to_string(value.size()) + ") = \"" + canonical_body(value) + "\"\n}\n";
}

// The value of a hexadecimal digit, -1 for any other character.
inline int hex_digit(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The reader as the format's grammar reads it: one getc per character, no
// look into buffers, the messages collected instead of printed.  A body
// that ends at a quote before its count is refused, and so is a count
// beyond a signed 32-bit integer.
struct reader_model {
    FILE *in;
    std::string messages;

    explicit reader_model(FILE *f) : in(f) {}

    // fgets into a 128-byte buffer, then a string comparison (which stops
    // at a NUL in the line, as strcmp does).
    int expect_line(const char *expected, int *at_end)
    {
        std::string line;
        int c;
        while (line.size() < 127 && (c = getc(in)) != EOF) {
            line += static_cast<char>(c);
            if (c == '\n')
                break;
        }
        if (line.empty()) {
            if (at_end && !ferror(in))
                *at_end = 1;
            return -1;
        }
        return strcmp(line.c_str(), expected) == 0 ? 0 : -1;
    }

    int read_field_length()
    {
        int c;
        do {
            if ((c = getc(in)) == EOF)
                return -1;
        } while (c != '(');
        std::string header;
        for (;;) {
            if (header.size() == 128 || (c = getc(in)) == EOF)
                return -1;
            if (c == '"')
                break;
            header += static_cast<char>(c);
        }
        // "%d": white space, an optional sign, at least one digit.  The
        // header ends at a NUL byte.
        const char *s = header.c_str();
        while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
            s++;
        bool negative = *s == '-';
        if (*s == '-' || *s == '+')
            s++;
        if (*s < '0' || *s > '9')
            return -1;
        long long value = 0;
        for (; *s >= '0' && *s <= '9'; s++) {
            value = value * 10 + (*s - '0');
            if (value > static_cast<long long>(INT_MAX) + 1)
                return -1;
        }
        if (negative)
            value = -value;
        if (value < INT_MIN || value > INT_MAX)
            return -1;
        return static_cast<int>(value);
    }

    int nibble()
    {
        int c = getc(in);
        if (c == EOF) {
            messages += "Unexpected EOF in data\n";
            return -1;
        }
        if (c == '"') {
            messages += "Unexpected \\\" sequence\n";
            return -1;
        }
        int value = hex_digit(c);
        if (value < 0) {
            messages += "Invalid hex: ";
            messages += static_cast<char>(c);
            messages += '\n';
        }
        return value;
    }

    int read_data(int count, std::string *out)
    {
        out->clear();
        if (count < 0)
            return -1;
        for (int i = 0; i < count; i++) {
            int c = getc(in);
            if (c == EOF) {
                messages += "Unexpected EOF in data\n";
                return -1;
            }
            if (c == '"')
                return -1;
            if (c == '\\') {
                int high = nibble();
                if (high < 0)
                    return -1;
                int low = nibble();
                if (low < 0)
                    return -1;
                c = high * 16 + low;
            }
            *out += static_cast<char>(c);
        }
        return 0;
    }

    int read_record(std::string *key, std::string *value, int *at_end)
    {
        *at_end = 0;
        if (expect_line("{\n", at_end) || read_data(read_field_length(), key) ||
            expect_line("\"\n", nullptr) || read_data(read_field_length(), value) ||
            expect_line("\"\n", nullptr) || expect_line("}\n", nullptr))
            return -1;
        return 0;
    }
};

// A read-only stream over a copy of text.  With a buffer_size the stream's
// buffer holds that many bytes, so that reads cross buffer boundaries where
// a check wants them; 0 keeps the C library's buffer.
class text_stream {
  public:
    explicit text_stream(std::string text, size_t buffer_size = 0)
        : text_(std::move(text)), buffer_(buffer_size)
    {
        // fmemopen wants at least one byte; /dev/null is an empty stream.
        f_ = text_.empty() ? fopen("/dev/null", "r") : fmemopen(text_.data(), text_.size(), "r");
        if (!f_)
            throw std::runtime_error("text_stream");
        if (buffer_size)
            setvbuf(f_, buffer_.data(), _IOFBF, buffer_.size());
    }
    ~text_stream() { fclose(f_); }
    text_stream(const text_stream &) = delete;
    text_stream &operator=(const text_stream &) = delete;
    FILE *get() { return f_; }
    // Everything not read yet, read now.
    std::string rest()
    {
        std::string out;
        int c;
        while ((c = getc(f_)) != EOF)
            out += static_cast<char>(c);
        return out;
    }

  private:
    std::string text_;
    std::vector<char> buffer_;
    FILE *f_;
};

// Runs fn with descriptor 2 sent to an in-memory file (a fuzz target runs
// this for every input, so it must not touch a disk); returns what was
// written to standard error meanwhile.
inline std::string capture_stderr(const std::function<void()> &fn)
{
    fflush(stderr);
    int sink = memfd_create("stderr", MFD_CLOEXEC);
    if (sink < 0)
        throw std::runtime_error("memfd_create");
    int saved = dup(2);
    dup2(sink, 2);
    fn();
    fflush(stderr);
    if (saved >= 0) {
        dup2(saved, 2);
        close(saved);
    } else {
        close(2);
    }
    std::string out;
    char buf[4096];
    ssize_t n;
    for (off_t at = 0; (n = pread(sink, buf, sizeof buf, at)) > 0; at += n)
        out.append(buf, static_cast<size_t>(n));
    close(sink);
    return out;
}

// Every row of the kov file at path into *rows, in ascending key order.
// Returns the empty string, or what is wrong: the file does not open, fails
// SQLite's integrity check, has no kov table, or holds a key or value that
// is not a BLOB.
inline std::string read_rows(const std::string &path, std::vector<record> *rows)
{
    rows->clear();
    sqlite3 *db = nullptr;
    std::string err;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        err = "cannot open " + path + ": " + sqlite3_errmsg(db);
    } else if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) != SQLITE_OK ||
               sqlite3_step(st) != SQLITE_ROW) {
        err = std::string("integrity_check: ") + sqlite3_errmsg(db);
    } else if (strcmp(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)), "ok") != 0) {
        err = std::string("integrity_check: ") +
              reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
    st = nullptr;
    if (err.empty() &&
        sqlite3_prepare_v2(db,
                           "SELECT key, value, typeof(key) || typeof(value) FROM kov ORDER BY key",
                           -1, &st, nullptr) != SQLITE_OK)
        err = "no kov table in " + path + ": " + sqlite3_errmsg(db);
    while (err.empty() && sqlite3_step(st) == SQLITE_ROW) {
        if (strcmp(reinterpret_cast<const char *>(sqlite3_column_text(st, 2)), "blobblob") != 0) {
            err = "a key or value that is not a BLOB in " + path;
            break;
        }
        auto column = [st](int i) {
            const char *p = static_cast<const char *>(sqlite3_column_blob(st, i));
            return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, i)));
        };
        rows->emplace_back(column(0), column(1));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return err;
}

}  // namespace kovtest

#endif
