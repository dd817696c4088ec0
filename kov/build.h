/* SPDX-License-Identifier: MIT */
// The build of a new file: the B-tree writer that writes its pages
// (btree_writer.h), the switch that makes them live (btree_switch.h), the
// room given ahead on the disk, and the chains of large values written
// ahead (store_chained).  build.cpp says how a build begins and ends.
//
// Conventions: calls that can fail return -1 with the failure recorded in
// the handle's failure status (failure.h), and 0 otherwise (store_chained
// as kov_sorter::add, or 2).
#ifndef KOV_BUILD_H
#define KOV_BUILD_H

#include "handle.h"

#include <stdint.h>

namespace kov_lib {

uint64_t record_footprint(uint64_t n, uint64_t page);
bool large_pages(kov_handle db);
const char *room_error(int e);
bool build_wanted(kov_handle db);
int build_begin(kov_handle db);
int build_room(kov_handle db, uint64_t n, int *e);
int build_add(kov_handle db, datum key, datum value);
const kov_context::chain_ref *chain_of(kov_handle db, datum key);
int build_add_merged(kov_handle db, datum key, datum value, const kov_context::chain_ref *chain);
int end_build(kov_handle db, bool *fell_back = nullptr, bool sync_failed = false);
int store_chained(kov_handle db, datum key, datum value, bool must_be_new);

}  // namespace kov_lib

#endif
