// SPDX-License-Identifier: MIT
// The atomic switch to a database written by btree_writer (btree_switch.h).

#include "btree_switch.h"

#include "sort_record.h"

#include <errno.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <vector>

void (*btree_switch_hook)(int point) = nullptr;

namespace {

const uint8_t journal_magic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};

void point(int n)
{
    if (btree_switch_hook)
        btree_switch_hook(n);
}

constexpr auto put32 = btree_put32;
constexpr auto get32 = btree_get32;

int fail(std::string *err, const std::string &what)
{
    *err = what + ": " + strerror(errno);
    return -1;
}

// pread and pwrite of exactly n bytes (sort_record.h); a short read is an
// error (EIO).  Return 0, or -1 with errno set.
int read_at(int fd, void *buf, size_t n, off_t off)
{
    return kov_sort::transfer_all(false, fd, static_cast<unsigned char *>(buf), n,
                                  static_cast<uint64_t>(off))
               ? 0
               : -1;
}

int write_at(int fd, const void *buf, size_t n, off_t off)
{
    return kov_sort::transfer_all(true, fd,
                                  const_cast<unsigned char *>(static_cast<const unsigned char *>(buf)),
                                  n, static_cast<uint64_t>(off))
               ? 0
               : -1;
}

// The journal's checksum of a page: the nonce plus every 200th byte,
// counting down from 200 bytes before the page's end.
uint32_t checksum(uint32_t nonce, const uint8_t *page, uint32_t size)
{
    uint32_t sum = nonce;
    for (int64_t i = static_cast<int64_t>(size) - 200; i > 0; i -= 200)
        sum += page[i];
    return sum;
}

// Overwrites the journal's header with zeros and syncs it.
int invalidate(btree_switch *sw, int before_sync, std::string *err)
{
    std::vector<uint8_t> zeros(sw->sector, 0);
    if (write_at(sw->journal_fd, zeros.data(), zeros.size(), 0))
        return fail(err, "cannot write the journal");
    point(before_sync);
    if (fsync(sw->journal_fd))
        return fail(err, "cannot sync the journal");
    return 0;
}

// Writes the journal's header, which makes the journal hot.
int write_header(const btree_switch *sw)
{
    std::vector<uint8_t> header(sw->sector, 0);
    memcpy(header.data(), journal_magic, sizeof journal_magic);
    put32(&header[8], sw->pages);
    put32(&header[12], sw->nonce);
    put32(&header[16], sw->pages);
    put32(&header[20], sw->sector);
    put32(&header[24], sw->page_size);
    return write_at(sw->journal_fd, header.data(), header.size(), 0);
}

}  // namespace

int btree_switch_begin(btree_switch *sw, int db_fd, int journal_fd, int dir_fd, bool journal_new,
                       std::string *err)
{
    sw->db_fd = db_fd;
    sw->journal_fd = journal_fd;
    sw->active = false;
    uint8_t head[100];
    struct stat st;
    if (fstat(db_fd, &st))
        return fail(err, "cannot stat the database");
    if (read_at(db_fd, head, sizeof head, 0))
        return fail(err, "cannot read the database header");
    uint32_t size = static_cast<uint32_t>(head[16]) << 8 | head[17];
    if (size == 1)
        size = 65536;
    if (memcmp(head, "SQLite format 3", 16) != 0 || size < 512 || (size & (size - 1)) != 0 ||
        st.st_size % size != 0) {
        *err = "not a database this switch can journal";
        return -1;
    }
    // A journal that is hot holds the only copy of pages an earlier writer
    // overwrote: SQLite must play it back before anything else is written.
    uint8_t magic[sizeof journal_magic];
    ssize_t got = pread(journal_fd, magic, sizeof magic, 0);
    if (got < 0)
        return fail(err, "cannot read the journal");
    if (got == sizeof magic && memcmp(magic, journal_magic, sizeof magic) == 0) {
        *err = "the journal holds a transaction to roll back first";
        return -1;
    }
    sw->page_size = size;
    sw->pages = static_cast<uint32_t>(st.st_size / size);
    sw->old_header.page_size = size;
    sw->old_header.change_counter = get32(head + 24);
    sw->old_header.schema_cookie = get32(head + 40);
    sw->old_header.user_version = get32(head + 60);
    sw->old_header.application_id = get32(head + 68);
    uint32_t nonce;
    if (getrandom(&nonce, sizeof nonce, GRND_NONBLOCK) != sizeof nonce)
        nonce = static_cast<uint32_t>(time(nullptr)) ^ static_cast<uint32_t>(getpid());
    point(1);

    // The records first and the header last, so that the journal is not
    // hot before it is whole.
    std::vector<uint8_t> rec(size + 8);
    off_t off = sw->sector;
    for (uint32_t p = 1; p <= sw->pages; p++, off += size + 8) {
        if (read_at(db_fd, rec.data() + 4, size, static_cast<off_t>(p - 1) * size))
            return fail(err, "cannot read page " + std::to_string(p));
        put32(rec.data(), p);
        put32(rec.data() + 4 + size, checksum(nonce, rec.data() + 4, size));
        if (write_at(journal_fd, rec.data(), rec.size(), off))
            return fail(err, "cannot write the journal");
    }
    if (ftruncate(journal_fd, off))
        return fail(err, "cannot truncate the journal");
    point(2);
    sw->nonce = nonce;
    if (write_header(sw))
        return fail(err, "cannot write the journal");
    point(3);
    if (fsync(journal_fd))
        return fail(err, "cannot sync the journal");
    point(4);
    if (journal_new && fsync(dir_fd))
        return fail(err, "cannot sync the directory");
    point(5);
    sw->active = true;
    return 0;
}

btree_header btree_switch_header(const btree_switch *sw, uint32_t page_size)
{
    btree_header h = sw->old_header;
    h.page_size = page_size;
    h.change_counter++;
    h.schema_cookie++;
    return h;
}

int btree_switch_commit(btree_switch *sw, uint32_t pages, uint32_t new_page_size,
                        std::string *err)
{
    if (!sw->active) {
        *err = "no switch in progress";
        return -1;
    }
    sw->sync_failed = false;
    point(6);
    if (ftruncate(sw->db_fd, static_cast<off_t>(pages) * new_page_size))
        return fail(err, "cannot truncate the database");
    point(7);
    sw->sync_failed = fsync(sw->db_fd) != 0;
    if (sw->sync_failed)
        return fail(err, "cannot sync the database");
    point(8);
    if (invalidate(sw, 9, err))
        return -1;
    point(10);
    sw->active = false;
    return 0;
}

int btree_switch_abort(btree_switch *sw, std::string *err)
{
    if (!sw->active) {
        *err = "no switch in progress";
        return -1;
    }
    point(11);
    // A commit that failed at the journal's header may have zeroed it:
    // the header goes back first, so that a kill from here on still plays
    // the journal back.
    if (write_header(sw) || fsync(sw->journal_fd))
        return fail(err, "cannot write the journal");
    uint32_t size = sw->page_size;
    std::vector<uint8_t> rec(size + 8);
    off_t off = sw->sector;
    for (uint32_t p = 1; p <= sw->pages; p++, off += size + 8) {
        if (read_at(sw->journal_fd, rec.data(), rec.size(), off))
            return fail(err, "cannot read the journal");
        uint32_t page = get32(rec.data());
        if (write_at(sw->db_fd, rec.data() + 4, size, static_cast<off_t>(page - 1) * size))
            return fail(err, "cannot restore page " + std::to_string(page));
    }
    if (ftruncate(sw->db_fd, static_cast<off_t>(sw->pages) * size))
        return fail(err, "cannot truncate the database");
    point(12);
    if (fsync(sw->db_fd))
        return fail(err, "cannot sync the database");
    if (invalidate(sw, 13, err))
        return -1;
    point(14);
    sw->active = false;
    return 0;
}
