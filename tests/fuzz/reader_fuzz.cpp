// SPDX-License-Identifier: MIT
// libFuzzer target: the dump reader primitives on an in-memory stream,
// checked step by step against a byte-wise model of the format.
//
//   make fuzz                      # both targets, FUZZ_SECONDS each
//   build-fuzz/reader_fuzz tests/fuzz/regressions/reader-*   # replay

#include <stdio.h>
#include <stdlib.h>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string err = kovfuzz::check_reader(data, size);
    if (!err.empty()) {
        fprintf(stderr, "reader_fuzz: %s\n", err.c_str());
        abort();
    }
    return 0;
}
