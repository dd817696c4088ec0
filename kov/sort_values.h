/* SPDX-License-Identifier: MIT */
// The sorter's value file: values of external_value_bytes or more, end to
// end in a nameless temporary file beside the runs, so that the buffer and
// the runs keep only their offset there.
//
// Invariants:
//  - The file holds bytes - staged.size() bytes once the chunk in flight
//    is written; the last values wait in staged, where a merge reads them
//    without a write.  A full staged chunk goes to a thread of its own
//    (chunk_writer), which writes it while the caller goes on: it stays in
//    inflight, readable there, until the next chunk replaces it, and for
//    good if its write failed.
//  - It takes at most a quarter of the space free when it was made (limit);
//    once it is full or a write fails (closed), values are buffered.
//  - piece_left counts, per piece of piece_bytes, the bytes of values not
//    yet handed out for good.  A last merge counts values off at each
//    checkpoint (settle) and gives back every piece that reaches zero; the
//    values handed out since the checkpoint wait in handed_out, since a
//    merge that goes back reads them again.
//  - A dropped file is given back whole, and the merge skips its values.
#ifndef KOV_SORT_VALUES_H
#define KOV_SORT_VALUES_H

#include <errno.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "io_thread.h"
#include "sort_record.h"

namespace kov_sort {

// The value file takes at most this share of the space free on its file
// system when it is created, so that the database still finds room: it only
// saves time, and values that do not go there are buffered as small ones.
constexpr uint64_t value_file_share = 4;

// Values bound for the value file are gathered in a buffer of this size and
// written together.
constexpr size_t staging_bytes = 256u << 10;

// A last merge gives the value file's space back in pieces of this size,
// each once every value in it has been handed out: the pages the kernel
// frees are the ones it fills next with the database, which costs less than
// fresh pages, and the disk never holds the data twice over.  Values stored
// in key order free their pieces as the merge goes; in random order, most
// pieces come free near the end.
constexpr uint64_t piece_bytes = 1u << 20;

// Writes chunks of the value file from a thread of its own (io_thread.h):
// the kernel's copy of a chunk into its cache overlaps the caller's decoding
// of the next values, which for medium values in random order is a good
// part of their restore.  One chunk at a time; without a thread, submit
// writes it at once.
class chunk_writer {
  public:
    explicit chunk_writer(int fd) : fd_(fd), writes_([this](const chunk &c) { return write(c); })
    {
    }

    // Starts writing buf at offset; buf must stay as it is until wait().
    // The chunk before must have been waited for.
    void submit(const std::vector<unsigned char> *buf, uint64_t offset)
    {
        writes_.hand(chunk{buf, offset});
    }

    // Waits for the chunk being written.  Returns 0, or the errno of the
    // first write that failed (set in errno too).
    int wait()
    {
        int err = writes_.drain();
        if (err)
            errno = err;
        return err;
    }

  private:
    struct chunk {
        const std::vector<unsigned char> *buf = nullptr;
        uint64_t offset = 0;
    };

    int write(const chunk &c) const
    {
        unsigned char *bytes = const_cast<unsigned char *>(c.buf->data());
        return transfer_all(true, fd_, bytes, c.buf->size(), c.offset) ? 0 : errno;
    }

    int fd_;
    io_thread<chunk, 1> writes_;
};

// The value file: large values end to end, the last ones still in staged.
// Records in the buffer and in runs hold their offset in it.
struct value_file {
    int fd = -1;
    uint64_t bytes = 0;       // its length, staged bytes included
    uint64_t limit = 0;       // the most it may hold
    bool closed = false;      // no more values go there
    bool dropped = false;     // given back whole: the merge skips its records
    uint64_t given_back = 0;  // bytes of the pieces given back
    std::vector<unsigned char> staged;
    std::vector<unsigned char> inflight;  // the chunk written last, or being written
    uint64_t inflight_from = 0;           // its offset in the file
    bool write_failed = false;            // inflight could not be written
    std::unique_ptr<chunk_writer> writer;
    // A value handed out by the merge: room for the largest value in the
    // file, taken when the value is stored so that the merge cannot run out
    // of it.
    std::unique_ptr<unsigned char[]> out;
    size_t out_size = 0;
    std::vector<uint32_t> piece_left;  // bytes of values not handed out, per piece
    bool release_pieces = false;       // the merge is the last one
    // Values handed out since the merge's last checkpoint: their bytes are
    // counted off their pieces only at the next one, since a merge that
    // goes back to the checkpoint reads them again.
    std::vector<std::pair<uint64_t, uint32_t>> handed_out;

    ~value_file()
    {
        writer.reset();
        if (fd >= 0)
            close(fd);
    }

    // Makes room in out for a value of n bytes.  Not zeroed: only the pages
    // a merge reads into are ever touched.
    bool reserve_out(size_t n)
    {
        if (n <= out_size)
            return true;
        unsigned char *room = new (std::nothrow) unsigned char[n];
        if (!room)
            return false;
        out.reset(room);
        out_size = n;
        return true;
    }

    // Waits for the chunk in flight.  False when its write failed: its
    // values stay readable in inflight.
    bool drain()
    {
        if (!write_failed && writer && writer->wait() != 0)
            write_failed = true;
        return !write_failed;
    }

    // Hands the staged values to the writer, once the chunk before is
    // written.  On failure they stay staged.
    bool flush()
    {
        if (staged.empty())
            return true;
        if (!drain())
            return false;
        std::swap(staged, inflight);
        staged.clear();
        inflight_from = bytes - inflight.size();
        writer->submit(&inflight, inflight_from);
        return true;
    }

    // Appends a value to the file, made in dir at the first call, and sets
    // *offset to where it starts.  Returns false when the value must be
    // buffered instead: the file is full or cannot be made or written.
    // After a failure no more values go there; what it holds, or still has
    // staged, stays readable.
    bool append(int dir, const unsigned char *v, size_t n, uint64_t *offset)
    {
        if (closed)
            return false;
        if (fd < 0) {
            struct statvfs st;
            fd = nameless_file(dir);
            if (fd < 0 || fstatvfs(fd, &st) != 0)
                return closed = true, false;
            limit = static_cast<uint64_t>(st.f_bavail) * st.f_frsize / value_file_share;
            try {
                staged.reserve(staging_bytes);
                inflight.reserve(staging_bytes);
                writer.reset(new chunk_writer(fd));
            } catch (const std::bad_alloc &) {
                return closed = true, false;
            }
        }
        if (bytes + n > limit || (staged.size() + n > staging_bytes && !flush()))
            return closed = true, false;
        // Counted before the write: a count left too high only keeps a
        // piece from being given back.
        try {
            piece_left.resize((bytes + n + piece_bytes - 1) / piece_bytes);
        } catch (const std::bad_alloc &) {
            return closed = true, false;
        }
        for_pieces(bytes, n, [this](uint64_t p, uint32_t b) { piece_left[p] += b; });
        if (n > staging_bytes) {
            // Written from the caller's memory, not copied first.
            if (!transfer_all(true, fd, const_cast<unsigned char *>(v), n, bytes))
                return closed = true, false;
        } else {
            staged.insert(staged.end(), v, v + n);
        }
        *offset = bytes;
        bytes += n;
        return true;
    }

    // The value of a record that holds an offset: still staged, or read
    // back into out.  Returns nullptr with errno set on a read error.
    // Staged values are read where they are, so that a merge needs no write
    // to the file, which may be what failed.
    const unsigned char *read(const rec_view &v)
    {
        uint64_t offset;
        memcpy(&offset, v.value, ref_bytes);
        uint64_t staged_from = bytes - staged.size();
        if (offset >= staged_from)
            return staged.data() + (offset - staged_from);
        if (offset >= inflight_from && offset - inflight_from < inflight.size())
            return inflight.data() + (offset - inflight_from);
        if (!transfer_all(false, fd, out.get(), v.value_size, offset))
            return nullptr;
        if (release_pieces) {
            try {
                handed_out.emplace_back(offset, static_cast<uint32_t>(v.value_size));
            } catch (const std::bad_alloc &) {
                // Its piece is then never given back.
            }
        }
        return out.get();
    }

    // Counts the values handed out since the last checkpoint off their
    // pieces, and gives back each piece that no value still needs.
    void settle()
    {
        for (const auto &[offset, size] : handed_out) {
            for_pieces(offset, size, [this](uint64_t p, uint32_t b) {
                if ((piece_left[p] -= b) == 0) {
                    fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                              static_cast<off_t>(p * piece_bytes), piece_bytes);
                    given_back += piece_bytes;
                }
            });
        }
        handed_out.clear();
    }

    // Bytes of values the file still takes on the disk.
    uint64_t on_disk() const
    {
        uint64_t written = bytes - staged.size();
        return dropped || given_back >= written ? 0 : written - given_back;
    }

    // Calls f(piece, bytes) for each piece that [offset, offset + n) meets.
    template <class F>
    static void for_pieces(uint64_t offset, uint64_t n, F f)
    {
        while (n > 0) {
            uint64_t piece = offset / piece_bytes;
            uint64_t here = std::min(n, (piece + 1) * piece_bytes - offset);
            f(piece, static_cast<uint32_t>(here));
            offset += here;
            n -= here;
        }
    }
};

}  // namespace kov_sort

#endif
