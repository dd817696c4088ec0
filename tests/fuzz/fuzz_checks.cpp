// SPDX-License-Identifier: MIT
// Differential checks of the dump reader and the record loop (see
// fuzz_checks.h), against the byte-wise model of dump_model.h: any fast
// path in the real reader that decodes, consumes or reports differently
// shows up as a mismatch.  And the B-tree writer's files, read back by
// SQLite itself.

#include "fuzz_checks.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "btree_writer.h"
#include "dump_model.h"
#include "dump_reader.h"
#include "kov.h"

namespace kovfuzz {
namespace {

using kovtest::canonical_body;
using kovtest::reader_model;
using kovtest::text_stream;

std::string bytes_of(const datum &d)
{
    return std::string(reinterpret_cast<const char *>(d.data), d.size);
}

// Reads one canonical record back with the real reader; returns the first
// difference from key and value, or "".
std::string reread_record(const std::string &key, const std::string &value, size_t buffer_size)
{
    text_stream s(kovtest::canonical_record(key, value), buffer_size);
    datum k, v;
    int at_end;
    std::string err;
    if (dump_read_record(s.get(), &k, &v, &at_end) != 0)
        err = "canonical record refused";
    else if (bytes_of(k) != key || bytes_of(v) != value)
        err = "canonical record reads back different";
    else if (getc(s.get()) != EOF)
        err = "canonical record: bytes left after the record";
    free(k.data);
    free(v.data);
    if (!err.empty())
        err += " (key \"" + canonical_body(key) + "\", value \"" + canonical_body(value) + "\")";
    return err;
}

const size_t buffer_sizes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 13, 16, 31, 64, 127, 128, 129, 4096};

}  // namespace

std::string check_reader(const uint8_t *data, size_t size)
{
    size_t buffer_size = buffer_sizes[size % (sizeof buffer_sizes / sizeof buffer_sizes[0])];
    return check_reader(std::string(reinterpret_cast<const char *>(data), size), buffer_size);
}

std::string check_reader(const std::string &input, size_t buffer_size)
{
    text_stream real(input, buffer_size), model_stream(input);
    FILE *f = real.get();
    reader_model m(model_stream.get());
    std::string err;
    std::vector<std::string> fields;

    // Compares the position of both streams after a step; err says where.
    auto same_position = [&](const char *step, const char *what) {
        if (ftell(f) == ftell(m.in))
            return true;
        err = std::string(step) + ": " + what + " consumed a different amount (stream at " +
              std::to_string(ftell(f)) + ", model at " + std::to_string(ftell(m.in)) + ")";
        return false;
    };
    auto same_line = [&](const char *expected, bool want_flag, const char *step) {
        int at_end = 0, model_at_end = 0;
        int rc = expect_line(f, expected, want_flag ? &at_end : nullptr);
        int model_rc = m.expect_line(expected, want_flag ? &model_at_end : nullptr);
        if (rc != model_rc || at_end != model_at_end)
            err = std::string(step) + ": expect_line returned " + std::to_string(rc) + ", at_end " +
                  std::to_string(at_end) + "; model " + std::to_string(model_rc) + ", " +
                  std::to_string(model_at_end);
        return err.empty() && same_position(step, "expect_line") && rc == 0;
    };
    auto same_field = [&](const char *step) {
        int count = read_field_length(f);
        int model_count = m.read_field_length();
        if (count != model_count) {
            err = std::string(step) + ": read_field_length returned " + std::to_string(count) +
                  ", model " + std::to_string(model_count);
            return false;
        }
        if (!same_position(step, "read_field_length"))
            return false;
        datum d = {nullptr, 12345};
        std::string model_bytes;
        int rc = read_data(f, &d, count);
        int model_rc = m.read_data(model_count, &model_bytes);
        if (rc != model_rc)
            err = std::string(step) + ": read_data returned " + std::to_string(rc) + ", model " +
                  std::to_string(model_rc);
        else if (!same_position(step, "read_data"))
            ;
        else if (rc == 0 && (!d.data || d.size != static_cast<size_t>(count)))
            err = std::string(step) + ": accepted field of " + std::to_string(d.size) +
                  " bytes declared " + std::to_string(count);
        else if (rc == 0 && bytes_of(d) != model_bytes)
            err = std::string(step) + ": decoded \"" + canonical_body(bytes_of(d)) +
                  "\", model \"" + canonical_body(model_bytes) + "\"";
        else if (rc == 0)
            fields.push_back(model_bytes);
        free(d.data);
        return err.empty() && rc == 0;
    };

    // The primitives one by one, so that each step is compared on its own.
    std::string messages = kovtest::capture_stderr([&] {
        while (same_line("{\n", true, "opening line") && same_field("key") &&
               same_line("\"\n", false, "key's closing quote") && same_field("value") &&
               same_line("\"\n", false, "value's closing quote") &&
               same_line("}\n", false, "closing line")) {
        }
    });
    if (err.empty() && messages != m.messages)
        err = "messages \"" + canonical_body(messages) + "\", model \"" +
              canonical_body(m.messages) + "\"";
    for (size_t i = 0; err.empty() && i + 1 < fields.size(); i += 2)
        err = reread_record(fields[i], fields[i + 1], buffer_size);
    if (err.empty() && fields.size() % 2)
        err = reread_record(fields.back(), "", buffer_size);
    return err;
}

std::string check_restore(const uint8_t *data, size_t size, const std::string &db_path)
{
    std::string input(reinterpret_cast<const char *>(data), size);

    // The model's run: records up to the first failure, where a key seen
    // before fails the insert.
    text_stream model_stream(input);
    reader_model m(model_stream.get());
    std::vector<kovtest::record> model_stored;
    std::set<std::string> model_keys;
    int model_at_end;
    for (;;) {
        std::string key, value;
        if (m.read_record(&key, &value, &model_at_end))
            break;
        if (!model_keys.insert(key).second) {
            m.messages += "KOV error: Record exists\n";
            break;
        }
        model_stored.emplace_back(std::move(key), std::move(value));
    }

    // kovrestore's loop, on the real reader and the real library.
    unlink(db_path.c_str());
    kov_handle db = kov_open(db_path.c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (!db)
        return "kov_open " + db_path + ": " + kov_errorstr(nullptr);
    text_stream in(input);
    int at_end = 0;
    size_t stored = 0;
    std::string messages = kovtest::capture_stderr([&] {
        datum key, value;
        for (;;) {
            if (dump_read_record(in.get(), &key, &value, &at_end))
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
    });

    std::string err;
    if (at_end != model_at_end)
        err = std::string("the loop ended ") + (at_end ? "cleanly" : "on a failure") +
              ", the model's " + (model_at_end ? "cleanly" : "on a failure");
    else if (stored != model_stored.size())
        err = std::to_string(stored) + " records stored, the model " +
              std::to_string(model_stored.size());
    else if (messages != m.messages)
        err = "messages \"" + canonical_body(messages) + "\", model \"" +
              canonical_body(m.messages) + "\"";
    // kovrestore abandons the handle after a failure and its exit commits
    // it; here the close does the same work.
    if (kov_close(db) != 0 && err.empty())
        err = "kov_close failed";

    // What the file holds, read by SQLite itself, against the model's
    // records in key order.
    std::vector<kovtest::record> rows;
    if (err.empty())
        err = kovtest::read_rows(db_path, &rows);
    unlink(db_path.c_str());
    std::vector<kovtest::record> expected = model_stored;
    std::sort(expected.begin(), expected.end());
    if (err.empty() && rows != expected)
        err = "the file holds " + std::to_string(rows.size()) +
              " records that differ from the model's " + std::to_string(expected.size());
    for (size_t i = 0; err.empty() && i < model_stored.size(); i++)
        err = reread_record(model_stored[i].first, model_stored[i].second, 0);
    return err;
}

// A record is a key length byte and the key's bytes, then a byte choosing
// the value's size: small, around the most a page keeps local, or spanning
// overflow pages.  Long keys and values repeat the input's bytes.
std::string check_btree(const uint8_t *data, size_t size, const std::string &db_path)
{
    uint32_t page = 512u << (size ? data[0] % 8 : 0);
    size_t max_local = (page - 12) * 64 / 255 - 23;
    std::map<std::string, std::string> recs;
    size_t pos = 1;
    auto byte = [&] { return pos < size ? data[pos++] : 0; };
    while (pos < size) {
        size_t klen = byte(), sel;
        if (klen >= 240)
            klen = (klen - 239) * max_local / 4;
        std::string key;
        for (size_t i = 0; i < klen; i++)
            key += static_cast<char>(data[(pos + i) % size]);
        pos += std::min(klen, size - pos);
        sel = byte();
        size_t vlen = sel < 128 ? sel : sel < 224 ? max_local - 48 + (sel - 128) : (sel - 223) * 4099;
        std::string value(vlen, static_cast<char>(sel));
        for (size_t i = 0; i < vlen; i += 61)
            value[i] = static_cast<char>(data[(pos + i) % size]);
        recs[key] = value;
    }

    int fd = open(db_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return "cannot create " + db_path;
    std::string err;
    uint32_t pages = 0;
    {
        btree_header h;
        h.page_size = page;
        btree_writer w(fd, h);
        // Records that overflow and whose value has an odd size get their
        // chain written ahead; with bit 3 of the first byte, the first such
        // chain is also written once more and never added (the free list).
        std::map<std::string, uint32_t> ahead;
        bool spare = size && data[0] & 8;
        for (const auto &r : recs) {
            uint32_t first;
            if (!w.overflows(r.first.size(), r.second.size()) || r.second.size() % 2 == 0)
                continue;
            for (int k = spare ? 2 : 1; k > 0 && err.empty(); k--)
                if (w.write_chain(r.first.data(), r.first.size(), r.second.data(), r.second.size(),
                                  &first, &err))
                    err = "write_chain: " + err;
            spare = false;
            ahead[r.first] = first;
        }
        for (const auto &r : recs) {
            if (!err.empty())
                break;
            auto a = ahead.find(r.first);
            if (a == ahead.end() ? w.add(r.first.data(), r.first.size(), r.second.data(),
                                         r.second.size(), &err)
                                 : w.add_chained(r.first.data(), r.first.size(), r.second.data(),
                                                 r.second.size(), a->second, &err)) {
                err = "add: " + err;
                break;
            }
            // The first key again, never after the last one, is refused.
            std::string ignored;
            if (w.add(recs.begin()->first.data(), recs.begin()->first.size(), "", 0, &ignored) == 0) {
                err = "a key not after the last one was accepted";
                break;
            }
        }
        if (err.empty() && w.finish(&pages, &err))
            err = "finish: " + err;
    }
    close(fd);
    struct stat st;
    if (err.empty() && (stat(db_path.c_str(), &st) || st.st_size != off_t(pages) * page))
        err = "the file is not " + std::to_string(pages) + " pages long";
    std::vector<kovtest::record> rows, expected(recs.begin(), recs.end());
    if (err.empty())
        err = kovtest::read_rows(db_path, &rows);
    unlink(db_path.c_str());
    if (err.empty() && rows != expected)
        err = "SQLite reads " + std::to_string(rows.size()) + " records that differ from the " +
              std::to_string(expected.size()) + " written";
    return err;
}

}  // namespace kovfuzz
