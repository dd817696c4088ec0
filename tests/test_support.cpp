#include "test_support.h"

#include "dump_text.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <sqlite3.h>

extern char **environ;

namespace kovtest {

stdin_spec from_data(std::string data)
{
    stdin_spec s;
    s.data = std::move(data);
    return s;
}

stdin_spec from_file(std::string path)
{
    stdin_spec s;
    s.kind = stdin_spec::file;
    s.path = std::move(path);
    return s;
}

stdin_spec closed_stdin()
{
    stdin_spec s;
    s.kind = stdin_spec::closed;
    return s;
}

run_result run(const std::vector<std::string> &argv, const stdin_spec &in)
{
    // A reader that stops early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int in_pipe[2] = {-1, -1}, out_pipe[2], err_pipe[2];
    if (in.kind == stdin_spec::pipe_data && pipe2(in_pipe, O_CLOEXEC))
        throw std::runtime_error("pipe");
    if (pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
        throw std::runtime_error("pipe");

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    switch (in.kind) {
    case stdin_spec::pipe_data:
        posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
        break;
    case stdin_spec::file:
        posix_spawn_file_actions_addopen(&fa, 0, in.path.c_str(),
                                         O_RDONLY, 0);
        break;
    case stdin_spec::closed:
        posix_spawn_file_actions_addclose(&fa, 0);
        break;
    }
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);

    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0].c_str(), &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (in_pipe[0] >= 0)
        close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0)
        throw std::runtime_error("posix_spawn " + argv[0] + ": " + strerror(rc));

    run_result r;
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (in_fd >= 0 && in.data.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    std::string *sinks[2] = {&r.out, &r.err};
    int fds[2] = {out_pipe[0], err_pipe[0]};
    while (fds[0] >= 0 || fds[1] >= 0 || in_fd >= 0) {
        pollfd p[3];
        int n = 0;
        for (int i = 0; i < 2; i++)
            if (fds[i] >= 0)
                p[n++] = {fds[i], POLLIN, 0};
        if (in_fd >= 0)
            p[n++] = {in_fd, POLLOUT, 0};
        if (poll(p, n, -1) < 0 && errno != EINTR)
            break;
        for (int k = 0; k < n; k++) {
            if (!p[k].revents)
                continue;
            if (p[k].fd == in_fd) {
                ssize_t w = write(in_fd, in.data.data() + written,
                                  std::min<size_t>(in.data.size() - written, 65536));
                if (w > 0)
                    written += static_cast<size_t>(w);
                if (w < 0 || written == in.data.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            for (int i = 0; i < 2; i++) {
                if (p[k].fd != fds[i])
                    continue;
                char buf[65536];
                ssize_t got = read(fds[i], buf, sizeof buf);
                if (got > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(got));
                } else {
                    close(fds[i]);
                    fds[i] = -1;
                }
            }
        }
    }
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.exited = WIFEXITED(status);
    r.status = r.exited ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return r;
}

run_result restore(const std::string &db, const std::string &dump)
{
    return run({KOVRESTORE_PATH, db}, from_data(dump));
}

scratch_dir::scratch_dir()
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kovtest.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp");
    dir_ = buf.data();
}

scratch_dir::~scratch_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::vector<record> read_kov(const std::string &path)
{
    std::vector<record> rows;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db);
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
    if (sqlite3_step(st) != SQLITE_ROW)
        ADD_FAILURE() << "integrity_check: " << sqlite3_errmsg(db);
    else
        EXPECT_STREQ("ok", reinterpret_cast<const char *>(sqlite3_column_text(st, 0)))
            << path;
    sqlite3_finalize(st);
    if (sqlite3_prepare_v2(db, "SELECT key, value, typeof(key), typeof(value) FROM kov ORDER BY key",
                           -1, &st, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "no kov table in " << path << ": " << sqlite3_errmsg(db);
        sqlite3_close(db);
        return rows;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
        EXPECT_STREQ("blob", reinterpret_cast<const char *>(sqlite3_column_text(st, 2)));
        EXPECT_STREQ("blob", reinterpret_cast<const char *>(sqlite3_column_text(st, 3)));
        auto column = [st](int i) {
            const char *p = static_cast<const char *>(sqlite3_column_blob(st, i));
            return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, i)));
        };
        rows.emplace_back(column(0), column(1));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

std::string dump_record(const std::string &key, const std::string &value)
{
    return canonical_record(key, value);
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

text_stream::text_stream(const std::string &text, size_t buffer_size)
    : text_(text), buffer_(buffer_size)
{
    // fmemopen wants at least one byte; /dev/null is an empty stream.
    f_ = text_.empty() ? fopen("/dev/null", "r") : fmemopen(text_.data(), text_.size(), "r");
    if (!f_)
        throw std::runtime_error("text_stream");
    if (buffer_size)
        setvbuf(f_, buffer_.data(), _IOFBF, buffer_.size());
}

text_stream::~text_stream()
{
    fclose(f_);
}

std::string text_stream::rest()
{
    std::string out;
    int c;
    while ((c = getc(f_)) != EOF)
        out += static_cast<char>(c);
    return out;
}

std::string capture_stderr(const std::function<void()> &fn)
{
    fflush(stderr);
    FILE *sink = tmpfile();
    int saved = dup(2);
    dup2(fileno(sink), 2);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string out;
    rewind(sink);
    int c;
    while ((c = getc(sink)) != EOF)
        out += static_cast<char>(c);
    fclose(sink);
    return out;
}

int report_fd = -1;

void write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data.remove_prefix(static_cast<size_t>(n));
    }
}

void report(std::string_view field)
{
    std::string record(field);
    record += '\0';
    write_all(report_fd, record);
}

int ms_left(const child_proc &c)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        c.deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool read_some(const child_proc &c, int fd, std::string &buf)
{
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, ms_left(c));
    if (r < 0 && errno == EINTR)
        return true;
    if (r <= 0)
        return false;
    char chunk[512];
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    buf.append(chunk, static_cast<size_t>(n));
    return true;
}

bool wait_for(child_proc &c, std::string_view text)
{
    while (c.out.find(text) == std::string::npos)
        if (!read_some(c, c.term, c.out))
            return false;
    return true;
}

void type(const child_proc &c, std::string_view keys) { write_all(c.term, keys); }

void run_child(int report_write, const std::function<void()> &body)
{
    report_fd = report_write;
    body();
    _exit(0);
}

child_proc start_on_pty(const std::function<void()> &body)
{
    child_proc c;
    int fds[2];
    if (pipe(fds) != 0)
        return c;
    fflush(nullptr);
    c.pid = forkpty(&c.term, nullptr, nullptr, nullptr);
    if (c.pid == 0) {
        close(fds[0]);
        run_child(fds[1], body);
    }
    close(fds[1]);
    c.reports = fds[0];
    return c;
}

outcome finish(child_proc &c)
{
    std::string reports;
    bool term_open = true, reports_open = true;
    while ((term_open || reports_open) && ms_left(c) > 0) {
        struct pollfd p[2] = {{c.term, POLLIN, 0}, {c.reports, POLLIN, 0}};
        if (poll(p, 2, ms_left(c)) <= 0)
            continue;
        if (term_open && p[0].revents)
            term_open = read_some(c, c.term, c.out);
        if (reports_open && p[1].revents)
            reports_open = read_some(c, c.reports, reports);
    }
    if (term_open || reports_open) {
        ADD_FAILURE() << "child did not finish in time; output so far: " << c.out;
        kill(c.pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR)
        ;
    close(c.term);
    close(c.reports);

    outcome o;
    o.exited = WIFEXITED(status);
    o.status = o.exited ? WEXITSTATUS(status) : -1;
    EXPECT_FALSE(WIFSIGNALED(status)) << "child killed by signal " << WTERMSIG(status);
    o.out = c.out;
    for (size_t at = 0; at < reports.size();) {
        size_t end = reports.find('\0', at);
        if (end == std::string::npos)
            end = reports.size();
        o.reports.push_back(reports.substr(at, end - at));
        at = end + 1;
    }
    return o;
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace kovtest
