// Helpers of the fault-injection tests: running kovrestore under resource
// limits with its standard input fed piece by piece, so that a test can
// stream a dump larger than it wants to hold, or kill the process partway.
#ifndef KOV_FAULT_SUPPORT_H
#define KOV_FAULT_SUPPORT_H

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace kovfault {

// Limits set in the child before it runs the program.
struct limits {
    rlim_t file_size = RLIM_INFINITY;      // RLIMIT_FSIZE; SIGXFSZ is then ignored
    rlim_t address_space = RLIM_INFINITY;  // RLIMIT_AS
};

// A running program whose standard input is a pipe we write.
struct child {
    pid_t pid = -1;
    int in = -1;   // write end of its standard input
    int out = -1;  // read end of its standard output
    int err = -1;  // read end of its standard error
};

child start(const std::vector<std::string> &argv, const limits &lim = {});

// Writes all of bytes to the child's input.  Returns false once the child
// has stopped reading (its end of the pipe is closed).
bool feed(child &c, const void *bytes, size_t size);
bool feed(child &c, const std::string &bytes);

// Closes the child's input, collects its output and waits for it.
kovtest::run_result finish(child &c);

// Record i of a large generated dump.  Keys are zero-padded numbers, so key
// order is dump order; values are 1000 to 8000 bytes, mostly printable with
// one byte in ten of any value.
kovtest::record generated_record(size_t i);

// Generated records in canonical dump form up to at least size bytes, with
// the offset just past each record.
struct generated_dump {
    std::string text;
    std::vector<size_t> ends;
};
generated_dump generate_dump(size_t size);

// A fresh directory on a memory file system when there is one (/dev/shm),
// for tests that write large databases; removed with its contents at the end
// of the scope.
class memory_dir {
  public:
    memory_dir();
    ~memory_dir();
    memory_dir(const memory_dir &) = delete;
    memory_dir &operator=(const memory_dir &) = delete;
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
};

}  // namespace kovfault

#endif
