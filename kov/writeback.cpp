// SPDX-License-Identifier: MIT
// The writeback of the kov library (see writeback.h).

#include "writeback.h"

#include <errno.h>
#include <unistd.h>

background_writeback::background_writeback(int fd)
    : fd_(fd), syncs_([this](const sync_job &) { return fdatasync(fd_) == 0 ? 0 : errno; })
{
}

background_writeback::~background_writeback()
{
    syncs_.stop(sync_thread::at_stop::drop);
}

int background_writeback::error()
{
    return syncs_.stop(sync_thread::at_stop::drop);
}

void background_writeback::kick()
{
    syncs_.offer(sync_job{});
}
