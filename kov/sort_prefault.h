/* SPDX-License-Identifier: MIT */
// Memory of the sorter's buffer faulted in ahead of its use, from a thread
// of the library's own.
//
// The first write to a page of fresh anonymous memory stops the writer
// while the kernel finds a page, zeroes it and maps it.  A buffer filled
// record by record pays that once per page, in the caller's thread.  The
// prefaulter has the kernel fault in whole ranges at once
// (MADV_POPULATE_WRITE, which maps the pages writable without writing to
// them), on a thread of its own, so that the caller finds them mapped.
//
// Invariants:
//  - Requests are hints.  Each lane (a region the buffer grows) holds at
//    most one range not yet taken up; a new request extends it when it
//    follows on, and replaces it otherwise.  The pages of a range dropped,
//    or never reached, are faulted in by the caller's own writes, as
//    without the prefaulter.
//  - The caller requests only memory it has mapped and counted, and keeps
//    it mapped in place until settle() for that lane (or stop()) has
//    returned: after it, the thread neither holds nor works on a range of
//    the lane.  Populating writes nothing, so the contents of the memory
//    are never changed, and no page outside the ranges requested is
//    touched.
//  - Threads.  The thread starts at the first request (start_library_thread:
//    every signal blocked) and ends at stop() or with the object; it calls
//    nothing of the caller's and only madvise.  Where it cannot start, or
//    the kernel does not know MADV_POPULATE_WRITE (EINVAL), requests are
//    dropped from then on.  Every member but the thread itself is guarded
//    by mutex_.
#ifndef KOV_SORT_PREFAULT_H
#define KOV_SORT_PREFAULT_H

#include <stddef.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace kov_sort {

// Faults in [p, p + n) at once, in the calling thread; false where the
// kernel cannot (it then faults the pages in as they are written).  p must
// lie on a page boundary.
bool populate(void *p, size_t n);

class prefaulter {
  public:
    enum lane { blocks_lane, entries_lane, lane_count };

    prefaulter() = default;
    prefaulter(const prefaulter &) = delete;
    prefaulter &operator=(const prefaulter &) = delete;
    ~prefaulter() { stop(); }

    // Asks for the n bytes at p, which start on a page boundary, to be
    // faulted in; returns at once.
    void request(lane l, unsigned char *p, size_t n);

    // Drops the range of lane l not yet taken up, and waits for one being
    // faulted in: the lane's memory may then be moved or unmapped.
    void settle(lane l);

    // Drops every request and ends the thread; a later request starts
    // another.
    void stop();

  private:
    struct range {
        unsigned char *p = nullptr;
        size_t n = 0;
    };

    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;  // a request, or stop
    std::condition_variable idle_;  // a range done
    range pending_[lane_count];     // not yet taken up, per lane
    int busy_ = -1;                 // the lane of the range being faulted in, or -1
    bool stop_ = false;             // the thread is to end
    bool unsupported_ = false;      // no thread, or no MADV_POPULATE_WRITE: drop requests
    std::thread thread_;
};

}  // namespace kov_sort

#endif
