// SPDX-License-Identifier: MIT
// The writeback of the kov library (see writeback.h).

#include "writeback.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <exception>
#include <utility>

std::thread start_library_thread(std::function<void()> body)
{
    // The new thread inherits the mask in force when it is made.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::thread t;
    try {
        t = std::thread(std::move(body));
    } catch (const std::exception &) {
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

background_writeback::background_writeback(int fd)
    : fd_(fd), thread_(start_library_thread([this] { loop(); }))
{
}

background_writeback::~background_writeback()
{
    stop();
}

int background_writeback::error()
{
    stop();
    return error_;
}

void background_writeback::kick()
{
    signal(&pending_);
}

void background_writeback::stop()
{
    if (signal(&stop_))
        thread_.join();
}

// Sets *flag under the lock and wakes the thread; false when there is no
// thread.
bool background_writeback::signal(bool *flag)
{
    if (!thread_.joinable())
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        *flag = true;
    }
    wake_.notify_one();
    return true;
}

void background_writeback::loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return pending_ || stop_; });
        if (stop_)
            return;
        pending_ = false;
        lock.unlock();
        int rc = fdatasync(fd_);
        int saved = errno;
        lock.lock();
        if (rc != 0 && error_ == 0)
            error_ = saved;
    }
}
