/* SPDX-License-Identifier: MIT */
// The page output of the kov library: the pages the B-tree writer makes go
// to the disk from a thread of its own, in large writes that bypass the
// kernel's page cache.
//
// Why: a buffered write first makes the kernel find a free page of memory
// for every 4 KiB of the file and copy into it; on a virtual machine whose
// memory the host has taken back, that costs several times the write itself,
// almost all of it in the kernel, and the file's pages must still go to the
// disk at the sync.  Written with O_DIRECT, the same bytes go from the batch to the disk
// once, and the caller builds the next batch meanwhile.
//
// Invariants:
//  - Order.  Pages are queued in the order given; consecutive page numbers
//    share a batch, and batches are written one after another in the order
//    queued, so a page given twice ends with its last bytes.
//  - Memory.  Two batches of batch_bytes, mapped when first used: one
//    filling, one being written.  write() waits for the one being written
//    when the other is full.
//  - The file.  Written through a second descriptor of the caller's file
//    opened with O_DIRECT (page_output_open_direct), which the caller owns:
//    closing any descriptor of a file drops every POSIX lock the process
//    holds on it, SQLite's included, so the caller closes it only once its
//    SQLite connection is closed.  Without one, or once a direct write is
//    refused for its alignment, through the caller's descriptor with
//    ordinary writes, from then on.  Neither way syncs: the caller syncs
//    after flush(), as for any write.
//  - Threads.  One io_thread (io_thread.h), started with every signal
//    blocked, does the writes and nothing else, a batch per job; it ends
//    with the object, after writing what was queued.  Without it (it could
//    not be started) the caller writes each batch itself.
//  - Failure.  The errno of the first failed write is kept: write() and
//    flush() return -1 with it set from then on, and failed_page() names the
//    first page of the batch that failed.  Nothing queued after a failure
//    is written; every page queued before that batch was (written()).
//    A batch's pages are consecutive in the order queued: seq is the place
//    of its first, and queued_ counts every page handed a slot.
#ifndef KOV_PAGE_OUTPUT_H
#define KOV_PAGE_OUTPUT_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "io_thread.h"

// A second descriptor of the file open as fd, for direct writes, or -1
// where the file system refuses them.  The caller closes it.
int page_output_open_direct(int fd);

class page_output {
  public:
    // Pages of page_size bytes of the file open for writing as fd, and as
    // direct_fd with O_DIRECT (or -1), which stay the caller's and must stay
    // open while the object exists.
    page_output(int fd, uint32_t page_size, int direct_fd);
    ~page_output();
    page_output(const page_output &) = delete;
    page_output &operator=(const page_output &) = delete;

    // Queues page number page (the first is 1) with its page_size bytes,
    // copied.  Returns 0, or -1 with errno set after a failed write.
    int write(uint32_t page, const uint8_t *bytes);

    // Queues page number page and returns where its page_size bytes go,
    // which the caller fills in whole before the next call; nullptr with
    // errno set after a failed write.  Saves write()'s copy for a page
    // built in place.
    uint8_t *slot(uint32_t page);

    // Writes everything queued and waits for it.  Returns 0, or -1 with
    // errno set.
    int flush();

    // The first page of the batch whose write failed, or 0.
    uint32_t failed_page() const { return failed_page_; }

    // Pages queued so far (write and slot calls that succeeded).
    uint64_t queued() const { return queued_; }

    // After flush(): whether the first n pages queued were all written,
    // whatever failed after them.
    bool written(uint64_t n);

    // Whether the pages go to the disk bypassing the page cache.
    bool direct() const { return direct_fd_ >= 0; }

  private:
    struct batch {
        uint8_t *bytes = nullptr;
        uint32_t first = 0;  // page number of its first page
        uint64_t seq = 0;    // place of its first page in the order queued
        size_t used = 0;     // bytes queued
    };

    // One batch being written while the other fills, and for a moment the
    // one just handed over besides.
    using write_thread = io_thread<batch *, 2>;

    void submit();
    int write_batch(batch &b);

    int fd_;
    std::atomic<int> direct_fd_{-1};  // -1 once direct writes are refused
    uint32_t page_size_;
    size_t batch_bytes_;
    batch batches_[2];
    int filling_ = 0;             // the batch write() fills
    uint64_t queued_ = 0;         // pages queued, in the caller's thread
    uint32_t failed_page_ = 0;    // set by the job that fails, before its errno is kept
    uint64_t failed_seq_ = 0;     // seq of the batch that failed, likewise
    write_thread writes_;
};

#endif /* KOV_PAGE_OUTPUT_H */
