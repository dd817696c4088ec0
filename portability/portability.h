/* SPDX-License-Identifier: MIT */
/*
 * The portability layer: rep_* replacements for system library functions,
 * global functions of the program.  Plain C signatures; strings are byte
 * strings ended by a zero byte, and a destination size always counts the
 * whole buffer, terminator included.
 */
#ifndef KOV_PORTABILITY_H
#define KOV_PORTABILITY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The string and error-text replacements are declared below this line. */

/*
 * Copies the string src into dst, a buffer of size bytes.  At most size - 1
 * bytes are copied and dst is always terminated, unless size is 0, in which
 * case nothing is written and the result is 0.  Otherwise returns
 * strlen(src); if the result is >= size, the copy was cut short.
 */
size_t rep_strlcpy(char *dst, const char *src, size_t size);

/*
 * Appends the string src to the terminated string dst, whose buffer has
 * size bytes (the whole buffer, not the space left).  The result fits in at
 * most size - 1 bytes plus the terminator.  Nothing is written when size
 * <= strlen(dst) or when no byte of src fits.  dst is measured without a
 * bound, so it must be terminated.  Always returns strlen(dst) + strlen(src)
 * as they were before the call; if the result is >= size, the append was
 * cut short.
 */
size_t rep_strlcat(char *dst, const char *src, size_t size);

/*
 * Copies the system's text for errnum (for an unknown number, the system's
 * "Unknown error" text with the number) into buf, a buffer of buflen bytes,
 * and fills the rest of buf with zero bytes.  Returns 0.  If the text and its
 * terminator do not fit in buflen bytes, returns -1 with errno set to ERANGE
 * and leaves buf untouched.  errno is left as it was on success.  Safe to
 * call from any thread.
 */
int rep_strerror_r(int errnum, char *buf, size_t buflen);

/* Empty functions: they take nothing, do nothing and return nothing. */
void replace_dummy(void);
void dummy_snprintf(void);

/* The terminal password prompt is declared below this line. */

/*
 * Writes prompt on the controlling terminal, reads one line from it with echo
 * turned off, restores the terminal and returns the line without its line
 * feed.  Without a controlling terminal the prompt goes to standard error and
 * the line is read from standard input, which stays unbuffered afterwards.
 * The answer is at most 255 bytes: a longer line is cut, no line feed is
 * removed from it, and the rest of the line that has already arrived is read
 * and dropped.  End of input or a read error gives the empty string, with
 * errno set in the case of an error.  Returns a pointer to a static buffer
 * that the next call overwrites.  Afterwards SIGINT has the default action,
 * whatever it had before.  A SIGINT during the call does not return: the
 * terminal is restored, "Interrupted by signal." is written on standard
 * output and the process exits with status 1.  A SIGHUP, SIGQUIT or SIGTERM
 * that would end the process (its action is the default one) still ends it
 * by that signal, but only once the terminal is restored.  Neither
 * reentrant nor thread-safe.  prompt must not be null.
 */
char *rep_getpass(const char *prompt);

/*
 * Installs handler for signal sig, or the default action when handler is
 * null.  The handler runs with sig blocked, and with SA_RESTART for every
 * signal but SIGALRM.  The previous action is dropped.
 */
void set_signal_handler(int sig, void (*handler)(int));

/*
 * The SIGINT handler of rep_getpass: marks the prompt as interrupted and
 * closes the descriptor the prompt is reading, which ends the read.
 */
void on_prompt_interrupt(int sig);

#ifdef __cplusplus
}
#endif

#endif /* KOV_PORTABILITY_H */
