// SPDX-License-Identifier: MIT
// String and error-text replacements: a bounded string copy and append, an
// error-text copy into the caller's buffer, and two empty functions.  None of
// them keeps state, so each can be called from any thread.
#include "portability.h"

#include <cerrno>
#include <cstring>

size_t rep_strlcpy(char *dst, const char *src, size_t size)
{
    size_t slen = strlen(src);

    if (size == 0)
        return 0;
    size_t n = slen < size - 1 ? slen : size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
    return slen;
}

size_t rep_strlcat(char *dst, const char *src, size_t size)
{
    size_t dlen = strlen(dst);
    size_t slen = strlen(src);
    size_t sum = dlen + slen;

    if (size <= dlen)
        return sum;
    /*
	 * Room for size - dlen - 1 more bytes puts the terminator in the last
	 * byte of the buffer.  When nothing fits, or src is empty, dst keeps
	 * its own terminator and is not written at all.
	 */
    size_t n = size - dlen - 1;
    if (slen < n)
        n = slen;
    if (n > 0) {
        memcpy(dst + dlen, src, n);
        dst[dlen + n] = '\0';
    }
    return sum;
}

/*
 * strerror_r comes in two flavours.  The GNU one, which glibc declares for
 * C++ (g++ defines _GNU_SOURCE), returns the text: for a known number a
 * pointer to the library's own constant, possibly translated, text; for an
 * unknown one "Unknown error N" formatted into the scratch buffer.  The XSI
 * one returns a status and always formats into the scratch buffer.  Both are
 * thread-safe, unlike strerror, which may share one buffer between threads.
 * These two overloads pick the text out of whichever flavour is declared.
 */
[[maybe_unused]] static const char *error_text(const char *text, const char *)
{
    return text;
}

[[maybe_unused]] static const char *error_text(int, const char *scratch)
{
    return scratch;
}

int rep_strerror_r(int errnum, char *buf, size_t buflen)
{
    /* Large enough for any system text, and for "Unknown error" + INT_MIN. */
    char scratch[256] = "";
    int saved_errno = errno;
    const char *text = error_text(strerror_r(errnum, scratch, sizeof(scratch)), scratch);
    errno = saved_errno;

    if (strlen(text) >= buflen) {
        errno = ERANGE;
        return -1;
    }
    /* strncpy zero-fills the buffer after the text, as callers expect. */
    strncpy(buf, text, buflen);
    return 0;
}

void replace_dummy(void) {}

void dummy_snprintf(void) {}
