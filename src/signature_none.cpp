// Stands in for signature.cpp where the build has no libsodium: nothing can
// be verified or digested, and swugimg says so instead of judging.
#include "signature.h"

bool crypto_built(void)
{
    return false;
}

bool crypto_ready(void)
{
    return false;
}

bool parse_public_key(const char *, size_t, bool, PUBLIC_KEY *)
{
    return false;
}

bool parse_signature(const char *, size_t, SIGNATURE *)
{
    return false;
}

SignatureCheck verify_signature(const SIGNATURE *, const PUBLIC_KEY *, size_t, const uint8_t *, const uint8_t *,
                                size_t)
{
    return SIGNATURE_MISMATCH;
}

void digest_start(DIGEST *d, DigestKind kind)
{
    d->kind = kind;
}

void digest_add(DIGEST *, const uint8_t *, size_t)
{
}

void digest_end(DIGEST *, uint8_t *)
{
}

void sha256_end_text(DIGEST *, char text[65])
{
    text[0] = '\0';
}
