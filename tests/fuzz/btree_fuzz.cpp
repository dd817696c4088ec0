// SPDX-License-Identifier: MIT
// libFuzzer target: records decoded from the input go through the B-tree
// writer in key order, and the real SQLite library must find the file
// sound (integrity_check) and read back exactly those records
// (kovfuzz::check_btree, which the test suite also replays).
//
//   make fuzz                      # every target, FUZZ_SECONDS each
//   build-fuzz/btree_fuzz FILE...  # replay

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "fuzz_checks.h"

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string err = kovfuzz::check_btree(data, size, db_path);
    if (!err.empty()) {
        fprintf(stderr, "btree_fuzz: %s\n", err.c_str());
        abort();
    }
    return 0;
}
