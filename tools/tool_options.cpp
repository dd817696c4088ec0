// SPDX-License-Identifier: MIT
// --help and --version of the kov tools, and their standard descriptors (see
// tool_options.h).

#include "tool_options.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

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

extern "C" void reserve_standard_descriptors(void)
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
