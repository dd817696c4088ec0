/* SPDX-License-Identifier: MIT */
/*
 * kov_example: creates a kov database, stores three records, fetches one
 * and lists them all in key order.
 *
 *   cc kov_example.c $(pkg-config --cflags --libs kov) -o kov_example
 *   ./kov_example example.kov
 *
 * kov-static instead of kov links the static archive.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kov.h>

static datum text(const char *s)
{
    datum d = {(unsigned char *)s, strlen(s)};
    return d;
}

static int print_record(kov_handle db, datum key, datum value, void *ctx)
{
    (void)db;
    (void)ctx;
    printf("%.*s = %.*s\n", (int)key.size, (const char *)key.data, (int)value.size,
           (const char *)value.data);
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc != 2) {
        fprintf(stderr, "Usage: %s dbname\n", argv[0]);
        return 1;
    }
    kov_handle db = kov_open(argv[1], 0, 0, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (!db) {
        fprintf(stderr, "%s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    static const char *const records[][2] = {
        {"lime", "green"}, {"cherry", "red"}, {"lemon", "yellow"}};
    for (size_t i = 0; i < sizeof records / sizeof records[0]; i++) {
        if (kov_store(db, text(records[i][0]), text(records[i][1]), KOV_INSERT) != 0) {
            fprintf(stderr, "store: %s\n", kov_errorstr(db));
            kov_close(db);
            return 1;
        }
    }
    /* A second insert of an existing key is refused. */
    if (kov_store(db, text("lime"), text("yellow"), KOV_INSERT) == 0) {
        fprintf(stderr, "duplicate key stored\n");
        kov_close(db);
        return 1;
    }

    datum value = kov_fetch(db, text("cherry"));
    if (!value.data) {
        fprintf(stderr, "fetch: %s\n", kov_errorstr(db));
        kov_close(db);
        return 1;
    }
    printf("cherry is %.*s\n", (int)value.size, (const char *)value.data);
    free(value.data);

    int count = kov_traverse(db, print_record, NULL);
    if (count < 0)
        fprintf(stderr, "traverse: %s\n", kov_errorstr(db));
    if (kov_close(db) != 0) {
        fprintf(stderr, "close failed\n");
        return 1;
    }
    return count == 3 ? 0 : 1;
}
