// How swugimg reads the files it is given, by name: "-" is standard input,
// and no size the system reports is trusted, since a pipe has none and a
// /proc file says 0.
#ifndef SWUG_READING_H
#define SWUG_READING_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Opens a file to read, "-" being standard input in binary. NULL, with the
// reason in errno, when it cannot be opened.
FILE *open_read(const char *name);
// Reads up to n bytes, fewer only at the end of the file, and where `more`
// is given says whether the file goes on past them; false on a read error.
bool read_up_to(FILE *f, uint8_t *p, size_t n, size_t *got, bool *more);
// Closes what open_read opened, after a read that went as `ok` says (errno
// then holds its reason); standard input stays open. Returns 0, or the
// reason the read or the close failed.
int close_read(FILE *f, bool ok);

#endif
