// Keys, signatures and digests with libsodium; see signature.h. The formats
// are minisign's and signify's: text lines, each binary field in base64.
//
//   key file         untrusted comment: ...
//                    base64("Ed" || key id || Ed25519 public key)
//   signature file   untrusted comment: ...
//                    base64("ED" or "Ed" || key id || Ed25519 signature)
//                    trusted comment: ...                 (minisign only)
//                    base64(Ed25519 signature of signature || comment)
//
// "ED" signs the BLAKE2b-512 digest of the file, "Ed" the file itself.
// A line may end in CR LF, as a Windows editor saves it.
#include "signature.h"

#include <string.h>

#include <sodium.h>

static const char untrusted_prefix[] = "untrusted comment: ";
static const char trusted_prefix[] = "trusted comment: ";

bool crypto_built(void)
{
    return true;
}

bool crypto_ready(void)
{
    return sodium_init() >= 0;
}

// The next line of text[*at..n), without its line end, and moves *at past it.
// False at the end of the text.
static bool next_line(const char *text, size_t n, size_t *at, const char **line, size_t *len)
{
    if (*at >= n)
        return false;
    const char *start = text + *at;
    const char *nl = static_cast<const char *>(memchr(start, '\n', n - *at));
    size_t end = nl != NULL ? (size_t)(nl - text) : n;

    *at = nl != NULL ? end + 1 : n;
    *line = start;
    *len = end - (size_t)(start - text);
    if (*len > 0 && start[*len - 1] == '\r')
        --*len;
    return true;
}

// Where the text starts: past the UTF-8 byte order mark that Windows editors
// put in front, which minisign skips too.
static size_t text_start(const char *text, size_t n)
{
    return n >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
}

static bool starts_with(const char *line, size_t len, const char *prefix)
{
    const size_t p = strlen(prefix);
    return len >= p && memcmp(line, prefix, p) == 0;
}

// Exactly `size` bytes from one line of base64, nothing left over.
static bool decode(const char *line, size_t len, uint8_t *out, size_t size)
{
    size_t got = 0;
    const char *end = NULL;

    return sodium_base642bin(out, size, line, len, NULL, &got, &end, sodium_base64_VARIANT_ORIGINAL) == 0 &&
           got == size && end == line + len;
}

// Whether only empty lines follow.
static bool rest_is_empty(const char *text, size_t n, size_t at)
{
    const char *line;
    size_t len;

    while (next_line(text, n, &at, &line, &len))
        if (len != 0)
            return false;
    return true;
}

bool parse_public_key(const char *text, size_t n, bool bare, PUBLIC_KEY *key)
{
    uint8_t raw[2 + KEY_ID_SIZE + sizeof key->pk];
    const char *line;
    size_t at = text_start(text, n), len;

    if (memchr(text, '\0', n) != NULL)
        return false;
    if (!bare && (!next_line(text, n, &at, &line, &len) || !starts_with(line, len, untrusted_prefix)))
        return false;
    if (!next_line(text, n, &at, &line, &len) || !decode(line, len, raw, sizeof raw) || memcmp(raw, "Ed", 2) != 0 ||
        !rest_is_empty(text, n, at))
        return false;
    memcpy(key->id, raw + 2, KEY_ID_SIZE);
    memcpy(key->pk, raw + 2 + KEY_ID_SIZE, sizeof key->pk);
    return true;
}

bool parse_signature(const char *text, size_t n, SIGNATURE *s)
{
    uint8_t raw[2 + KEY_ID_SIZE + sizeof s->sig];
    const char *line;
    size_t at = text_start(text, n), len;

    if (memchr(text, '\0', n) != NULL || !next_line(text, n, &at, &line, &len) ||
        !starts_with(line, len, untrusted_prefix))
        return false;
    if (!next_line(text, n, &at, &line, &len) || !decode(line, len, raw, sizeof raw))
        return false;
    if (memcmp(raw, "ED", 2) != 0 && memcmp(raw, "Ed", 2) != 0)
        return false;
    s->hashed = raw[1] == 'D';
    memcpy(s->id, raw + 2, KEY_ID_SIZE);
    memcpy(s->sig, raw + 2 + KEY_ID_SIZE, sizeof s->sig);

    // signify's signature ends here; minisign's goes on with its comment.
    s->has_comment = next_line(text, n, &at, &line, &len) && len > 0;
    if (!s->has_comment)
        return !s->hashed && rest_is_empty(text, n, at);
    if (!starts_with(line, len, trusted_prefix))
        return false;
    len -= sizeof trusted_prefix - 1;
    memcpy(s->comment, line + sizeof trusted_prefix - 1, len);
    s->comment[len] = '\0';
    return next_line(text, n, &at, &line, &len) && decode(line, len, s->global, sizeof s->global) &&
           rest_is_empty(text, n, at);
}

static_assert(sizeof(crypto_generichash_state) <= sizeof(DIGEST::state), "room for BLAKE2b");
static_assert(sizeof(crypto_hash_sha256_state) <= sizeof(DIGEST::state), "room for SHA-256");

// Whether sig is key's signature of the file, as s says it was signed: its
// digest, or the file itself.
static bool signed_by(const SIGNATURE *s, const PUBLIC_KEY *key, const uint8_t *blake2b, const uint8_t *file, size_t n)
{
    return s->hashed ? crypto_sign_verify_detached(s->sig, blake2b, BLAKE2B_SIZE, key->pk) == 0
                     : crypto_sign_verify_detached(s->sig, file, n, key->pk) == 0;
}

SignatureCheck verify_signature(const SIGNATURE *s, const PUBLIC_KEY *keys, size_t count,
                                const uint8_t blake2b[BLAKE2B_SIZE], const uint8_t *file, size_t n)
{
    uint8_t signed_comment[sizeof s->sig + sizeof s->comment];
    const PUBLIC_KEY *key = NULL;
    bool known = false;

    for (size_t i = 0; i < count && key == NULL; i++) {
        if (memcmp(keys[i].id, s->id, KEY_ID_SIZE) != 0)
            continue;
        known = true;
        if (signed_by(s, &keys[i], blake2b, file, n))
            key = &keys[i];
    }
    if (key == NULL)
        return known ? SIGNATURE_MISMATCH : UNKNOWN_KEY;
    if (!s->has_comment)
        return SIGNED;
    const size_t len = strlen(s->comment);
    memcpy(signed_comment, s->sig, sizeof s->sig);
    memcpy(signed_comment + sizeof s->sig, s->comment, len);
    return crypto_sign_verify_detached(s->global, signed_comment, sizeof s->sig + len, key->pk) == 0
               ? SIGNED
               : COMMENT_MISMATCH;
}

void digest_start(DIGEST *d, DigestKind kind)
{
    d->kind = kind;
    if (kind == BLAKE2B)
        crypto_generichash_init(reinterpret_cast<crypto_generichash_state *>(d->state), NULL, 0, BLAKE2B_SIZE);
    else
        crypto_hash_sha256_init(reinterpret_cast<crypto_hash_sha256_state *>(d->state));
}

void digest_add(DIGEST *d, const uint8_t *p, size_t n)
{
    if (d->kind == BLAKE2B)
        crypto_generichash_update(reinterpret_cast<crypto_generichash_state *>(d->state), p, n);
    else
        crypto_hash_sha256_update(reinterpret_cast<crypto_hash_sha256_state *>(d->state), p, n);
}

void digest_end(DIGEST *d, uint8_t *out)
{
    if (d->kind == BLAKE2B)
        crypto_generichash_final(reinterpret_cast<crypto_generichash_state *>(d->state), out, BLAKE2B_SIZE);
    else
        crypto_hash_sha256_final(reinterpret_cast<crypto_hash_sha256_state *>(d->state), out);
}

void sha256_end_text(DIGEST *d, char text[65])
{
    uint8_t digest[crypto_hash_sha256_BYTES];

    digest_end(d, digest);
    sodium_bin2hex(text, 65, digest, sizeof digest);
}
