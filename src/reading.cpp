// See reading.h.
#include "reading.h"

#include <errno.h>
#include <string.h>

#include "platform.h"

FILE *open_read(const char *name)
{
    return strcmp(name, "-") == 0 ? binary_stdin() : fopen(name, "rb");
}

bool read_up_to(FILE *f, uint8_t *p, size_t n, size_t *got, bool *more)
{
    *got = n == 0 ? 0 : fread(p, 1, n, f);
    if (more != NULL)
        *more = *got == n && ferror(f) == 0 && getc(f) != EOF;
    return ferror(f) == 0;
}

int close_read(FILE *f, bool ok)
{
    int error = ok ? 0 : errno != 0 ? errno : EIO;

    if (f != stdin && fclose(f) != 0 && error == 0)
        error = errno;
    return error;
}
