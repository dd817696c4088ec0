// SPDX-License-Identifier: MIT
// The B-tree writer of the kov library (btree_writer.h).

#include "btree_writer.h"

#include "key_order.h"
#include "page_output.h"

#include <assert.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <new>
#include <vector>

#include <sqlite3.h>

const char btree_table_sql[] =
    "CREATE TABLE kov(key BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID";

uint64_t btree_local_payload(uint64_t n, uint64_t usable)
{
    uint64_t max_local = (usable - 12) * 64 / 255 - 23;
    uint64_t min_local = (usable - 12) * 32 / 255 - 23;
    if (n <= max_local)
        return n;
    uint64_t local = min_local + (n - min_local) % (usable - 4);
    return local <= max_local ? local : min_local;
}

namespace {

// Page types (the first byte of a B-tree page's header).
constexpr uint8_t index_interior = 0x02;
constexpr uint8_t index_leaf = 0x0A;
constexpr uint8_t table_leaf = 0x0D;

// The root of the kov table; page 1 is sqlite_schema's.
constexpr uint32_t root_page = 2;

// The largest payload of one record the writer accepts: SQLite reads a
// cell's payload size as a signed 32-bit number.
constexpr uint64_t max_payload = 0x7FFFFFFF;

void put16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

constexpr auto put32 = btree_put32;
constexpr auto get32 = btree_get32;

// Writes v as a SQLite varint at p (at most 9 bytes: seven bits a byte,
// high bits first, and the ninth byte whole) and returns its length.
size_t put_varint(uint8_t *p, uint64_t v)
{
    if (v >> 56) {
        p[8] = static_cast<uint8_t>(v);
        v >>= 8;
        for (int i = 7; i >= 0; i--, v >>= 7)
            p[i] = static_cast<uint8_t>((v & 0x7F) | 0x80);
        return 9;
    }
    uint8_t rev[9];
    size_t n = 0;
    do {
        rev[n++] = static_cast<uint8_t>((v & 0x7F) | 0x80);
        v >>= 7;
    } while (v);
    rev[0] &= 0x7F;
    for (size_t i = 0; i < n; i++)
        p[i] = rev[n - 1 - i];
    return n;
}

// The payload of a record: its header (its own length and two BLOB serial
// types), the key and the value.  value may hold only the bytes a copy
// reaches.
struct payload_parts {
    uint8_t head[16];
    size_t hlen = 1;
    const uint8_t *key;
    uint64_t ksize;
    const uint8_t *value;
    uint64_t vsize;

    payload_parts(const void *k, uint64_t ks, const void *v, uint64_t vs)
        : key(static_cast<const uint8_t *>(k)), ksize(ks), value(static_cast<const uint8_t *>(v)),
          vsize(vs)
    {
        hlen += put_varint(head + hlen, 12 + 2 * ks);
        hlen += put_varint(head + hlen, 12 + 2 * vs);
        head[0] = static_cast<uint8_t>(hlen);
    }
    uint64_t size() const { return hlen + ksize + vsize; }
    // Copies payload bytes [off, off + n) to out.
    void copy(uint64_t off, uint64_t n, uint8_t *out) const
    {
        const uint8_t *parts[3] = {head, key, value};
        uint64_t lens[3] = {hlen, ksize, vsize};
        for (int k = 0; k < 3 && n; k++) {
            if (off >= lens[k]) {
                off -= lens[k];
                continue;
            }
            uint64_t take = std::min(n, lens[k] - off);
            memcpy(out, parts[k] + off, take);
            out += take;
            n -= take;
            off = 0;
        }
    }
};

// One B-tree page being filled: cells are appended in key order, their
// content from the end of the page down, their pointers after the header.
struct page_image {
    std::vector<uint8_t> bytes;  // the page
    uint32_t header = 8;         // header bytes: 8 for a leaf, 12 interior
    uint32_t cells = 0;          // cells on the page
    uint32_t top = 0;            // offset of the lowest cell byte
    uint32_t right = 0;          // right-most child, for an interior page

    void reset(size_t size, bool leaf)
    {
        bytes.assign(size, 0);
        header = leaf ? 8 : 12;
        cells = 0;
        top = static_cast<uint32_t>(size);
        right = 0;
    }
    bool fits(size_t cell) const { return header + 2 * (cells + 1) + cell <= top; }
    // Appends a cell of prefix (a child page number, or nothing) and body.
    void append(const uint8_t *prefix, size_t plen, const std::string &body)
    {
        assert(fits(plen + body.size()));
        top -= static_cast<uint32_t>(plen + body.size());
        memcpy(&bytes[top], prefix, plen);
        memcpy(&bytes[top + plen], body.data(), body.size());
        put16(&bytes[header + 2 * cells], top);
        cells++;
        assert(header + 2 * cells <= top && top <= bytes.size());
    }
    // The last cell's bytes, which lie from top to the cell before it.
    std::string last_cell() const
    {
        uint32_t end = cells > 1 ? (bytes[header + 2 * (cells - 2)] << 8 |
                                    bytes[header + 2 * (cells - 2) + 1])
                                 : static_cast<uint32_t>(bytes.size());
        return std::string(reinterpret_cast<const char *>(&bytes[top]), end - top);
    }
    void drop_last()
    {
        assert(cells > 1);
        size_t n = last_cell().size();
        cells--;
        memset(&bytes[top], 0, n);
        memset(&bytes[header + 2 * cells], 0, 2);
        top += static_cast<uint32_t>(n);
    }
    // Fills in the page header.  A content area starting at 65536 is
    // written as 0.
    void seal(bool leaf)
    {
        bytes[0] = leaf ? index_leaf : index_interior;
        put16(&bytes[1], 0);
        put16(&bytes[3], cells);
        put16(&bytes[5], top & 0xFFFF);
        bytes[7] = 0;
        if (!leaf)
            put32(&bytes[8], right);
    }
};

// One level of the tree.  Level 0 holds the leaves; each level above holds
// the dividers between the pages of the level below.  A level receives an
// alternating stream: for an interior level child, entry, child, ... ending
// with a child; for the leaves, entries only.
struct level {
    bool leaf = true;
    page_image cur;        // the page being filled
    page_image held;       // a completed page whose successor is still empty
    bool has_held = false;
    std::string sep;       // with has_held: the entry between held and cur
    uint32_t child = 0;    // interior: the child that precedes the next entry
};

}  // namespace

struct btree_writer::state {
    // The point mark() kept: what the writer held then, and how many pages
    // the page output had been given, all of them below next_page.
    struct point {
        uint32_t next_page = 0;
        uint64_t count = 0;
        uint64_t queued = 0;
        std::string last_key;
        std::deque<level> levels;
        std::map<uint32_t, uint32_t> ahead;
    };

    int fd;
    int direct_fd = -1;
    btree_header header;
    uint32_t size = 0;            // page size, 0 when the header's is invalid
    uint32_t next_page = 3;       // the next page number to give out
    uint32_t lock_page = 0;       // the page holding byte 2^30, never used
    uint64_t count = 0;           // records added
    std::string last_key;         // the greatest key added
    std::string error;            // set after a failure that ends the build
    bool write_error = false;     // that failure was a page write
    bool finished = false;
    std::deque<level> levels;     // levels[0] holds the leaves
    std::vector<uint8_t> buf;     // an overflow page or page 1 being written
    std::unique_ptr<page_output> out;  // where the pages go
    std::string cell;             // the cell of the record being added
    // Chains written ahead and not yet added: first page -> pages.
    std::map<uint32_t, uint32_t> ahead;
    uint32_t free_first = 0, free_count = 0;  // the free list finish wrote
    std::unique_ptr<point> marked;  // the point rewind goes back to, or null

    int fail(std::string text)
    {
        if (error.empty())
            error = std::move(text);
        return -1;
    }

    uint32_t alloc()
    {
        uint32_t p = next_page++;
        if (p == lock_page)
            p = next_page++;
        return p;
    }

    int write_page(uint32_t page, const uint8_t *bytes)
    {
        if (out->write(page, bytes))
            return write_failed();
        return 0;
    }

    // Records the failure of a write: the page output fails from then on.
    int write_failed()
    {
        if (error.empty())
            write_error = true;
        uint32_t page = out->failed_page();
        return fail(page ? "cannot write page " + std::to_string(page) + ": " + strerror(errno)
                         : std::string("cannot write the file: ") + strerror(errno));
    }

    // Seals p and writes it under a new page number, given in *page.
    int write_new(page_image &p, bool leaf, uint32_t *page)
    {
        if (next_page >= 0x7FFFFFFE)
            return fail("database too large for the file format");
        *page = alloc();
        p.seal(leaf);
        return write_page(*page, p.bytes.data());
    }

    level &at(size_t i)
    {
        while (levels.size() <= i) {
            levels.emplace_back();
            levels.back().leaf = levels.size() == 1;
            levels.back().cur.reset(size, levels.back().leaf);
        }
        return levels[i];
    }

    void add_cell(level &l, const std::string &entry)
    {
        uint8_t child[4];
        put32(child, l.child);
        l.cur.append(child, l.leaf ? 0 : 4, entry);
    }

    // Puts entry, a cell of a leaf, on level i (after the child that
    // precedes it, for an interior level).
    int push_entry(size_t i, const std::string &entry)
    {
        level &l = at(i);
        size_t need = entry.size() + (l.leaf ? 0 : 4);
        if (l.has_held) {
            // The held page has a successor now: it and the entry after it
            // go up.
            uint32_t page = 0;
            if (write_new(l.held, l.leaf, &page))
                return -1;
            std::string sep = std::move(l.sep);
            l.has_held = false;
            at(i + 1).child = page;
            if (push_entry(i + 1, sep))
                return -1;
            add_cell(l, entry);
        } else if (l.cur.fits(need)) {
            add_cell(l, entry);
        } else {
            // The page is complete, with the child before entry as its
            // right-most child; entry waits for a successor.  No cell
            // takes more than a quarter of a page, so none is left empty.
            assert(l.cur.cells > 0);
            l.cur.right = l.child;
            std::swap(l.held, l.cur);
            l.cur.reset(size, l.leaf);
            l.has_held = true;
            l.sep = entry;
        }
        return 0;
    }

    // Writes payload bytes [local, size) of p to new overflow pages, the
    // first of which it gives in *first.  Each page is built in place in
    // the page output.
    int write_overflow(const payload_parts &p, uint64_t local, uint32_t *first)
    {
        uint64_t payload = p.size();
        uint32_t page = *first = alloc();
        for (uint64_t off = local; off < payload;) {
            uint64_t chunk = std::min<uint64_t>(payload - off, size - 4);
            uint32_t next = off + chunk < payload ? alloc() : 0;
            uint8_t *to = out->slot(page);
            if (!to)
                return write_failed();
            put32(to, next);
            p.copy(off, chunk, to + 4);
            memset(to + 4 + chunk, 0, size - 4 - chunk);
            off += chunk;
            page = next;
        }
        return 0;
    }

    // The cell of a record on a leaf, after its overflow pages are written,
    // or with the chain that begins at chained, written ahead.
    int make_entry(const payload_parts &p, std::string *cell, uint32_t chained = 0)
    {
        uint64_t payload = p.size();
        uint64_t local = btree_local_payload(payload, size);
        uint8_t sz[9];
        size_t szlen = put_varint(sz, payload);
        cell->assign(reinterpret_cast<char *>(sz), szlen);
        cell->resize(szlen + local + (local < payload ? 4 : 0));
        uint8_t *c = reinterpret_cast<uint8_t *>(&(*cell)[0]);
        p.copy(0, local, c + szlen);
        if (local == payload)
            return 0;
        uint32_t first = chained;
        if (!first && write_overflow(p, local, &first))
            return -1;
        put32(c + szlen + local, first);
        return 0;
    }

    // Checks that a call may go on and that a record of key and vsize bytes
    // may come next.  Returns 0, or -1 with the text in *err.
    int admit(const uint8_t *key, size_t ksize, size_t vsize, bool ordered, std::string *err)
    {
        if (error.empty() && finished)
            error = "the database is already finished";
        if (!error.empty()) {
            *err = error;
            return -1;
        }
        if (ordered && count > 0) {
            int c = key_cmp(key, ksize, last_key.data(), last_key.size());
            if (c <= 0) {
                *err = c == 0 ? "duplicate key" : "key out of order";
                return -1;
            }
        }
        if (payload_parts(key, ksize, nullptr, vsize).size() > max_payload) {
            *err = "record too large for the file format";
            return -1;
        }
        return 0;
    }

    // Puts the pages of the chains written ahead and never added on the
    // free list: trunk pages, each naming as many leaves as SQLite writes
    // in one (a quarter of the page less 8 entries), chained from the
    // first.  The pages are rewritten in place.
    int write_free_list()
    {
        std::vector<uint32_t> pages;
        for (const auto &chain : ahead) {
            uint32_t page = chain.first;
            for (uint32_t n = chain.second; n > 0; n--) {
                pages.push_back(page++);
                if (page == lock_page)
                    page++;
            }
        }
        free_count = static_cast<uint32_t>(pages.size());
        size_t per_trunk = size / 4 - 8;
        for (size_t i = 0; i < pages.size();) {
            size_t leaves = std::min(per_trunk, pages.size() - i - 1);
            size_t next = i + 1 + leaves;
            std::fill(buf.begin(), buf.end(), 0);
            put32(buf.data(), next < pages.size() ? pages[next] : 0);
            put32(buf.data() + 4, static_cast<uint32_t>(leaves));
            for (size_t k = 0; k < leaves; k++)
                put32(buf.data() + 8 + 4 * k, pages[i + 1 + k]);
            if (write_page(pages[i], buf.data()))
                return -1;
            i = next;
        }
        free_first = pages.empty() ? 0 : pages[0];
        assert(free_count == pages.size() && (free_first == 0) == (free_count == 0));
        ahead.clear();
        return 0;
    }

    // Writes the last pages of level i at finish, the levels below it done:
    // the root when it is the top, else its last pages, their dividers
    // going up.  Returns 0 or -1.
    int close_level(size_t i)
    {
        level &l = levels[i];
        uint32_t page = 0;
        if (l.has_held) {
            // The last page would be empty: it takes the held page's last
            // cell's place instead, and that cell becomes the divider.
            std::string last = l.held.last_cell();
            l.held.drop_last();
            uint32_t final_child = l.child;
            if (!l.leaf) {
                l.child = l.held.right;
                l.held.right = get32(reinterpret_cast<const uint8_t *>(last.data()));
                last.erase(0, 4);
            }
            add_cell(l, l.sep);
            l.cur.right = final_child;
            l.has_held = false;
            if (write_new(l.held, l.leaf, &page))
                return -1;
            at(i + 1).child = page;
            if (push_entry(i + 1, last) || write_new(l.cur, l.leaf, &page))
                return -1;
            at(i + 1).child = page;
            return 0;
        }
        l.cur.right = l.child;
        if (i + 1 < levels.size()) {
            if (write_new(l.cur, l.leaf, &page))
                return -1;
            at(i + 1).child = page;
            return 0;
        }
        l.cur.seal(l.leaf);
        return write_page(root_page, l.cur.bytes.data());
    }

    // Page 1: the database header and sqlite_schema's one row.
    int write_first(uint32_t pages)
    {
        std::fill(buf.begin(), buf.end(), 0);
        uint8_t *p = buf.data();
        memcpy(p, "SQLite format 3", 16);
        put16(p + 16, size == 65536 ? 1 : size);
        p[18] = 1;  // file format versions: rollback journal
        p[19] = 1;
        p[20] = 0;  // no reserved bytes at the end of a page
        p[21] = 64;
        p[22] = 32;
        p[23] = 32;
        put32(p + 24, header.change_counter);
        put32(p + 28, pages);
        put32(p + 32, free_first);
        put32(p + 36, free_count);
        put32(p + 40, header.schema_cookie);
        put32(p + 44, 4);  // schema format
        put32(p + 56, 1);  // UTF-8
        put32(p + 60, header.user_version);
        put32(p + 68, header.application_id);
        put32(p + 92, header.change_counter);
        put32(p + 96, static_cast<uint32_t>(sqlite3_libversion_number()));

        // The row: type, name, tbl_name, rootpage and sql, with rowid 1.
        size_t sql_len = strlen(btree_table_sql);
        uint8_t rec[256];
        size_t h = 1;
        h += put_varint(rec + h, 13 + 2 * 5);
        h += put_varint(rec + h, 13 + 2 * 3);
        h += put_varint(rec + h, 13 + 2 * 3);
        h += put_varint(rec + h, 1);  // an 8-bit integer
        h += put_varint(rec + h, 13 + 2 * sql_len);
        rec[0] = static_cast<uint8_t>(h);
        std::string record(reinterpret_cast<char *>(rec), h);
        record += "tablekovkov";
        record += static_cast<char>(root_page);
        record += btree_table_sql;
        uint8_t lead[18];
        size_t llen = put_varint(lead, record.size());
        llen += put_varint(lead + llen, 1);
        size_t cell = llen + record.size();
        uint32_t top = size - static_cast<uint32_t>(cell);
        memcpy(p + top, lead, llen);
        memcpy(p + top + llen, record.data(), record.size());
        p[100] = table_leaf;
        put16(p + 103, 1);
        put16(p + 105, top);
        put16(p + 108, top);
        return write_page(1, p);
    }
};

btree_writer::btree_writer(int fd, const btree_header &header, int direct_fd) : s_(new state)
{
    s_->fd = fd;
    s_->direct_fd = direct_fd;
    s_->header = header;
    uint32_t size = header.page_size;
    if (size >= 512 && size <= 65536 && (size & (size - 1)) == 0) {
        s_->size = size;
        s_->lock_page = static_cast<uint32_t>((1ULL << 30) / size + 1);
        s_->buf.assign(size, 0);
        s_->out.reset(new page_output(fd, size, direct_fd));
    } else {
        s_->error = "page size " + std::to_string(size) + " is not a power of two from 512 to 65536";
    }
}

btree_writer::~btree_writer() = default;

uint64_t btree_writer::records() const
{
    return s_->count;
}

const std::string &btree_writer::last_key() const
{
    return s_->last_key;
}

int btree_writer::mark()
{
    state &s = *s_;
    if (!s.error.empty() || s.finished || !s.out) {
        s.marked.reset();
        return -1;
    }
    try {
        if (!s.marked)
            s.marked.reset(new state::point);
        state::point &m = *s.marked;
        m.levels = s.levels;
        m.ahead = s.ahead;
        m.last_key = s.last_key;
        m.next_page = s.next_page;
        m.count = s.count;
        // Every page given a number so far is queued: a held page has none.
        m.queued = s.out->queued();
    } catch (const std::bad_alloc &) {
        s.marked.reset();
        return -1;
    }
    return 0;
}

void btree_writer::drop_mark()
{
    s_->marked.reset();
}

bool btree_writer::marked() const
{
    return s_->marked != nullptr;
}

uint64_t btree_writer::marked_records() const
{
    return s_->marked ? s_->marked->count : 0;
}

const std::string &btree_writer::marked_key() const
{
    static const std::string none;
    return s_->marked ? s_->marked->last_key : none;
}

bool btree_writer::write_failed() const
{
    return s_->write_error;
}

int btree_writer::rewind(std::string *err)
{
    state &s = *s_;
    if (!s.marked || !s.out) {
        *err = "no checkpoint to go back to";
        return -1;
    }
    // The page output writes its batches in the order queued and nothing
    // after the one that failed: the pages below the mark are whole unless
    // that batch came before the mark.
    s.out->flush();
    if (!s.out->written(s.marked->queued)) {
        *err = "the write of page " + std::to_string(s.out->failed_page()) +
               " came before the last checkpoint";
        return -1;
    }
    s.out.reset();
    s.out.reset(new (std::nothrow) page_output(s.fd, s.size, s.direct_fd));
    if (!s.out) {
        *err = s.error = "out of memory";
        s.marked.reset();
        return -1;
    }
    state::point &m = *s.marked;
    assert(m.next_page <= s.next_page && m.count <= s.count);
    s.levels.swap(m.levels);
    s.ahead.swap(m.ahead);
    s.last_key.swap(m.last_key);
    s.next_page = m.next_page;
    s.count = m.count;
    s.marked.reset();
    s.error.clear();
    s.write_error = false;
    s.finished = false;
    s.free_first = s.free_count = 0;
    return 0;
}

uint32_t btree_writer::pages() const
{
    return s_->next_page - 1;
}

bool btree_writer::writes_direct() const
{
    return s_->out && s_->out->direct();
}

size_t btree_writer::depth() const
{
    return std::max<size_t>(s_->levels.size(), 1);
}

int btree_writer::add(const void *key, size_t ksize, const void *value, size_t vsize,
                      std::string *err)
{
    state &s = *s_;
    const uint8_t *k = static_cast<const uint8_t *>(key);
    if (s.admit(k, ksize, vsize, true, err))
        return -1;
    if (s.make_entry(payload_parts(key, ksize, value, vsize), &s.cell) || s.push_entry(0, s.cell)) {
        *err = s.error;
        return -1;
    }
    s.last_key.assign(static_cast<const char *>(key), ksize);
    s.count++;
    return 0;
}

bool btree_writer::overflows(size_t ksize, size_t vsize) const
{
    uint64_t payload = payload_parts(nullptr, ksize, nullptr, vsize).size();
    return s_->size && btree_local_payload(payload, s_->size) < payload;
}

size_t btree_writer::chain_prefix(size_t ksize, size_t vsize) const
{
    payload_parts p(nullptr, ksize, nullptr, vsize);
    uint64_t local = s_->size ? btree_local_payload(p.size(), s_->size) : p.size();
    return local > p.hlen + ksize ? static_cast<size_t>(local - p.hlen - ksize) : 0;
}

int btree_writer::write_chain(const void *key, size_t ksize, const void *value, size_t vsize,
                              uint32_t *first, std::string *err)
{
    state &s = *s_;
    if (s.admit(static_cast<const uint8_t *>(key), ksize, vsize, false, err))
        return -1;
    if (!overflows(ksize, vsize)) {
        *err = "the record does not overflow its cell";
        return -1;
    }
    if (s.next_page >= 0x7FFFFFFE - vsize / (s.size - 4)) {
        *err = s.error = "database too large for the file format";
        return -1;
    }
    payload_parts p(key, ksize, value, vsize);
    uint64_t local = btree_local_payload(p.size(), s.size);
    if (s.write_overflow(p, local, first)) {
        *err = s.error;
        return -1;
    }
    uint32_t chain = static_cast<uint32_t>((p.size() - local + s.size - 5) / (s.size - 4));
    // The count the free list relies on: every page the chain was given.
    assert(chain == s.next_page - *first - (s.lock_page > *first && s.lock_page < s.next_page));
    s.ahead[*first] = chain;
    return 0;
}

int btree_writer::add_chained(const void *key, size_t ksize, const void *prefix, size_t vsize,
                              uint32_t first, std::string *err)
{
    state &s = *s_;
    if (s.admit(static_cast<const uint8_t *>(key), ksize, vsize, true, err))
        return -1;
    auto chain = s.ahead.find(first);
    if (chain == s.ahead.end()) {
        *err = "no chain written ahead begins at page " + std::to_string(first);
        return -1;
    }
    if (s.make_entry(payload_parts(key, ksize, prefix, vsize), &s.cell, first) ||
        s.push_entry(0, s.cell)) {
        *err = s.error;
        return -1;
    }
    s.ahead.erase(chain);
    s.last_key.assign(static_cast<const char *>(key), ksize);
    s.count++;
    return 0;
}

int btree_writer::finish(uint32_t *pages, std::string *err)
{
    state &s = *s_;
    if (s.error.empty() && s.finished)
        s.error = "the database is already finished";
    if (!s.error.empty()) {
        *err = s.error;
        return -1;
    }
    s.finished = true;
    s.at(0);
    for (size_t i = 0; i < s.levels.size(); i++) {
        if (s.close_level(i))
            break;
    }
    if (s.error.empty() && s.write_free_list() == 0 && s.write_first(s.next_page - 1) == 0 &&
        s.out->flush())
        s.write_failed();
    if (!s.error.empty()) {
        *err = s.error;
        return -1;
    }
    *pages = s.next_page - 1;
    assert(s.ahead.empty() && s.free_count < *pages);
    s.levels.clear();
    return 0;
}
