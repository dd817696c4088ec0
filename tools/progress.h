/* SPDX-License-Identifier: MIT */
/*
 * The progress line of the kov tools.
 *
 * While a long run works, one line on standard error shows how far it has
 * got, and for how long it has run.  A run that reads an input stream and
 * then writes shows the two steps labelled "reading" and "writing"; once
 * the writing has gone on for a second, the line adds how much of the whole
 * job is done and the time left.  It appears only when standard error is a
 * terminal of the foreground job and the run has lasted about a second, is
 * redrawn at most four times a second, and is erased before any other
 * message, so that what stays on the screen is exactly what the tool prints
 * without it.
 * Where standard error is not a terminal, nothing here writes a byte.
 *
 * While the line is on, standard error is fully buffered: a message
 * printed anywhere (by the dump reader, say) waits in the buffer until
 * progress_stop, or the exit handler installed by progress_start, has
 * erased the line and flushed it.  Every message of the tools is followed
 * by the end of the run, so none is held back for long.
 *
 * One meter per process; the tools are single-threaded.
 */
#ifndef KOV_PROGRESS_H
#define KOV_PROGRESS_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Starts the meter of the program prog if standard error is a terminal.
 * Call it before anything is written to standard error.  input is the
 * stream whose bytes the line counts as the reading step, or null to count
 * records only; when it is a regular file the line also shows the
 * percentage of it read.
 */
void progress_start(const char *prog, FILE *input);

/* Counts one more record; redraws the line when it is due. */
void progress_record(void);

/*
 * A handler for kov_progress_handler: shows the writing step of a database
 * ("writing done of total records"), which follows the reading.  ctx is
 * unused.
 */
void progress_writing(void *ctx, unsigned long long done, unsigned long long total);

/* Erases the line, flushes standard error and draws nothing more. */
void progress_stop(void);

#ifdef __cplusplus
}
#endif

#endif /* KOV_PROGRESS_H */
