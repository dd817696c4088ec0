/* SPDX-License-Identifier: MIT */
// The writeback of the kov library: a file put on stable storage from a
// thread of its own while the caller goes on writing it.
//
// The key-order write (the drain in drain.cpp) kicks it at every commit,
// so that the disk works while the rest of the B-tree is built and the
// fsync at kov_close finds little left to do.  A build whose pages go past
// the page cache (page_output.h) leaves nothing for it to do, and does not
// kick it.
//
// Invariants:
//  - Threads.  One io_thread (io_thread.h), started with every signal
//    blocked, does one thing: fdatasync(fd) once after each kick, kicks that
//    arrive during a sync folding into one more sync.  Everything else (the
//    kicks, error(), the destructor) runs on the caller's thread, and the
//    object lives only inside the library call that writes, so the thread
//    never outlives that call and changes nothing the caller can see.
//  - When pages reach the disk.  A kick asks for the pages written before
//    it: they are on the disk once the sync that the thread starts after
//    the kick has returned.  error() waits for a sync under way to end but
//    drops a kick the thread has not taken up yet; it comes after the last
//    commit, whose pages the sync at kov_close puts on the disk.  Nothing
//    here promises durability: kov_close still syncs the file and its
//    directory.
//  - Failure.  When the thread cannot be started, kicks do nothing and the
//    write goes on without it.  The errno of the first failed fdatasync is
//    kept and returned by error(): the kernel reports a lost write to one
//    fsync only, which may be this one, so the caller must fail on it.
//  - The descriptor stays the caller's; it must stay open while the object
//    exists.
#ifndef KOV_WRITEBACK_H
#define KOV_WRITEBACK_H

#include "io_thread.h"

class background_writeback {
  public:
    // Starts the thread that syncs fd; without it, the object does nothing.
    explicit background_writeback(int fd);
    background_writeback(const background_writeback &) = delete;
    background_writeback &operator=(const background_writeback &) = delete;

    // Stops the thread, after the sync under way if any.
    ~background_writeback();

    // The errno of the first failed fdatasync, or 0.  Call after the last
    // kick; it waits for the thread to finish.
    int error();

    // Asks for one more fdatasync of the file; returns at once.
    void kick();

  private:
    struct sync_job {};
    // One sync under way and one kick waiting, at most.
    using sync_thread = io_thread<sync_job, 2>;

    int fd_;  // the file synced, the caller's
    sync_thread syncs_;
};

#endif /* KOV_WRITEBACK_H */
