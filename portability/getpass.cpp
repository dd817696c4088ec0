// SPDX-License-Identifier: MIT
// Terminal password prompt: rep_getpass and its signal handling.
//
// The prompt keeps its state in static storage (the answer buffer, the
// interrupt flag, the descriptor being read and the saved terminal
// attributes, and the ending signal that arrived), so it is neither
// reentrant nor thread-safe, and it changes the process's SIGINT action
// while it runs, and the action of SIGHUP, SIGQUIT and SIGTERM where that
// is the default one.
#include "portability.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

static const char tty_path[] = "/dev/tty";
static const char msg_interrupted[] = "Interrupted by signal.";

// The answer of the last prompt, at most 255 bytes and a terminator.
static char prompt_buffer[256];
// Set to 1 by on_prompt_interrupt; never cleared, because an interrupted
// prompt ends the process.
static volatile sig_atomic_t prompt_interrupted = 0;
// The descriptor that the prompt is blocked reading, for the handler to
// close; -1 whenever there is nothing the handler may close.
static volatile sig_atomic_t prompt_fd = -1;
// The terminal's attributes as the prompt found them, ECHO included.
static struct termios saved_termios;
// Signals besides SIGINT whose default action ends the process.  While they
// have that action, the prompt catches them, so that echo is back on before
// the process ends, and then ends it by the same signal.
static const int ending_signals[] = {SIGHUP, SIGQUIT, SIGTERM};
static const size_t ending_count = sizeof ending_signals / sizeof ending_signals[0];
// The ending signal that arrived during the prompt, or 0.
static volatile sig_atomic_t prompt_ending_signal = 0;

/*
 * Installs handler for signal sig; a null handler installs the default
 * action.  The handler runs with sig blocked and with SA_RESTART, except for
 * SIGALRM, whose handler interrupts the call it arrives in.  The previous
 * action is not kept.
 */
void set_signal_handler(int sig, void (*handler)(int))
{
    struct sigaction action;
    struct sigaction previous;

    memset(&action, 0, sizeof(action));
    action.sa_handler = handler != nullptr ? handler : SIG_DFL;
    action.sa_flags = sig == SIGALRM ? 0 : SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, sig);
    sigaction(sig, &action, &previous);
}

/*
 * SIGINT handler of rep_getpass: records the interrupt and closes the
 * descriptor the prompt is reading, so that the read (restarted after the
 * handler) fails at once instead of waiting for a line.
 */
void on_prompt_interrupt(int sig)
{
    int saved_errno = errno;

    (void)sig;
    prompt_interrupted = 1;
    if (prompt_fd != -1)
        close(prompt_fd);
    prompt_fd = -1;
    errno = saved_errno;
}

/*
 * Handler of the ending signals: records the signal and, like the SIGINT
 * handler, closes the descriptor the prompt is reading to end the read.
 */
static void on_prompt_ending_signal(int sig)
{
    int saved_errno = errno;

    if (prompt_ending_signal == 0)
        prompt_ending_signal = sig;
    if (prompt_fd != -1)
        close(prompt_fd);
    prompt_fd = -1;
    errno = saved_errno;
}

/*
 * Blocks SIGINT and the ending signals and stores the mask it replaced in
 * old_mask, so that their handlers cannot run between two steps that must
 * not be split.
 */
static void block_interrupt(sigset_t *old_mask)
{
    sigset_t interrupt;

    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    for (int sig : ending_signals)
        sigaddset(&interrupt, sig);
    sigprocmask(SIG_BLOCK, &interrupt, old_mask);
}

/*
 * Reads the answer from in into prompt_buffer, with in's descriptor recorded
 * for the interrupt handler for exactly as long as the read runs.  Stores
 * the cause of a read error in read_errno.  Returns true when the handler
 * closed that descriptor.
 */
static bool read_answer(FILE *in, int *read_errno)
{
    sigset_t old_mask;
    bool closed;
    size_t len;
    int c;

    prompt_buffer[0] = '\0';
    /*
	 * SIGINT stays blocked from the check of the flag until the descriptor
	 * is recorded.  An interrupt in between is held back and delivered when
	 * the old mask comes back just before the read: the handler then finds
	 * the descriptor and closes it, and the read fails at once rather than
	 * waiting for a whole line.
	 */
    block_interrupt(&old_mask);
    if (prompt_interrupted || prompt_ending_signal) {
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
        return false;
    }
    prompt_fd = fileno(in);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);

    if (fgets(prompt_buffer, sizeof(prompt_buffer), in) == nullptr) {
        if (ferror(in))
            *read_errno = errno;
        prompt_buffer[0] = '\0';
    }

    /*
	 * A line longer than the buffer is cut, but the rest of it is read and
	 * dropped: left in the terminal's queue it would reach whichever program
	 * reads the terminal next, with echo on again.  Only what is already
	 * there is dropped, so that a cut line ended by end of input does not
	 * wait for another line.
	 */
    len = strlen(prompt_buffer);
    if (len == sizeof(prompt_buffer) - 1 && prompt_buffer[len - 1] != '\n') {
        struct pollfd pending = {fileno(in), POLLIN, 0};

        while (poll(&pending, 1, 0) == 1 && (c = getc(in)) != EOF && c != '\n')
            ;
    }

    // From here on the descriptor no longer belongs to the prompt.
    block_interrupt(&old_mask);
    closed = prompt_fd == -1;
    prompt_fd = -1;
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    return closed;
}

/*
 * Restores the saved terminal attributes on in, retrying while a signal
 * interrupts the call.
 */
static void restore_terminal(FILE *in)
{
    while (tcsetattr(fileno(in), TCSANOW, &saved_termios) == -1 && errno == EINTR)
        ;
}

/*
 * Prompts on the terminal with echo off and returns the answer line without
 * its line feed, in static storage; the full contract is in portability.h.
 * Does not return when interrupted: the process exits with status 1.
 */
char *rep_getpass(const char *prompt)
{
    FILE *in;
    FILE *out;
    bool echo_off = false;
    bool input_closed;
    bool caught[ending_count];
    int read_errno = 0;
    size_t len;

    set_signal_handler(SIGINT, on_prompt_interrupt);
    for (size_t i = 0; i < ending_count; i++) {
        struct sigaction action;

        caught[i] =
            sigaction(ending_signals[i], nullptr, &action) == 0 && action.sa_handler == SIG_DFL;
        if (caught[i])
            set_signal_handler(ending_signals[i], on_prompt_ending_signal);
    }

    in = out = fopen(tty_path, "w+");
    if (in == nullptr) {
        in = stdin;
        out = stderr;
    }
    setvbuf(in, nullptr, _IONBF, 0);

    if (tcgetattr(fileno(in), &saved_termios) == 0 && (saved_termios.c_lflag & ECHO)) {
        struct termios quiet = saved_termios;

        quiet.c_lflag &= ~ECHO;
        echo_off = tcsetattr(fileno(in), TCSAFLUSH, &quiet) == 0;
    }

    fputs(prompt, out);
    fflush(out);

    input_closed = read_answer(in, &read_errno);

    len = strlen(prompt_buffer);
    if (len > 0 && prompt_buffer[len - 1] == '\n')
        prompt_buffer[len - 1] = '\0';

    if (echo_off && input_closed) {
        /*
		 * The handler closed the input's descriptor, so the attributes
		 * go back through a new stream on the terminal.  The old stream
		 * is released first: its descriptor number is free and the new
		 * stream is likely to get it.
		 */
        bool shared = out == in;

        if (in != stdin)
            fclose(in);
        in = fopen(tty_path, "w+");
        if (shared)
            out = in;
    }
    if (echo_off && in != nullptr)
        restore_terminal(in);
    if (out != nullptr) {
        fputc('\n', out);
        fflush(out);
    }
    if (in != nullptr && in != stdin)
        fclose(in);

    set_signal_handler(SIGINT, nullptr);
    for (size_t i = 0; i < ending_count; i++)
        if (caught[i])
            set_signal_handler(ending_signals[i], nullptr);
    /*
	 * The terminal is as the prompt found it and the ending signal has its
	 * default action again: send it once more, and it ends the process.
	 */
    if (prompt_ending_signal != 0) {
        int sig = prompt_ending_signal;

        prompt_ending_signal = 0;
        raise(sig);
    }

    if (prompt_interrupted) {
        puts(msg_interrupted);
        fflush(stdout);
        exit(1);
    }
    if (read_errno != 0)
        errno = read_errno;
    return prompt_buffer;
}
