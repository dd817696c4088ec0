// SPDX-License-Identifier: MIT
// libFuzzer target: records decoded from the input go through the B-tree
// writer in key order, and the real SQLite library must find the file
// sound (integrity_check) and read back exactly those records.
//
//   make fuzz                      # every target, FUZZ_SECONDS each
//   build-fuzz/btree_fuzz FILE...  # replay

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "btree_writer.h"
#include "dump_model.h"

// A private directory for the file, on a memory file system when there is
// one, removed at exit.
static std::string db_path;

static void remove_dir(void)
{
    unlink(db_path.c_str());
    rmdir(db_path.substr(0, db_path.rfind('/')).c_str());
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char shm[] = "/dev/shm/btree_fuzz.XXXXXX", tmp[] = "/tmp/btree_fuzz.XXXXXX";
    const char *dir = mkdtemp(shm) ? shm : mkdtemp(tmp);
    db_path = std::string(dir ? dir : ".") + "/fuzz.kov";
    atexit(remove_dir);
    return 0;
}

static void fail(const std::string &what)
{
    fprintf(stderr, "btree_fuzz: %s\n", what.c_str());
    abort();
}

// The input: a byte choosing the page size, then records.  A record is a
// key length byte and the key's bytes, then a byte choosing the value's
// size: small, around the most a page keeps local, or spanning overflow
// pages.  Long keys and values repeat the input's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
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
        fail("cannot create " + db_path);
    btree_header h;
    h.page_size = page;
    btree_writer w(fd, h);
    std::string err;
    for (const auto &r : recs) {
        if (w.add(r.first.data(), r.first.size(), r.second.data(), r.second.size(), &err))
            fail("add: " + err);
        // The first key again, never after the last one, is refused.
        if (w.add(recs.begin()->first.data(), recs.begin()->first.size(), "", 0, &err) == 0)
            fail("a key not after the last one was accepted");
    }
    uint32_t pages;
    if (w.finish(&pages, &err))
        fail("finish: " + err);
    close(fd);
    struct stat st;
    if (stat(db_path.c_str(), &st) || st.st_size != off_t(pages) * page)
        fail("the file is not " + std::to_string(pages) + " pages long");
    std::vector<kovtest::record> rows, expected(recs.begin(), recs.end());
    if (!(err = kovtest::read_rows(db_path, &rows)).empty())
        fail(err);
    if (rows != expected)
        fail("SQLite reads " + std::to_string(rows.size()) + " records that differ from the " +
             std::to_string(expected.size()) + " written");
    return 0;
}
