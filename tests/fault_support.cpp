#include "fault_support.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdexcept>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace kovfault {

child start(const std::vector<std::string> &argv, const limits &lim)
{
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (lim.file_size != RLIM_INFINITY) {
            struct rlimit r = {lim.file_size, lim.file_size};
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &r);
        }
        if (lim.address_space != RLIM_INFINITY) {
            struct rlimit r = {lim.address_space, lim.address_space};
            setrlimit(RLIMIT_AS, &r);
        }
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    return child{pid, in[1], out[0], err[0]};
}

bool feed(child &c, const void *bytes, size_t size)
{
    const char *p = static_cast<const char *>(bytes);
    while (size > 0) {
        ssize_t w = write(c.in, p, size);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        size -= static_cast<size_t>(w);
    }
    return true;
}

bool feed(child &c, const std::string &bytes)
{
    return feed(c, bytes.data(), bytes.size());
}

static std::string drain(int fd)
{
    std::string s;
    char buf[65536];
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        s.append(buf, static_cast<size_t>(got));
    }
    close(fd);
    return s;
}

kovtest::run_result finish(child &c)
{
    close(c.in);
    kovtest::run_result r;
    // The programs write a line or two at most, far less than a pipe holds,
    // so reading one stream after the other cannot block the child.
    r.err = drain(c.err);
    r.out = drain(c.out);
    int status;
    while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.exited = WIFEXITED(status);
    r.status = r.exited ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return r;
}

static uint64_t splitmix(uint64_t &state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

kovtest::record generated_record(size_t i)
{
    static const char printable[] = "abcdefghijklmnopqrstuvwxyz0123456789 .,-";
    char key[16];
    snprintf(key, sizeof key, "%09zu", i);
    uint64_t state = i;
    size_t size = 1000 + splitmix(state) % 7001;
    std::string value(size, '\0');
    for (size_t k = 0; k < size; k++) {
        uint64_t r = splitmix(state);
        value[k] = r % 10 == 0 ? static_cast<char>(r >> 8)
                               : printable[(r >> 8) % (sizeof printable - 1)];
    }
    return {key, value};
}

generated_dump generate_dump(size_t size)
{
    generated_dump d;
    d.text.reserve(size + 32768);
    for (size_t i = 0; d.text.size() < size; i++) {
        kovtest::record r = generated_record(i);
        d.text += kovtest::dump_record(r.first, r.second);
        d.ends.push_back(d.text.size());
    }
    return d;
}

memory_dir::memory_dir()
{
    const char *tmp = getenv("TMPDIR");
    for (std::string parent : {std::string("/dev/shm"), std::string(tmp && *tmp ? tmp : "/tmp")}) {
        std::string pattern = parent + "/kovfault.XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data())) {
            dir_ = buf.data();
            return;
        }
    }
    throw std::runtime_error("mkdtemp");
}

memory_dir::~memory_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

}  // namespace kovfault
