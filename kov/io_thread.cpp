// SPDX-License-Identifier: MIT
// The library's own threads (see io_thread.h).

#include "io_thread.h"

#include <signal.h>

#include <exception>

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
