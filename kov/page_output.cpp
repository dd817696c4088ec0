// SPDX-License-Identifier: MIT
// The page output of the kov library (see page_output.h).

#include "page_output.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "sort_buffer.h"

namespace {

// Bytes of one batch.  Large enough that the disk takes it at full speed in
// one request, small enough to leave the memory bound of the restore alone.
constexpr size_t batch_bytes = 1u << 20;

// Pages smaller than this are written through the page cache: a direct
// write must be aligned to the device's blocks, which may be 4 KiB.
constexpr uint32_t min_direct_page = 4096;

}  // namespace

int page_output_open_direct(int fd)
{
    char link[48];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    int d = open(link, O_WRONLY | O_DIRECT | O_CLOEXEC);
    if (d < 0)
        return -1;
    struct stat a, b;
    if (fstat(d, &a) != 0 || fstat(fd, &b) != 0 || a.st_dev != b.st_dev || a.st_ino != b.st_ino) {
        close(d);
        return -1;
    }
    return d;
}

page_output::page_output(int fd, uint32_t page_size, int direct_fd)
    : fd_(fd), page_size_(page_size), batch_bytes_(std::max<size_t>(batch_bytes, page_size)),
      writes_([this](batch *const &b) { return write_batch(*b); })
{
    if (page_size >= min_direct_page && page_size % min_direct_page == 0)
        direct_fd_ = direct_fd;
}

page_output::~page_output()
{
    // The batches go only once the thread has written them.
    writes_.stop(write_thread::at_stop::finish);
    for (batch &b : batches_)
        kov_sort::unmap_memory(b.bytes, batch_bytes_);
}

int page_output::write(uint32_t page, const uint8_t *bytes)
{
    uint8_t *to = slot(page);
    if (!to)
        return -1;
    memcpy(to, bytes, page_size_);
    return 0;
}

uint8_t *page_output::slot(uint32_t page)
{
    batch *b = &batches_[filling_];
    if (b->used && (page != b->first + b->used / page_size_ || b->used + page_size_ > batch_bytes_)) {
        submit();
        b = &batches_[filling_];
    }
    if (int err = writes_.error()) {
        errno = err;
        return nullptr;
    }
    // Mapped memory is aligned as a direct write needs.
    if (!b->bytes && !(b->bytes = static_cast<uint8_t *>(kov_sort::map_memory(batch_bytes_))))
        return nullptr;
    if (!b->used) {
        b->first = page;
        b->seq = queued_;
    }
    uint8_t *to = b->bytes + b->used;
    b->used += page_size_;
    queued_++;
    // A batch holds consecutive pages from its first, and no more than fit.
    assert(b->used <= batch_bytes_ && page == b->first + b->used / page_size_ - 1);
    assert(queued_ == b->seq + b->used / page_size_);
    return to;
}

int page_output::flush()
{
    if (batches_[filling_].used)
        submit();
    if (int err = writes_.drain()) {
        errno = err;
        return -1;
    }
    return 0;
}

// Whether the first n pages queued were written: no batch failed, or the
// one that failed came after them.  Called after flush(), when the thread
// has settled every batch, so failed_seq_ is the failed job's.
bool page_output::written(uint64_t n)
{
    return writes_.error() == 0 || failed_seq_ >= n;
}

// Hands the batch being filled to the thread (which without one writes it
// at once) and waits until the other batch is written, free to be filled.
void page_output::submit()
{
    batch &b = batches_[filling_];
    filling_ ^= 1;
    writes_.hand(&b);
    writes_.wait_until(1);
    assert(batches_[filling_].used == 0);
}

// Writes a batch, unless a write failed before, and empties it.  Returns 0
// or the errno of the failed write.
int page_output::write_batch(batch &b)
{
    assert(b.used % page_size_ == 0 && b.first >= 1);
    size_t done = 0;
    off_t at = static_cast<off_t>(b.first - 1) * page_size_;
    // Nothing queued after a failure is written.
    bool failed = writes_.error() != 0;
    int err = 0;
    while (!failed && done < b.used) {
        int direct = direct_fd_;
        int fd = direct >= 0 ? direct : fd_;
        ssize_t n = pwrite(fd, b.bytes + done, b.used - done, at + static_cast<off_t>(done));
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EINVAL && fd == direct) {
            // The file system takes no direct write here: ordinary writes
            // from now on.  The descriptor stays open: it is the caller's.
            direct_fd_ = -1;
            continue;
        }
        err = n < 0 ? errno : EIO;
        failed_page_ = b.first;
        failed_seq_ = b.seq;
        failed = true;
    }
    b.used = 0;
    return err;
}
