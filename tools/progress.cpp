// SPDX-License-Identifier: MIT
// The progress line of the kov tools (see progress.h).
//
// The line is written with write(2) straight to the terminal, outside the
// stderr buffer that holds the tools' own messages, and always starts with
// a carriage return; erasing it overwrites it with blanks.  It is cut to
// the terminal's width, since a wrapped line could not be erased.

#include "progress.h"

#include <errno.h>
#include <stdarg.h>
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
};

meter m;
char stderr_buffer[BUFSIZ];

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

void erase()
{
    char blank[512];
    size_t n = m.shown + 2 < sizeof blank ? m.shown : sizeof blank - 2;
    blank[0] = '\r';
    memset(blank + 1, ' ', n);
    blank[n + 1] = '\r';
    put(blank, n + 2);
    m.shown = 0;
}

// A background job leaves the terminal alone.  A terminal that is not the
// process's controlling one has no foreground group to ask about.
bool in_foreground()
{
    pid_t group = tcgetpgrp(STDERR_FILENO);
    return group == -1 || group == getpgrp();
}

// Appends to line[*len..size) as snprintf would, keeping *len within size.
__attribute__((format(printf, 4, 5))) void append(char *line, size_t size, size_t *len,
                                                  const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line + *len, size - *len, format, ap);
    va_end(ap);
    if (n > 0)
        *len = *len + static_cast<size_t>(n) < size ? *len + static_cast<size_t>(n) : size - 1;
}

void append_bytes(char *line, size_t size, size_t *len, double bytes)
{
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        unit++;
    }
    if (unit == 0)
        append(line, size, len, "%.0f B", bytes);
    else
        append(line, size, len, "%.1f %s", bytes, units[unit]);
}

// "H:MM:SS" or "M:SS" for a number of seconds.
void append_clock(char *line, size_t size, size_t *len, double seconds)
{
    long long s = static_cast<long long>(seconds + 0.5);
    if (s >= 3600)
        append(line, size, len, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        append(line, size, len, "%lld:%02lld", s / 60, s % 60);
}

// The reading phase: bytes read (of the input's size, when known), records
// and the rate; without a known position, records and their rate.  With the
// size known, the rate so far gives the time the rest of the input takes.
// When no record read is held back, each is written as it is read, so that
// time covers the writing too: the phase is labelled "reading and writing"
// and the time is the whole job's.  Otherwise a write of the records held
// follows the reading, and *to_read says the time is the reading's own.
// Returns the seconds left, or -1 while they are unknown.
double append_reading(char *line, size_t size, size_t *len, double elapsed, bool *to_read)
{
    *to_read = !m.held || m.held(m.held_ctx) > 0;
    double left = -1;
    if (m.input) {
        append(line, size, len, *to_read ? "reading " : "reading and writing ");
        long long pos = ftello(m.input);
        if (pos >= 0)
            m.input_bytes = pos;
    }
    if (m.input_bytes < 0) {
        append(line, size, len, "%llu records, %.0f records/s", m.records,
               static_cast<double>(m.records) / elapsed);
        return left;
    }
    append_bytes(line, size, len, static_cast<double>(m.input_bytes));
    if (m.input_size > 0) {
        long long pos = m.input_bytes < m.input_size ? m.input_bytes : m.input_size;
        append(line, size, len, " of ");
        append_bytes(line, size, len, static_cast<double>(m.input_size));
        append(line, size, len, " (%lld%%)", pos * 100 / m.input_size);
        if (pos > 0)
            left = elapsed * static_cast<double>(m.input_size - pos) / static_cast<double>(pos);
    }
    append(line, size, len, ", %llu records, ", m.records);
    append_bytes(line, size, len, static_cast<double>(m.input_bytes) / elapsed);
    append(line, size, len, "/s");
    return left;
}

// The writing phase, which follows the reading.  Once it has run for a
// second, its rate so far gives the time the rest of it takes, and the time
// the reading took (measured, not assumed) makes that a share of the whole
// job: the percentage and the time left are those of the whole restore.
// Returns the seconds left, or -1 while they are unknown.
double append_writing(char *line, size_t size, size_t *len, double t)
{
    append(line, size, len, "writing %llu of %llu records", m.done, m.total);
    double writing = t - m.phase_start;
    if (m.done == 0 || m.total < m.done || writing < first_draw)
        return -1;
    double write_total = writing * static_cast<double>(m.total) / static_cast<double>(m.done);
    double reading = m.phase_start - m.start;
    double job = (reading + writing) / (reading + write_total);
    append(line, size, len, ", job %.0f%% done", 100 * (job < 1 ? job : 1));
    return write_total - writing;
}

void draw(double t)
{
    char line[256];
    size_t len = 0;
    double elapsed = t - m.start;
    double left = -1;
    bool to_read = false;
    append(line, sizeof line, &len, "%s: ", m.prog);
    if (m.writing)
        left = append_writing(line, sizeof line, &len, t);
    else
        left = append_reading(line, sizeof line, &len, elapsed, &to_read);
    // The elapsed time last: a narrow terminal cuts the line short.
    if (left >= 0) {
        append(line, sizeof line, &len, ", ");
        append_clock(line, sizeof line, &len, left);
        append(line, sizeof line, &len, to_read ? " left to read" : " left");
    }
    append(line, sizeof line, &len, ", ");
    append_clock(line, sizeof line, &len, elapsed);
    append(line, sizeof line, &len, " elapsed");

    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 && len >= ws.ws_col)
        len = ws.ws_col - 1u;
    // The new line, then blanks over what is left of a longer old one.
    char out[2 * sizeof line + 1];
    size_t n = 0;
    out[n++] = '\r';
    memcpy(out + n, line, len);
    n += len;
    for (size_t col = len; col < m.shown && n < sizeof out; col++)
        out[n++] = ' ';
    put(out, n);
    m.shown = len;
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

extern "C" void progress_stop(void)
{
    if (!m.on)
        return;
    int saved_errno = errno;
    if (m.shown)
        erase();
    m.on = false;
    fflush(stderr);
    errno = saved_errno;
}
