// Helpers shared by the tests: running a real program with real pipes or on
// a pseudo-terminal, scratch directories, and reading a kov file back
// through SQLite.
#ifndef KOV_TEST_SUPPORT_H
#define KOV_TEST_SUPPORT_H

#include <stdio.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kovtest {

// How a run ended and what it wrote.
struct run_result {
    bool exited = false;   // ended through exit or a return from main
    int status = -1;       // exit status when exited
    int signal = 0;        // terminating signal otherwise
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
};

// Where the child's standard input comes from.
struct stdin_spec {
    enum kind_t { pipe_data, file, closed } kind = pipe_data;
    std::string data;      // written through a pipe for pipe_data
    std::string path;      // opened read-only for file
};

stdin_spec from_data(std::string data);
stdin_spec from_file(std::string path);
stdin_spec closed_stdin();

// Runs argv[0] (a path) with argv and the given standard input, collecting
// both output streams, and waits for it.
run_result run(const std::vector<std::string> &argv, const stdin_spec &in);

// Shorthand for a run of the restore tool on dump text.
run_result restore(const std::string &db, const std::string &dump);

// A fresh directory removed with its contents at the end of the scope.
class scratch_dir {
  public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    const std::string &dir() const { return dir_; }

  private:
    std::string dir_;
};

using record = std::pair<std::string, std::string>;

// Every row of a kov file in ascending key order.  Fails the current test
// when a key or value is not a BLOB or the file does not pass SQLite's
// integrity check.
std::vector<record> read_kov(const std::string &path);

// One record in the canonical dump form.
std::string dump_record(const std::string &key, const std::string &value);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);

// A read-only stream over a copy of text.  With a buffer_size the stream's
// buffer holds that many bytes, so that reads cross buffer boundaries where
// a test wants them; 0 keeps the C library's buffer.
class text_stream {
  public:
    explicit text_stream(const std::string &text, size_t buffer_size = 0);
    ~text_stream();
    text_stream(const text_stream &) = delete;
    text_stream &operator=(const text_stream &) = delete;
    FILE *get() { return f_; }
    // Everything not read yet, read now.
    std::string rest();

  private:
    std::string text_;
    std::vector<char> buffer_;
    FILE *f_;
};

// Runs fn with standard error sent to a file; returns what it wrote there.
std::string capture_stderr(const std::function<void()> &fn);

// A child process driven through a pseudo-terminal, as its user would.
// Every wait has a deadline, and a child still running at the deadline is
// killed and reaped.  The child reports what it sees through a pipe: each
// report() is one field of the outcome's reports.
using clock_type = std::chrono::steady_clock;
constexpr std::chrono::seconds time_limit{10};

struct child_proc {
    pid_t pid = -1;
    int term = -1;      // pty master, or the read end of the child's stderr
    int reports = -1;   // read end of the report pipe
    std::string out;    // everything read from term so far
    clock_type::time_point deadline = clock_type::now() + time_limit;
};

struct outcome {
    bool exited = false;
    int status = -1;
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
// still running at the deadline is killed.
outcome finish(child_proc &c);

#define START_ON_PTY(c, body)                                      \
    kovtest::child_proc c = kovtest::start_on_pty(body);           \
    if (c.pid < 0)                                                 \
        GTEST_SKIP() << "no pseudo-terminal: " << strerror(errno)

}  // namespace kovtest

#endif
