/* SPDX-License-Identifier: MIT */
/*
 * The options every kov tool answers: --help and --version, recognised
 * only as the first argument, so that a database named like an option is
 * reached as ./--help.
 */
#ifndef KOV_TOOL_OPTIONS_H
#define KOV_TOOL_OPTIONS_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * When arg is "--help", prints the usage line (usage, a printf format
 * taking the program name argv0) and description to standard output; when
 * it is "--version", prints "TOOL (kov tools) VERSION" and the version of
 * the SQLite library in use.  Returns the exit status for the answer (0,
 * or 1 when standard output could not be written), or -1 when arg is
 * neither option and nothing was printed.
 */
int tool_info_option(const char *arg, const char *tool, const char *argv0, const char *usage,
                     const char *description);

/*
 * Occupies any closed standard descriptor with /dev/null, opened so that
 * using it fails as on a closed descriptor (EBADF).  Without this a file the
 * tool or the library opens (the database, a temporary file) could become
 * standard input or output, and be read back as the dump or written over.
 */
void reserve_standard_descriptors(void);

#ifdef __cplusplus
}
#endif

#endif /* KOV_TOOL_OPTIONS_H */
