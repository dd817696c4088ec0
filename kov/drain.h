/* SPDX-License-Identifier: MIT */
// The ordered drain of a new file: stores into the sorter (store_new_file),
// and the loop that takes records in ascending key order, from the
// sorter's merge or straight from a dump in key order, into the one sink
// (sink_put): the build while one is under way, SQLite's inserts otherwise.
//
// Conventions: calls that can fail return -1 with the failure recorded in
// the handle's failure status (failure.h), and 0 otherwise.
#ifndef KOV_DRAIN_H
#define KOV_DRAIN_H

#include "handle.h"

namespace kov_lib {

int write_held(kov_handle db, bool last = false, bool keep_building = false);
int store_new_file(kov_handle db, datum key, datum value, int flag);

}  // namespace kov_lib

#endif
