// SPDX-License-Identifier: MIT
// libFuzzer target: the record loop of kovrestore over the input, storing
// into a real kov database, checked against a byte-wise model of the format
// and against what SQLite reads back from the file.
//
//   make fuzz                      # both targets, FUZZ_SECONDS each
//   build-fuzz/restore_fuzz tests/fuzz/regressions/restore-*   # replay

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "fuzz_checks.h"

// A private directory for the database, on a memory file system when there
// is one: every input creates, fills and syncs a new file.
static std::string db_path;

static void remove_dir(void)
{
    unlink(db_path.c_str());
    rmdir(db_path.substr(0, db_path.rfind('/')).c_str());
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char pattern[] = "/dev/shm/restore_fuzz.XXXXXX";
    char fallback[] = "/tmp/restore_fuzz.XXXXXX";
    const char *dir = mkdtemp(pattern);
    if (!dir)
        dir = mkdtemp(fallback);
    if (!dir) {
        perror("restore_fuzz: mkdtemp");
        exit(1);
    }
    db_path = std::string(dir) + "/fuzz.kov";
    atexit(remove_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string err = kovfuzz::check_restore(data, size, db_path);
    if (!err.empty()) {
        fprintf(stderr, "restore_fuzz: %s\n", err.c_str());
        abort();
    }
    return 0;
}
