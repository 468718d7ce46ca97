// Stands in for signature.cpp where the build has no libsodium: nothing can
// be verified or digested, and swugimg says so instead of judging.
#include "signature.h"

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

SignatureCheck verify_signature(const SIGNATURE *, const PUBLIC_KEY *, size_t, const uint8_t *, size_t)
{
    return SIGNATURE_MISMATCH;
}

void sha256_text(const uint8_t *, size_t, char text[65])
{
    text[0] = '\0';
}
