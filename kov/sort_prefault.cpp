// SPDX-License-Identifier: MIT
// The sorter's prefaulter (see sort_prefault.h).

#include "sort_prefault.h"

#include <assert.h>
#include <errno.h>
#include <sys/mman.h>

#include "writeback.h"

namespace kov_sort {

bool populate(void *p, size_t n)
{
#ifdef MADV_POPULATE_WRITE
    return madvise(p, n, MADV_POPULATE_WRITE) == 0;
#else
    (void)p;
    (void)n;
    errno = EINVAL;
    return false;
#endif
}

void prefaulter::request(lane l, unsigned char *p, size_t n)
{
    assert(l < lane_count && n > 0);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unsupported_)
            return;
        range &r = pending_[l];
        if (r.n && r.p + r.n == p)
            r.n += n;
        else
            r = {p, n};
    }
    if (!thread_.joinable()) {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = false;
        thread_ = start_library_thread([this] { loop(); });
        if (!thread_.joinable()) {
            unsupported_ = true;
            pending_[l] = {};
            return;
        }
    }
    wake_.notify_one();
}

void prefaulter::settle(lane l)
{
    std::unique_lock<std::mutex> lock(mutex_);
    pending_[l] = {};
    idle_.wait(lock, [this, l] { return busy_ != static_cast<int>(l); });
}

void prefaulter::stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        for (range &r : pending_)
            r = {};
    }
    wake_.notify_one();
    thread_.join();
    assert(busy_ == -1);
}

void prefaulter::loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        int l = 0;
        wake_.wait(lock, [this, &l] {
            for (l = 0; l < lane_count; l++)
                if (pending_[l].n)
                    return true;
            return stop_;
        });
        if (stop_)
            return;
        range r = pending_[l];
        pending_[l] = {};
        busy_ = l;
        lock.unlock();
        bool ok = populate(r.p, r.n);
        int err = errno;
        lock.lock();
        busy_ = -1;
        // Other failures (no memory just now) leave the pages to the
        // caller's writes; a kernel without the advice fails every time.
        if (!ok && err == EINVAL) {
            unsupported_ = true;
            for (range &p : pending_)
                p = {};
        }
        idle_.notify_all();
    }
}

}  // namespace kov_sort
