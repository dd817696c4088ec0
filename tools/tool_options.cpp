// SPDX-License-Identifier: MIT
// --help and --version of the kov tools (see tool_options.h).

#include "tool_options.h"

#include <stdio.h>
#include <string.h>

#include <sqlite3.h>

#ifndef KOV_TOOLS_VERSION
#error "KOV_TOOLS_VERSION comes from the CMake project version"
#endif

extern "C" int tool_info_option(const char *arg, const char *tool, const char *argv0,
                                const char *usage, const char *description)
{
    if (strcmp(arg, "--help") == 0) {
        printf(usage, argv0 && argv0[0] ? argv0 : tool);
        fputs(description, stdout);
    } else if (strcmp(arg, "--version") == 0) {
        printf("%s (kov tools) %s\nSQLite %s\n", tool, KOV_TOOLS_VERSION, sqlite3_libversion());
    } else {
        return -1;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("stdout");
        return 1;
    }
    return 0;
}
