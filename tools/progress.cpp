// SPDX-License-Identifier: MIT
// The progress line of the kov tools (see progress.h).
//
// The line is written with write(2) straight to the terminal, outside the
// stderr buffer that holds the tools' own messages, and always starts with
// a carriage return; erasing it overwrites it with blanks.  It is fitted
// to the terminal's width, since a wrapped line could not be erased, and
// while it is on the screen a SIGINT or SIGTERM erases it before it ends
// the process.
//
// Invariants:
//  - m.shown, the columns on screen, is at most the width the last draw
//    fitted the line to, which leaves the terminal's last three columns
//    free, and at most max_columns - 2.
//  - While a line is on screen, or being drawn, erase_columns covers it and
//    two columns more (for an echoed "^C"), and the signals taken over
//    (caught) are exactly those whose action was the default; with no line,
//    none is taken over.

#include "progress.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr double first_draw = 1.0;  // seconds of silence before the line
constexpr double redraw_interval = 0.25;

struct meter {
    bool on = false;                 // drawing allowed
    const char *prog = "";           // program name at the start of the line
    FILE *input = nullptr;           // stream whose bytes are counted, or null
    long long input_size = -1;       // size of a regular-file input, -1 unknown
    long long input_bytes = -1;      // last known position in input, -1 unknown
    unsigned long long records = 0;  // records counted by progress_record
    bool writing = false;            // in the writing phase
    unsigned long long done = 0;     // records of the writing phase done ...
    unsigned long long total = 0;    // ... out of this many
    double start = 0;                // clock at progress_start
    double phase_start = 0;          // clock at the first writing report
    double next_draw = 0;            // clock from which a redraw is due
    size_t shown = 0;                // columns of the line on screen, 0 if none
    // held(held_ctx): how many records read are held back for the writing
    // phase; null when the meter cannot ask.
    unsigned long long (*held)(void *) = nullptr;
    void *held_ctx = nullptr;
    long long reads_base = -1;  // the process's bytes read at progress_reads, -1 unused
};

meter m;
char stderr_buffer[BUFSIZ];

// The widest line drawn.
constexpr size_t max_columns = 400;
// A carriage return and blanks, of which the erasing writes the first
// columns + 1 bytes.
char erase_text[max_columns + 2];
// The columns the signal handler erases: those of the line shown or being
// drawn, and two for a "^C" echoed after it.
volatile sig_atomic_t erase_columns = 0;

double now()
{
    struct timespec ts;
#ifdef CLOCK_MONOTONIC_COARSE
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
#else
    clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Writes all of s to the terminal.  A terminal that fails (hung up) ends
// the drawing, never the run.
void put(const char *s, size_t n)
{
    while (n > 0) {
        ssize_t w = write(STDERR_FILENO, s, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            m.on = false;
            return;
        }
        s += w;
        n -= static_cast<size_t>(w);
    }
}

// A background job leaves the terminal alone.  A terminal that is not the
// process's controlling one has no foreground group to ask about.
bool in_foreground()
{
    pid_t group = tcgetpgrp(STDERR_FILENO);
    return group == -1 || group == getpgrp();
}

// The line is made of fields, each in up to four forms from the longest
// to the shortest (an empty form leaves the field out).  While the line is
// wider than the terminal, the field of the lowest rank that can shrink
// takes its next form: the rate goes first, then the record count, then
// the amounts (the total, then the amount done, then the label), the
// program's name and the share of the job.  The time left and the elapsed
// time have one form each and always stay.
enum rank { rank_rate, rank_records, rank_amount, rank_name, rank_share, rank_kept };

struct field {
    char form[4][96];
    int forms = 0;  // forms made
    int used = 0;   // the form in the line
    rank r = rank_kept;
};

struct line_fields {
    field f[7];
    int n = 0;
};

// Adds a field of rank r to the line; its forms are added by add_form.
field *add_field(line_fields *line, rank r)
{
    assert(line->n < 7);
    field *f = &line->f[line->n++];
    f->forms = f->used = 0;
    f->r = r;
    return f;
}

__attribute__((format(printf, 2, 3))) void add_form(field *f, const char *format, ...)
{
    assert(f->forms < 4);
    va_list ap;
    va_start(ap, format);
    vsnprintf(f->form[f->forms++], sizeof f->form[0], format, ap);
    va_end(ap);
}

// "12.3 MiB" for a number of bytes.
void bytes_text(char *out, size_t size, double bytes)
{
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        unit++;
    }
    if (unit == 0)
        snprintf(out, size, "%.0f B", bytes);
    else
        snprintf(out, size, "%.1f %s", bytes, units[unit]);
}

// "H:MM:SS" or "M:SS" for a number of seconds.
void clock_text(char *out, size_t size, double seconds)
{
    long long s = static_cast<long long>(seconds + 0.5);
    if (s >= 3600)
        snprintf(out, size, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        snprintf(out, size, "%lld:%02lld", s / 60, s % 60);
}

// The bytes this process has read so far, from /proc/self/io: -1 unknown.
long long bytes_read_by_process()
{
    int fd = open("/proc/self/io", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[512];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    long long rchar = -1;
    if (n > 0) {
        text[n] = '\0';
        if (sscanf(text, "rchar: %lld", &rchar) != 1)
            rchar = -1;
    }
    return rchar;
}

// The position in the input, or -1 while it is unknown.
long long input_position()
{
    if (m.input) {
        long long pos = ftello(m.input);
        if (pos >= 0)
            m.input_bytes = pos;
    } else if (m.reads_base >= 0) {
        long long rchar = bytes_read_by_process();
        if (rchar >= m.reads_base)
            m.input_bytes = rchar - m.reads_base;
    }
    return m.input_bytes;
}

// The reading phase: bytes read (of the input's size, when known), records
// and the rate; without a known position, records and their rate.  With the
// size known, the rate so far gives the time the rest of the input takes.
// When no record read is held back, each is written as it is read, so that
// time covers the writing too: the phase is labelled "reading and writing"
// and the time is the whole job's.  Otherwise a write of the records held
// follows the reading, and *to_read says the time is the reading's own.
// Returns the seconds left, or -1 while they are unknown.
double add_reading(line_fields *line, double elapsed, bool *to_read)
{
    *to_read = m.input && (!m.held || m.held(m.held_ctx) > 0);
    const char *label = m.input && !*to_read ? "reading and writing" : "reading";
    long long pos = input_position();
    field *amount = add_field(line, rank_amount);
    field *rate = nullptr;
    if (pos < 0) {
        add_form(amount, "%llu records", m.records);
        rate = add_field(line, rank_rate);
        add_form(rate, ", %.0f records/s", static_cast<double>(m.records) / elapsed);
        add_form(rate, "%s", "");
        return -1;
    }
    char done[32], size[32], speed[32];
    bytes_text(done, sizeof done, static_cast<double>(pos));
    bytes_text(speed, sizeof speed, static_cast<double>(pos) / elapsed);
    double left = -1;
    if (m.input_size > 0) {
        long long part = pos < m.input_size ? pos : m.input_size;
        long long percent = part * 100 / m.input_size;
        bytes_text(size, sizeof size, static_cast<double>(m.input_size));
        add_form(amount, "%s %s of %s (%lld%%)", label, done, size, percent);
        add_form(amount, "%s %s (%lld%%)", label, done, percent);
        add_form(amount, "%s %lld%%", label, percent);
        add_form(amount, "%lld%%", percent);
        if (part > 0)
            left = elapsed * static_cast<double>(m.input_size - part) / static_cast<double>(part);
    } else {
        add_form(amount, "%s %s", label, done);
        add_form(amount, "%s", done);
    }
    field *records = add_field(line, rank_records);
    add_form(records, ", %llu records", m.records);
    add_form(records, "%s", "");
    rate = add_field(line, rank_rate);
    add_form(rate, ", %s/s", speed);
    add_form(rate, "%s", "");
    return left;
}

// The writing phase, which follows the reading.  Once it has run for a
// second, its rate so far gives the time the rest of it takes, and the time
// the reading took (measured, not assumed) makes that a share of the whole
// job: the percentage and the time left are those of the whole restore.
// Returns the seconds left, or -1 while they are unknown.
double add_writing(line_fields *line, double t)
{
    field *amount = add_field(line, rank_amount);
    add_form(amount, "writing %llu of %llu records", m.done, m.total);
    add_form(amount, "writing %llu of %llu", m.done, m.total);
    add_form(amount, "writing");
    double writing = t - m.phase_start;
    if (m.done == 0 || m.total < m.done || writing < first_draw)
        return -1;
    double write_total = writing * static_cast<double>(m.total) / static_cast<double>(m.done);
    double reading = m.phase_start - m.start;
    double job = 100 * (reading + writing) / (reading + write_total);
    field *share = add_field(line, rank_share);
    add_form(share, ", job %.0f%% done", job < 100 ? job : 100);
    add_form(share, ", %.0f%% done", job < 100 ? job : 100);
    add_form(share, "%s", "");
    return write_total - writing;
}

// The terminal's width in columns, 80 when it does not say.
size_t terminal_columns()
{
    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

// Joins the fields of line into out (of max_columns + 1 bytes), shrinking
// them until the line takes at most width columns; a line whose kept
// fields alone are wider is cut.  Returns its length.
size_t fit(line_fields *line, size_t width, char *out)
{
    size_t len = 0;
    for (int i = 0; i < line->n; i++)
        len += strlen(line->f[i].form[0]);
    while (len > width) {
        field *next = nullptr;
        for (int i = 0; i < line->n; i++) {
            field *f = &line->f[i];
            if (f->used + 1 < f->forms && (!next || f->r < next->r))
                next = f;
        }
        if (!next)
            break;
        len -= strlen(next->form[next->used]);
        next->used++;
        len += strlen(next->form[next->used]);
    }
    size_t n = 0;
    for (int i = 0; i < line->n; i++) {
        const char *text = line->f[i].form[line->f[i].used];
        size_t k = strlen(text);
        if (n + k > width)
            k = width - n;
        memcpy(out + n, text, k);
        n += k;
    }
    assert(n <= width && n <= max_columns);
    return n;
}

// Signals that end the run while the line is on: their handler erases it.
constexpr int caught_signals[] = {SIGINT, SIGTERM};
bool caught[2];  // whether each of caught_signals has on_signal

// A signal that would end the process erases the line first, then ends it
// as it would have without the line: the default action, raised again.
// write(2), sigaction and raise are safe in a signal handler; erase_columns
// covers the line on screen or being drawn, and the "^C" a terminal echoes.
void on_signal(int sig)
{
    int saved_errno = errno;
    size_t n = static_cast<size_t>(erase_columns);
    if (write(STDERR_FILENO, erase_text, n + 1) < 0 || write(STDERR_FILENO, "\r", 1) < 0) {
        // The process ends all the same.
    }
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    raise(sig);
    errno = saved_errno;
}

// Installs on_signal for each caught signal whose action is the default
// (one ignored or handled by whoever started the tool stays so).
void catch_signals()
{
    for (size_t i = 0; i < 2; i++) {
        struct sigaction old, sa;
        if (caught[i] || sigaction(caught_signals[i], nullptr, &old) != 0 ||
            (old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)
            continue;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_signal;
        caught[i] = sigaction(caught_signals[i], &sa, nullptr) == 0;
    }
}

void release_signals()
{
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (size_t i = 0; i < 2; i++) {
        if (caught[i])
            sigaction(caught_signals[i], &dfl, nullptr);
        caught[i] = false;
    }
}

void draw(double t)
{
    line_fields fields;
    double elapsed = t - m.start;
    double left = -1;
    bool to_read = false;
    field *name = add_field(&fields, rank_name);
    add_form(name, "%s: ", m.prog);
    add_form(name, "%s", "");
    if (m.writing)
        left = add_writing(&fields, t);
    else
        left = add_reading(&fields, elapsed, &to_read);
    char clock[32];
    if (left >= 0) {
        clock_text(clock, sizeof clock, left);
        add_form(add_field(&fields, rank_kept), ", %s %s", clock,
                 to_read ? "left to read" : "left");
    }
    clock_text(clock, sizeof clock, elapsed);
    add_form(add_field(&fields, rank_kept), ", %s elapsed", clock);

    // The last column stays free, where some terminals wrap, and two more
    // for the "^C" a terminal echoes at an interrupt, which the signal
    // handler erases with the line.
    size_t columns = terminal_columns();
    size_t width = columns > 3 ? columns - 3 : 1;
    if (width > max_columns - 2)
        width = max_columns - 2;
    char out[1 + 2 * max_columns];
    size_t len = fit(&fields, width, out + 1);
    // The new line, then blanks over what is left of a longer old one.
    out[0] = '\r';
    size_t n = 1 + len;
    for (size_t col = len; col < m.shown; col++)
        out[n++] = ' ';
    assert(n <= sizeof out);
    size_t cover = (len > m.shown ? len : m.shown) + 2;
    if (cover > static_cast<size_t>(erase_columns))
        erase_columns = static_cast<sig_atomic_t>(cover);
    if (m.shown == 0)
        catch_signals();
    put(out, n);
    m.shown = len;
    erase_columns = static_cast<sig_atomic_t>(len + 2);
    assert(m.shown <= width && static_cast<size_t>(erase_columns) <= max_columns);
}

void erase()
{
    assert(m.shown + 2 <= max_columns);
    put(erase_text, m.shown + 1);
    put("\r", 1);
    m.shown = 0;
    erase_columns = 0;
    release_signals();
}

void tick()
{
    double t = now();
    if (t - m.start < first_draw || t < m.next_draw)
        return;
    m.next_draw = t + redraw_interval;
    int saved_errno = errno;
    if (in_foreground())
        draw(t);
    errno = saved_errno;
}

void stop_at_exit()
{
    progress_stop();
}

}  // namespace

extern "C" void progress_start(const char *prog, FILE *input)
{
    int saved_errno = errno;
    if (m.on || !isatty(STDERR_FILENO)) {
        errno = saved_errno;
        return;
    }
    setvbuf(stderr, stderr_buffer, _IOFBF, sizeof stderr_buffer);
    static bool registered = false;
    if (!registered)
        registered = atexit(stop_at_exit) == 0;
    m = meter();
    m.on = true;
    erase_text[0] = '\r';
    memset(erase_text + 1, ' ', max_columns + 1);
    m.prog = prog;
    m.input = input;
    m.start = now();
    struct stat st;
    if (input && fstat(fileno(input), &st) == 0 && S_ISREG(st.st_mode)) {
        m.input_size = st.st_size;
    } else if (input && lseek(fileno(input), 0, SEEK_CUR) == -1 && errno == ESPIPE) {
#if defined(__GLIBC__)
        // A pipe has no position to ask for.  glibc keeps a stream's file
        // offset where it knows it, adding each read to it, so starting it
        // at 0 before the first read makes ftello count the bytes read,
        // without a system call.  (It drops the offset again at end of
        // input, when the count is no longer needed.)
        if (input->_IO_read_end == input->_IO_buf_base)
            input->_offset = 0;
#endif
    }
    errno = saved_errno;
}

extern "C" void progress_held(unsigned long long (*held)(void *), void *ctx)
{
    m.held = held;
    m.held_ctx = ctx;
}

extern "C" void progress_reads(long long size)
{
    if (!m.on)
        return;
    m.input_size = size;
    m.reads_base = bytes_read_by_process();
}

extern "C" void progress_record(void)
{
    if (!m.on)
        return;
    m.records++;
    tick();
}

extern "C" void progress_writing(void *, unsigned long long done, unsigned long long total)
{
    if (!m.on)
        return;
    if (!m.writing) {
        // The new phase shows at once on a line already drawn.
        m.writing = true;
        m.phase_start = now();
        m.next_draw = 0;
    }
    m.done = done;
    m.total = total;
    tick();
}

extern "C" void progress_busy(void *, unsigned long long, unsigned long long)
{
    if (m.on)
        tick();
}

extern "C" void progress_stop(void)
{
    if (!m.on) {
        release_signals();  // after a terminal that failed
        return;
    }
    int saved_errno = errno;
    if (m.shown)
        erase();
    m.on = false;
    fflush(stderr);
    errno = saved_errno;
}
