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
 * output and the process exits with status 1.  Neither reentrant nor
 * thread-safe.  prompt must not be null.
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
