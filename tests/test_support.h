/* SPDX-License-Identifier: MIT */
// Helpers shared by the tests: running a real program (or a function in a
// child process) with real pipes and optional resource limits, or on a
// pseudo-terminal, scratch directories, files, and reading a kov file back
// through SQLite.  The format model, the in-memory stream and the stderr
// capture are in dump_model.h, which the fuzz targets share.
#ifndef KOV_TEST_SUPPORT_H
#define KOV_TEST_SUPPORT_H

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dump_model.h"
#include "kov.h"

namespace kovtest {

// How a run ended and what it wrote.
struct run_result {
    bool exited = false;   // ended through exit or a return from main
    int status = -1;       // exit status when exited
    int signal = 0;        // terminating signal otherwise
    long max_rss_kib = 0;  // peak resident set size of the child
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
};

// Where the child's standard input comes from.
struct stdin_source {
    enum kind_t { pipe_data, file, closed } kind = pipe_data;
    std::string data;  // written through a pipe for pipe_data
    std::string path;  // opened read-only for file
};

stdin_source from_data(std::string data);
stdin_source from_file(std::string path);
stdin_source closed_stdin();

// Set in the child before it runs.
struct limits {
    rlim_t file_size = RLIM_INFINITY;      // RLIMIT_FSIZE; SIGXFSZ is then ignored
    rlim_t address_space = RLIM_INFINITY;  // RLIMIT_AS
    rlim_t open_files = RLIM_INFINITY;     // RLIMIT_NOFILE
    bool empty_argv = false;               // exec with no arguments at all
};

// A running child.  With a pipe_data source, in is the write end of its
// standard input (the source's data is not written by start).
struct child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;  // read end of its standard output
    int err = -1;  // read end of its standard error
};

// Starts argv[0] (a path) with argv.  The child inherits this process's
// signal dispositions, SIGPIPE ignored included, as posix_spawn would.
child start(const std::vector<std::string> &argv, const stdin_source &in = from_data(""),
            const limits &lim = {});
// Runs body in a forked child that then calls exit with its result, with
// the same pipes as a program.
child start_function(const std::function<int()> &body);

// Writes all of bytes to the child's input.  Returns false once the child
// has stopped reading.
bool feed(child &c, const void *bytes, size_t size);
bool feed(child &c, const std::string &bytes);

// Closes the child's input, collects its output and waits for it.
run_result finish(child &c);

// Runs argv with the given standard input, writing it while collecting both
// output streams, and waits for it.
run_result run(const std::vector<std::string> &argv, const stdin_source &in,
               const limits &lim = {});

// Shorthand for a run of the restore tool on dump text.
run_result restore(const std::string &db, const std::string &dump, const limits &lim = {});

// Sets KOV_SORT_MEMORY for the scope (inherited by the programs run); a
// null cap leaves it unset.
class sort_memory {
  public:
    explicit sort_memory(const char *cap)
    {
        if (cap)
            setenv("KOV_SORT_MEMORY", cap, 1);
    }
    ~sort_memory() { unsetenv("KOV_SORT_MEMORY"); }
    sort_memory(const sort_memory &) = delete;
    sort_memory &operator=(const sort_memory &) = delete;
};

// Sets environment variables for the scope (inherited by the programs run,
// not seen by this process's own calls) and restores them at its end.
using env_vars = std::vector<std::pair<std::string, std::string>>;
class with_env {
  public:
    explicit with_env(const env_vars &vars);
    ~with_env();
    with_env(const with_env &) = delete;
    with_env &operator=(const with_env &) = delete;

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// One I/O call to fail, and where to record syncs, in the programs run
// (start, run, restore) with fail_io_env's variables: the library
// tests/fail_io.c is preloaded into them.  Its top comment gives the rules;
// for instance {.call = "fsync", .suffix = "-journal", .error = EIO} makes
// the first fsync of a journal fail.
struct io_fault {
    std::string call = "";      // pwrite, write, fsync, fdatasync, ftruncate, ...; empty: none
    std::string suffix = "";    // only descriptors whose file name ends so count
    long nth = 1;               // the matching call that fails first, from 1
    long times = 1;             // how many matching calls fail; 0: every one from nth on
    int error = EIO;            // the errno they report
    std::string sync_log = "";  // a file that gets "<call> <dir|file> <path>" per sync
    std::string open_log = "";  // a file that gets "open <name>" per open by name
    std::string lock_log = "";  // a file that gets "lock ..." and "close <path>" lines
};
env_vars fail_io_env(const io_fault &fault);

// The lines of a text file, without their newlines.
std::vector<std::string> read_lines(const std::string &path);

// A fresh directory under parent (by default $TMPDIR or /tmp; a parent that
// cannot take one, such as a missing /dev/shm, falls back to the default),
// removed with its contents at the end of the scope.
class scratch_dir {
  public:
    explicit scratch_dir(const char *parent = nullptr);
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    const std::string &dir() const { return dir_; }

  private:
    std::string dir_;
};

// A memory file system for tests that write large files.
constexpr const char *memory_fs = "/dev/shm";

// Every row of a kov file in ascending key order.  Fails the current test
// when the file does not pass SQLite's integrity check or holds a key or
// value that is not a BLOB.
std::vector<record> read_kov(const std::string &path);

// A dump of the given records, in order, in canonical form.
std::string dump_of(const std::vector<record> &records);

// Record i of a large generated dump.  Keys are zero-padded numbers, so key
// order is dump order; values are 1000 to 8000 bytes, mostly printable with
// one byte in ten of any value.
record generated_record(size_t i);

// Generated records in canonical dump form up to at least size bytes, with
// the offset just past each record.
struct generated_dump {
    std::string text;
    std::vector<size_t> ends;
};
generated_dump generate_dump(size_t size);

// A datum over the bytes of s, which must outlive it.
datum as_datum(const std::string &s);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);

// A child process driven through a pseudo-terminal, as its user would.
// Every wait has a deadline, and a child still running at the deadline is
// killed and reaped.  The child reports what it sees through a pipe: each
// report() is one field of the outcome's reports.
using clock_type = std::chrono::steady_clock;
constexpr std::chrono::seconds time_limit{10};

struct child_proc {
    pid_t pid = -1;
    int term = -1;     // pty master, or the read end of the child's stderr
    int reports = -1;  // read end of the report pipe
    std::string out;   // everything read from term so far
    clock_type::time_point deadline = clock_type::now() + time_limit;
};

struct outcome {
    bool exited = false;
    int status = -1;
    bool echo = false;  // the terminal echoed input once the child had ended
    std::string out;
    std::vector<std::string> reports;
};

// Child side: the write end of the report pipe.
extern int report_fd;

void write_all(int fd, std::string_view data);
// Child side: sends one field of the report; fields end with a zero byte,
// which no answer can contain.
void report(std::string_view field);
// Milliseconds left until the child's deadline.
int ms_left(const child_proc &c);
// Appends what fd has to buf, waiting at most until the deadline.  Returns
// false at end of file (EIO from a master whose slave is closed) or timeout.
bool read_some(const child_proc &c, int fd, std::string &buf);
// Waits until the child has written text on its terminal.
bool wait_for(child_proc &c, std::string_view text);
void type(const child_proc &c, std::string_view keys);
// Child side: runs body with reports going to report_write, then _exit(0).
[[noreturn]] void run_child(int report_write, const std::function<void()> &body);
// Runs body in a child whose standard streams and controlling terminal are
// a new pseudo-terminal.
child_proc start_on_pty(const std::function<void()> &body);
// Collects the rest of the child's output and reports and reaps it; a child
// still running at the deadline is killed.  Expects the child to end by
// the signal end_signal, or by exit when it is 0.
outcome finish(child_proc &c, int end_signal = 0);

#define START_ON_PTY(c, body)                                                                      \
    kovtest::child_proc c = kovtest::start_on_pty(body);                                           \
    if (c.pid < 0)                                                                                 \
    GTEST_SKIP() << "no pseudo-terminal: " << strerror(errno)

}  // namespace kovtest

#endif
