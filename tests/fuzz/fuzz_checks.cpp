// Differential checks of the dump reader and the record loop (see
// fuzz_checks.h).  The model below reads the dump one byte at a time exactly
// as the format's grammar reads, with no buffering tricks, so any fast path
// in the real reader that decodes, consumes or reports differently shows up
// as a mismatch.

#include "fuzz_checks.h"

#include "dump_text.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <set>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include "dump_reader.h"
#include "kov.h"

namespace kovfuzz {
namespace {

const char msg_eof_in_data[] = "Unexpected EOF in data\n";
const char msg_quote_in_escape[] = "Unexpected \\\" sequence\n";

// The dump text read byte by byte, with the messages a correct reader
// prints along the way.
struct model {
    const uint8_t *p;
    size_t n;
    size_t pos = 0;
    std::string messages;

    int get() { return pos < n ? p[pos++] : EOF; }
};

// fgets into a 128-byte buffer, then a string comparison.
int model_expect_line(model &m, const char *expected, bool *at_end)
{
    std::string line;
    while (line.size() < 127) {
        int c = m.get();
        if (c == EOF)
            break;
        line += static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (line.empty()) {
        if (at_end)
            *at_end = true;
        return -1;
    }
    // The comparison stops at a NUL in the line, as strcmp does.
    return strcmp(line.c_str(), expected) == 0 ? 0 : -1;
}

int model_read_field_length(model &m)
{
    int c;
    do {
        c = m.get();
        if (c == EOF)
            return -1;
    } while (c != '(');
    std::string header;
    for (;;) {
        if (header.size() == 128)
            return -1;
        c = m.get();
        if (c == EOF)
            return -1;
        if (c == '"')
            break;
        header += static_cast<char>(c);
    }
    // "%d": white space, an optional sign, at least one digit; the number
    // must fit a signed 32-bit integer.  The header ends at a NUL byte.
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

int model_nibble(model &m)
{
    int c = m.get();
    if (c == EOF) {
        m.messages += msg_eof_in_data;
        return -1;
    }
    if (c == '"') {
        m.messages += msg_quote_in_escape;
        return -1;
    }
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    m.messages += "Invalid hex: ";
    m.messages += static_cast<char>(c);
    m.messages += '\n';
    return -1;
}

int model_read_data(model &m, int count, std::string *out)
{
    out->clear();
    if (count < 0)
        return -1;
    for (int i = 0; i < count; i++) {
        int c = m.get();
        if (c == EOF) {
            m.messages += msg_eof_in_data;
            return -1;
        }
        if (c == '"')
            return -1;  // a body shorter than its count is refused
        if (c == '\\') {
            int high = model_nibble(m);
            if (high < 0)
                return -1;
            int low = model_nibble(m);
            if (low < 0)
                return -1;
            c = high * 16 + low;
        }
        *out += static_cast<char>(c);
    }
    return 0;
}

// Sends everything written to stderr into memory for the lifetime of the
// object, so that the reader's messages can be compared with the model's.
class stderr_capture {
  public:
    stderr_capture()
    {
        saved_ = stderr;
        sink_ = open_memstream(&buf_, &len_);
        if (sink_)
            stderr = sink_;
    }
    ~stderr_capture()
    {
        finish();
        free(buf_);
    }
    // Restores stderr and returns what was written.
    std::string finish()
    {
        if (sink_) {
            fclose(sink_);
            sink_ = nullptr;
            stderr = saved_;
            text_.assign(buf_ ? buf_ : "", len_);
        }
        return text_;
    }

  private:
    FILE *saved_;
    FILE *sink_;
    char *buf_ = nullptr;
    size_t len_ = 0;
    std::string text_;
};

// Bytes shown in a failure report, escaped as in a dump body.
std::string printable(const std::string &bytes)
{
    return kovtest::canonical_body(bytes);
}

using kovtest::canonical_record;

// An in-memory read stream over a copy of the bytes, optionally with a
// stream buffer of a chosen size (0: the C library's default).
class mem_stream {
  public:
    mem_stream(const void *data, size_t size, size_t buffer_size)
        : bytes_(static_cast<const char *>(data), static_cast<const char *>(data) + size)
    {
        bytes_.push_back('\0');  // fmemopen wants a buffer even for no bytes
        f_ = fmemopen(bytes_.data(), size, "r");
        if (f_ && buffer_size) {
            vbuf_.resize(buffer_size);
            setvbuf(f_, vbuf_.data(), _IOFBF, buffer_size);
        }
    }
    ~mem_stream()
    {
        if (f_)
            fclose(f_);
    }
    mem_stream(const mem_stream &) = delete;
    mem_stream &operator=(const mem_stream &) = delete;
    FILE *get() const { return f_; }

  private:
    std::vector<char> bytes_;
    std::vector<char> vbuf_;
    FILE *f_ = nullptr;
};

// Reads one canonical record back with the real primitives; returns the
// first difference from key and value, or "".
std::string reread_record(const std::string &key, const std::string &value, size_t buffer_size)
{
    std::string text = canonical_record(key, value);
    mem_stream s(text.data(), text.size(), buffer_size);
    FILE *f = s.get();
    if (!f)
        return "fmemopen failed";
    datum k = {nullptr, 0}, v = {nullptr, 0};
    int at_end = 0;
    std::string err;
    if (expect_line(f, "{\n", &at_end) != 0)
        err = "canonical record: opening line refused";
    else if (read_data(f, &k, read_field_length(f)) != 0)
        err = "canonical record: key refused";
    else if (expect_line(f, "\"\n", nullptr) != 0)
        err = "canonical record: key's closing quote refused";
    else if (read_data(f, &v, read_field_length(f)) != 0)
        err = "canonical record: value refused";
    else if (expect_line(f, "\"\n", nullptr) != 0)
        err = "canonical record: value's closing quote refused";
    else if (expect_line(f, "}\n", nullptr) != 0)
        err = "canonical record: closing line refused";
    else if (std::string(reinterpret_cast<char *>(k.data), k.size) != key)
        err = "canonical record: key reads back different";
    else if (std::string(reinterpret_cast<char *>(v.data), v.size) != value)
        err = "canonical record: value reads back different";
    else if (getc(f) != EOF)
        err = "canonical record: bytes left after the record";
    free(k.data);
    free(v.data);
    if (!err.empty())
        err += " (key \"" + printable(key) + "\", value \"" + printable(value) + "\")";
    return err;
}

const size_t buffer_sizes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 13, 16, 31, 64, 127, 128, 129, 4096};

std::string where(const char *step, long real_pos, size_t model_pos)
{
    return std::string(step) + " at model offset " + std::to_string(model_pos) +
           " (stream at " + std::to_string(real_pos) + ")";
}

}  // namespace

std::string check_reader(const uint8_t *data, size_t size)
{
    size_t buffer_size = buffer_sizes[size % (sizeof buffer_sizes / sizeof buffer_sizes[0])];
    const uint8_t *text = data;
    size_t n = size;
    mem_stream s(text, n, buffer_size);
    FILE *f = s.get();
    if (!f)
        return "fmemopen failed";
    model m{text, n, 0, {}};
    std::string err;
    std::vector<std::string> fields;

    stderr_capture capture;
    auto same_line = [&](const char *expected, bool want_flag, const char *step) {
        int at_end = 0;
        bool model_at_end = false;
        int rc = expect_line(f, expected, want_flag ? &at_end : nullptr);
        int model_rc = model_expect_line(m, expected, want_flag ? &model_at_end : nullptr);
        if (rc != model_rc)
            err = where(step, ftell(f), m.pos) + ": expect_line returned " +
                  std::to_string(rc) + ", model " + std::to_string(model_rc);
        else if ((at_end != 0) != model_at_end)
            err = where(step, ftell(f), m.pos) + ": at_end " + std::to_string(at_end);
        else if (ftell(f) != static_cast<long>(m.pos))
            err = where(step, ftell(f), m.pos) + ": expect_line consumed a different amount";
        return err.empty() && rc == 0;
    };
    auto same_field = [&](const char *step) {
        int count = read_field_length(f);
        int model_count = model_read_field_length(m);
        if (count != model_count) {
            err = where(step, ftell(f), m.pos) + ": read_field_length returned " +
                  std::to_string(count) + ", model " + std::to_string(model_count);
            return false;
        }
        if (ftell(f) != static_cast<long>(m.pos)) {
            err = where(step, ftell(f), m.pos) + ": read_field_length consumed a different amount";
            return false;
        }
        datum d = {nullptr, 12345};
        std::string model_bytes;
        int rc = read_data(f, &d, count);
        int model_rc = model_read_data(m, model_count, &model_bytes);
        if (rc != model_rc) {
            err = where(step, ftell(f), m.pos) + ": read_data returned " + std::to_string(rc) +
                  ", model " + std::to_string(model_rc);
        } else if (ftell(f) != static_cast<long>(m.pos)) {
            err = where(step, ftell(f), m.pos) + ": read_data consumed a different amount";
        } else if (rc == 0) {
            if (!d.data || d.size != static_cast<size_t>(count))
                err = where(step, ftell(f), m.pos) + ": accepted field of " +
                      std::to_string(d.size) + " bytes declared " + std::to_string(count);
            else if (std::string(reinterpret_cast<char *>(d.data), d.size) != model_bytes)
                err = where(step, ftell(f), m.pos) + ": decoded \"" +
                      printable(std::string(reinterpret_cast<char *>(d.data), d.size)) +
                      "\", model \"" + printable(model_bytes) + "\"";
            else
                fields.push_back(model_bytes);
        }
        free(d.data);
        return err.empty() && rc == 0;
    };

    for (;;) {
        if (!same_line("{\n", true, "opening line") ||
            !same_field("key") || !same_line("\"\n", false, "key's closing quote") ||
            !same_field("value") || !same_line("\"\n", false, "value's closing quote") ||
            !same_line("}\n", false, "closing line"))
            break;
    }
    std::string messages = capture.finish();
    if (err.empty() && messages != m.messages)
        err = "messages \"" + printable(messages) + "\", model \"" + printable(m.messages) + "\"";
    for (size_t i = 0; err.empty() && i + 1 < fields.size(); i += 2)
        err = reread_record(fields[i], fields[i + 1], buffer_size);
    if (err.empty() && fields.size() % 2)
        err = reread_record(fields.back(), "", buffer_size);
    return err;
}

std::string check_restore(const uint8_t *data, size_t size, const std::string &db_path)
{
    unlink(db_path.c_str());
    kov_handle db = kov_open(db_path.c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (!db)
        return "kov_open " + db_path + ": " + kov_errorstr(nullptr);

    // The model's run: records up to the first failure, where a key seen
    // before fails the insert.
    model m{data, size, 0, {}};
    std::vector<std::pair<std::string, std::string>> model_stored;
    std::set<std::string> model_keys;
    bool model_at_end = false;
    for (;;) {
        std::string key, value;
        if (model_expect_line(m, "{\n", &model_at_end) ||
            model_read_data(m, model_read_field_length(m), &key) ||
            model_expect_line(m, "\"\n", nullptr) ||
            model_read_data(m, model_read_field_length(m), &value) ||
            model_expect_line(m, "\"\n", nullptr) || model_expect_line(m, "}\n", nullptr))
            break;
        if (!model_keys.insert(key).second) {
            m.messages += "KOV error: Record exists\n";
            break;
        }
        model_stored.emplace_back(std::move(key), std::move(value));
    }

    // The restore tool's loop, on the real primitives and the real library.
    std::string err;
    mem_stream s(data, size, 0);
    FILE *in = s.get();
    if (!in) {
        kov_close(db);
        unlink(db_path.c_str());
        return "fmemopen failed";
    }
    stderr_capture capture;
    datum key, value;
    int at_end;
    size_t stored = 0;
    for (;;) {
        at_end = 0;
        key.data = nullptr;
        value.data = nullptr;
        if (expect_line(in, "{\n", &at_end) ||
            read_data(in, &key, read_field_length(in)) ||
            expect_line(in, "\"\n", nullptr) ||
            read_data(in, &value, read_field_length(in)) ||
            expect_line(in, "\"\n", nullptr) ||
            expect_line(in, "}\n", nullptr))
            break;
        if (kov_store(db, key, value, KOV_INSERT) == -1) {
            fprintf(stderr, "KOV error: %s\n", kov_errorstr(db));
            break;
        }
        stored++;
        free(key.data);
        free(value.data);
    }
    free(key.data);
    free(value.data);
    std::string messages = capture.finish();

    if ((at_end != 0) != model_at_end)
        err = std::string("the loop ended ") + (at_end ? "cleanly" : "on a failure") +
              ", the model's " + (model_at_end ? "cleanly" : "on a failure");
    else if (stored != model_stored.size())
        err = std::to_string(stored) + " records stored, the model " +
              std::to_string(model_stored.size());
    else if (messages != m.messages)
        err = "messages \"" + printable(messages) + "\", model \"" + printable(m.messages) + "\"";
    // kovrestore abandons the handle after a failure and its exit commits
    // it; here the close does the same work.
    if (kov_close(db) != 0 && err.empty())
        err = "kov_close failed";

    // What the file holds, read by SQLite itself.
    sqlite3 *sq = nullptr;
    if (err.empty() && sqlite3_open_v2(db_path.c_str(), &sq, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        err = std::string("sqlite3_open: ") + sqlite3_errmsg(sq);
    if (err.empty()) {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(sq, "PRAGMA integrity_check", -1, &st, nullptr);
        if (sqlite3_step(st) != SQLITE_ROW ||
            strcmp(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)), "ok") != 0)
            err = "integrity_check failed";
        sqlite3_finalize(st);
    }
    std::map<std::string, std::string> rows;
    if (err.empty()) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(sq, "SELECT key, value, typeof(key) || typeof(value) FROM kov", -1,
                               &st, nullptr) != SQLITE_OK)
            err = std::string("no kov table: ") + sqlite3_errmsg(sq);
        while (err.empty() && sqlite3_step(st) == SQLITE_ROW) {
            if (strcmp(reinterpret_cast<const char *>(sqlite3_column_text(st, 2)), "blobblob") != 0) {
                err = "a key or value that is not a BLOB";
                break;
            }
            auto column = [st](int i) {
                const char *p = static_cast<const char *>(sqlite3_column_blob(st, i));
                return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, i)));
            };
            rows.emplace(column(0), column(1));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(sq);
    unlink(db_path.c_str());

    if (err.empty()) {
        std::map<std::string, std::string> expected(model_stored.begin(), model_stored.end());
        if (rows != expected)
            err = "the file holds " + std::to_string(rows.size()) +
                  " records that differ from the model's " + std::to_string(expected.size());
    }
    for (size_t i = 0; err.empty() && i < model_stored.size(); i++)
        err = reread_record(model_stored[i].first, model_stored[i].second, 0);
    return err;
}

}  // namespace kovfuzz
