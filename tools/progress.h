/* SPDX-License-Identifier: MIT */
/*
 * The progress line of the kov tools.
 *
 * While a long run works, one line on standard error shows how far it has
 * got, and for how long it has run.  A run that reads an input stream and
 * then writes shows the two steps labelled "reading" and "writing".  With
 * the size of the input known, the reading shows the time it has left; when
 * the records are written as they are read ("reading and writing"), that
 * is the time the whole job has left, and otherwise the line says it is
 * the time left to read.  Once the writing that follows the reading has
 * gone on for a second, the line shows how much of the whole job is done
 * and the time left.  Every estimate comes from rates measured in this run.
 * The line appears only when standard error is a terminal of the foreground
 * job and the run has lasted about a second, is redrawn at most four times
 * a second, and is erased before any other message, so that what stays on
 * the screen is exactly what the tool prints without it.  It fits the
 * terminal's width (80 columns when the terminal does not say), leaving
 * out the least useful fields first: the time left and the elapsed time
 * always show.  While it is on the screen, a SIGINT or SIGTERM whose action
 * is the default erases it and then ends the process as it would have.
 * Where standard error is not a terminal, nothing here writes a byte and
 * no signal action changes.
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

/*
 * Lets the meter ask, while it reads, how many of the records read are held
 * back for the writing step: held(ctx), such as kov_pending of the database
 * written.  Without it the reading shows only its own time left.  Call it
 * after progress_start, and with a null held before that object goes away.
 */
void progress_held(unsigned long long (*held)(void *ctx), void *ctx);

/*
 * Counts as the reading step the bytes this process reads from now on, of
 * size in all: for a tool whose reading the library does, such as a dump
 * of a database file of size bytes.  Call it after progress_start, with
 * null input.
 */
void progress_reads(long long size);

/* Counts one more record; redraws the line when it is due. */
void progress_record(void);

/*
 * A handler for kov_progress_handler: shows the writing step of a database
 * ("writing done of total records"), which follows the reading.  ctx is
 * unused.
 */
void progress_writing(void *ctx, unsigned long long done, unsigned long long total);

/*
 * A handler for kov_progress_handler while records are read: the library's
 * long steps inside a store (a spill of the records it holds) redraw the
 * reading step.  The arguments are unused.
 */
void progress_busy(void *ctx, unsigned long long done, unsigned long long total);

/* Erases the line, flushes standard error and draws nothing more. */
void progress_stop(void);

#ifdef __cplusplus
}
#endif

#endif /* KOV_PROGRESS_H */
