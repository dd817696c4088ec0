/* SPDX-License-Identifier: MIT */
// The list of a process's open kov handles, and the exit hook that commits
// those still open when the process exits without closing them.
//
// Conventions: a handle is on the list from the end of kov_open to the start
// of kov_close; the list is guarded by one lock, which the exit hook holds
// while it writes.
#ifndef KOV_OPEN_LIST_H
#define KOV_OPEN_LIST_H

#include "handle.h"

namespace kov_lib {

void link_handle(kov_handle db);
void unlink_handle(kov_handle db);

}  // namespace kov_lib

#endif
