/* SPDX-License-Identifier: MIT */
// Checks shared by the fuzz targets and by the test that replays their
// corpora.  Each check runs one input through the real dump reader (and for
// the restore check the real kov library) and compares every step with a
// plain byte-at-a-time model of the dump format written from its grammar.
//
// A check returns the empty string when every invariant held, otherwise a
// description of the first one that did not.  The fuzz targets abort on a
// non-empty result; the replay test reports it as a failure.
#ifndef KOV_FUZZ_CHECKS_H
#define KOV_FUZZ_CHECKS_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace kovfuzz {

// The reader primitives, called in the order of the record grammar on an
// in-memory stream holding the input.  The input's length picks the stream's
// buffer size, so that fields and escapes fall across buffer boundaries as
// the input grows and shrinks.  Invariants: each primitive returns what the
// model returns, prints what the model prints and leaves the stream at the
// model's position; an accepted field holds exactly its declared number of
// bytes, the model's bytes; the canonical encoding of an accepted record
// reads back to the same bytes.
std::string check_reader(const uint8_t *data, size_t size);
// The same on a stream whose buffer holds buffer_size bytes (0: the C
// library's default).
std::string check_reader(const std::string &input, size_t buffer_size);

// The whole record loop of kovrestore over the input (the dump text, used
// as is), storing into a new kov database at db_path, which must not exist
// and is removed afterwards.  Invariants: the loop ends where the model ends
// (clean end or failure); the database passes SQLite's integrity check and
// holds exactly the records the model stored, byte for byte; the canonical
// dump of every stored record reads back to the same record.
std::string check_restore(const uint8_t *data, size_t size, const std::string &db_path);

// The B-tree writer over records decoded from the input (a byte choosing
// the page size, then records whose keys and values range from empty to
// spanning overflow pages), writing a new file at db_path, which is
// replaced if it exists and removed afterwards.  Invariants: every record
// is accepted in key order and a key not after the last one is refused;
// the file is exactly the pages finish reports; it passes SQLite's
// integrity check and holds exactly the records, byte for byte.
std::string check_btree(const uint8_t *data, size_t size, const std::string &db_path);

}  // namespace kovfuzz

#endif
