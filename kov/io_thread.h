/* SPDX-License-Identifier: MIT */
// The one shape of the kov library's I/O threads: a thread of the library's
// own that does the jobs one caller hands over, one after another, while the
// caller goes on.  The page output (page_output.h), the value file's chunk
// writer (sort_values.h) and the writeback (writeback.h) are each one; each
// says what a job is and what it does, how many jobs may be handed over
// before the caller waits (Depth), and whether the jobs not taken up yet are
// done or dropped when it stops.
//
// Invariants:
//  - Threads.  The constructor starts one thread with every signal blocked
//    (start_library_thread), so that no signal meant for the caller is ever
//    delivered to it; it does the jobs and nothing else.  Every other call
//    comes from the caller's thread.  The thread ends at stop(), which the
//    destructor calls; an owner whose jobs use members of its own declared
//    before the io_thread calls stop() first, in its own destructor.
//  - Without a thread (none could be started), hand() does the job at once
//    on the caller's thread and offer() drops it, so that the caller goes on
//    without the thread.
//  - Job accounting.  handed >= taken >= done: a job is handed over, taken up
//    by the thread, then done.  taken - done <= 1: one job at a time, in the
//    order handed over.  handed - done <= Depth: hand() waits for room.
//    After stop(), done == handed: every job handed over was done, or
//    dropped (counted as taken and done, never run), and none comes after.
//  - Failure.  A job returns 0 or the errno of its failure.  The errno of
//    the first failed job is kept and never replaced: error(), drain() and
//    stop() report it from then on.  Later jobs still run; a job that must
//    not follow a failure reads error() itself.
#ifndef KOV_IO_THREAD_H
#define KOV_IO_THREAD_H

#include <assert.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

// Starts body on a thread of the library's own, with every signal blocked
// so that no signal meant for the caller is delivered to it.  Returns a
// thread that is not joinable when none could be started.
std::thread start_library_thread(std::function<void()> body);

template <class Job, unsigned Depth>
class io_thread {
    static_assert(Depth >= 1, "one job at least must fit");

  public:
    // What stop() does with the jobs handed over and not taken up yet.
    enum class at_stop { finish, drop };

    // Starts the thread that does each job with work, which returns 0 or the
    // errno of its failure.
    explicit io_thread(std::function<int(const Job &)> work)
        : work_(std::move(work)), thread_(start_library_thread([this] { loop(); })),
          threaded_(thread_.joinable())
    {
    }
    ~io_thread() { stop(at_stop::finish); }
    io_thread(const io_thread &) = delete;
    io_thread &operator=(const io_thread &) = delete;

    // Hands job over, first waiting while Depth jobs are not done; without
    // a thread, does it now.
    void hand(const Job &job)
    {
        assert(!stopped_);
        if (!threaded_) {
            handed_++;
            taken_++;
            end_job(work_(job));
            return;
        }
        {
            std::unique_lock<std::mutex> lock(mutex_);
            idle_.wait(lock, [this] { return handed_ - done_ < Depth; });
            push(job);
        }
        wake_.notify_one();
    }

    // Hands job over unless a job handed before still waits to be taken up
    // (it will do for both); never waits.  Without a thread, drops it.
    // Returns whether it was handed over.
    bool offer(const Job &job)
    {
        assert(!stopped_);
        if (!threaded_)
            return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (taken_ != handed_ || handed_ - done_ >= Depth)
                return false;
            push(job);
        }
        wake_.notify_one();
        return true;
    }

    // Waits until at most n of the jobs handed over are not done.
    void wait_until(unsigned n)
    {
        if (!threaded_)
            return;
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [&] { return handed_ - done_ <= n; });
    }

    // Waits until every job handed over is done; returns error().
    int drain()
    {
        wait_until(0);
        return error();
    }

    // The errno of the first job that failed, or 0.  Never waits; the thread
    // may call it too.
    int error() const { return error_.load(std::memory_order_acquire); }

    // Ends the thread once the job under way is done and, with finish, every
    // job handed over; with drop, the jobs not taken up yet are dropped.
    // Returns error().  No job may be handed over after it; a second call
    // only returns error().
    int stop(at_stop waiting)
    {
        if (!stopped_ && threaded_) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                stop_ = waiting == at_stop::finish ? stop_state::finish : stop_state::drop;
            }
            wake_.notify_one();
            thread_.join();
        }
        stopped_ = true;
        assert(done_ == handed_);
        return error();
    }

  private:
    enum class stop_state { running, finish, drop };

    // Queues job; the caller holds the lock and has seen room for it.
    void push(const Job &job)
    {
        assert(handed_ - done_ < Depth);
        ring_[handed_ % Depth] = job;
        handed_++;
        check();
    }

    // Counts the job taken up last as done, keeping its errno if it is the
    // first failure.
    void end_job(int err)
    {
        assert(err >= 0);
        if (err != 0 && ++failures_ == 1)
            error_.store(err, std::memory_order_release);
        assert((failures_ == 0) == (error_.load(std::memory_order_relaxed) == 0));
        done_++;
        check();
    }

    void check() const
    {
        assert(done_ <= taken_ && taken_ <= handed_);
        assert(taken_ - done_ <= 1 && handed_ - done_ <= Depth);
    }

    void loop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return taken_ != handed_ || stop_ != stop_state::running; });
            if (taken_ == handed_ || stop_ == stop_state::drop) {
                assert(stop_ != stop_state::running && done_ == taken_);
                taken_ = done_ = handed_;
                return;
            }
            Job job = ring_[taken_ % Depth];
            taken_++;
            check();
            lock.unlock();
            int err = work_(job);
            lock.lock();
            end_job(err);
            idle_.notify_one();
        }
    }

    std::function<int(const Job &)> work_;
    std::mutex mutex_;              // guards the ring, the counts and stop_
    std::condition_variable wake_;  // to the thread: a job or the stop
    std::condition_variable idle_;  // to the caller: a job done
    Job ring_[Depth] = {};          // jobs handed over, at their count modulo Depth
    uint64_t handed_ = 0, taken_ = 0, done_ = 0;
    uint64_t failures_ = 0;          // jobs that failed
    std::atomic<int> error_{0};      // errno of the first, or 0
    stop_state stop_ = stop_state::running;
    bool stopped_ = false;           // stop() was called; the caller's alone
    std::thread thread_;             // the thread, unless none could be started
    const bool threaded_;
};

#endif /* KOV_IO_THREAD_H */
