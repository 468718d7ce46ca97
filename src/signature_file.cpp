// Loading key and signature files; see signature.h.
#include "signature.h"

#include <errno.h>
#include <string.h>

#include "reading.h"

// Reads a key or signature file into text, which holds SIGNATURE_FILE_MAX
// bytes and a terminating zero; a longer file is not read on, so that
// /dev/zero or a huge file fails at once, as MALFORMED. UNREADABLE leaves
// the reason in errno.
static Loaded read_small(const char *name, char *text, size_t *n)
{
    FILE *f = open_read(name);
    bool longer = false, ok;

    // A name whose folder part is a file names no file either.
    if (f == NULL)
        return errno == ENOENT || errno == ENOTDIR ? MISSING : UNREADABLE;
    ok = read_up_to(f, reinterpret_cast<uint8_t *>(text), SIGNATURE_FILE_MAX, n, &longer);
    text[*n] = '\0';
    errno = close_read(f, ok);
    return errno != 0 ? UNREADABLE : longer ? MALFORMED : LOADED;
}

Loaded load_key(KEYRING *ring, const char *source, bool bare)
{
    char text[SIGNATURE_FILE_MAX + 1];
    size_t n = strlen(source);

    if (!bare) {
        const Loaded got = read_small(source, text, &n);
        if (got != LOADED)
            return got == MISSING ? UNREADABLE : got;  // a key that is not there cannot be read
    }
    // cppcheck-suppress legacyUninitvar ; read_small filled it wherever it is used
    if (!parse_public_key(bare ? source : text, n, bare, &ring->key[ring->count]))
        return MALFORMED;
    ring->count++;
    return LOADED;
}

void load_signature(SIGNATURE_FILE *sf)
{
    char text[SIGNATURE_FILE_MAX + 1];
    size_t n = 0;

    sf->loaded = read_small(sf->name, text, &n);
    sf->error = sf->loaded == UNREADABLE ? errno : 0;
    if (sf->loaded == LOADED && !parse_signature(text, n, &sf->sig))
        sf->loaded = MALFORMED;
}
