/* SPDX-License-Identifier: MIT */
// Why a file is not a kov database: the third line of kovdump's open
// failure when the library refuses the file (EINVAL).
//
// Conventions:
//  - The file is only looked at, never changed: it is opened read-only
//    without blocking (a FIFO is never read), and SQLite reads it as
//    immutable, so that it takes no lock and never touches a journal or a
//    -wal beside it.
//  - The checks follow the library's own order (the kind of file, its
//    size, the SQLite header, the application id, the format version, the
//    kov table), so the line names the first thing that made it refuse.
#ifndef KOV_NOT_KOV_H
#define KOV_NOT_KOV_H

#include <string>

// A text for "NAME: TEXT" saying what name holds instead of a kov database,
// or "" when nothing here explains the refusal (then nothing is printed).
std::string not_kov_reason(const char *name);

#endif
