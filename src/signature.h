// Release keys and detached signatures as minisign and signify write them,
// and the SHA-256 digests that swugimg shows. signature.cpp does the work
// with libsodium; signature_none.cpp stands in where the build has none.
// signature_file.cpp loads key and signature files.
#ifndef SWUG_SIGNATURE_H
#define SWUG_SIGNATURE_H

#include <stddef.h>
#include <stdint.h>

#define KEY_ID_SIZE 8
// A key or signature file is a few hundred bytes; one longer than this
// (minisign's longest trusted comment and the lines around it) is refused.
#define SIGNATURE_FILE_MAX 16384
#define BLAKE2B_SIZE 64

typedef struct {
    uint8_t id[KEY_ID_SIZE];
    uint8_t pk[32];  // Ed25519 public key
} PUBLIC_KEY;

typedef struct {
    bool hashed;  // "ED": signs the BLAKE2b-512 digest of the file; "Ed": the file itself
    uint8_t id[KEY_ID_SIZE];
    uint8_t sig[64];
    bool has_comment;  // minisign writes a trusted comment, signify none
    char comment[SIGNATURE_FILE_MAX + 1];
    uint8_t global[64];  // the signature of sig and comment together
} SIGNATURE;

enum SignatureCheck {
    SIGNED,
    UNKNOWN_KEY,         // made by none of the keys given
    SIGNATURE_MISMATCH,  // the file is not the one that was signed
    COMMENT_MISMATCH,    // the trusted comment was changed
};

// How loading a key or signature file went.
enum Loaded {
    LOADED,
    MISSING,     // no such file (nor folder)
    UNREADABLE,  // it exists but cannot be read
    MALFORMED,   // not a key, or not a signature
};

// A signature file as loaded, for one image: what came of it, the reason
// it could not be read, and what it holds once LOADED.
typedef struct {
    const char *name;  // the file, or NULL without a key to check it with
    Loaded loaded;
    int error;  // with UNREADABLE, why
    SIGNATURE sig;
} SIGNATURE_FILE;

// The release keys given.
#define MAX_KEYS 64
typedef struct {
    PUBLIC_KEY key[MAX_KEYS];
    size_t count;
} KEYRING;

// Adds a key to the ring: the key file `source`, or with `bare` the key's
// base64 line itself. UNREADABLE leaves the reason in errno. The ring must
// have room.
Loaded load_key(KEYRING *ring, const char *source, bool bare);
// Loads the signature file sf->name into sf.
void load_signature(SIGNATURE_FILE *sf);

// Whether this build has libsodium, and whether it started: both must hold
// to verify and digest.
bool crypto_built(void);
bool crypto_ready(void);

// A public key: a key file's text (its untrusted comment, then the key), or,
// with `bare`, the key's base64 line alone, as minisign -P takes it.
bool parse_public_key(const char *text, size_t n, bool bare, PUBLIC_KEY *key);
// A signature file's text; false for anything that does not parse.
bool parse_signature(const char *text, size_t n, SIGNATURE *s);
// Checks s with the keys whose id is s's: a signature over the file's
// digest against `blake2b`, one over the file itself against the n bytes at
// `file`.
SignatureCheck verify_signature(const SIGNATURE *s, const PUBLIC_KEY *keys, size_t count,
                                const uint8_t blake2b[BLAKE2B_SIZE], const uint8_t *file, size_t n);

// A digest taken piece by piece, as a file is read: SHA-256, or BLAKE2b-512
// for a signature over a digest. The room is libsodium's state, whose size
// signature.cpp checks.
enum DigestKind { SHA256, BLAKE2B };
typedef struct {
    DigestKind kind;
    alignas(64) unsigned char state[384];
} DIGEST;

void digest_start(DIGEST *d, DigestKind kind);
void digest_add(DIGEST *d, const uint8_t *p, size_t n);
// BLAKE2B_SIZE bytes for BLAKE2b, 32 for SHA-256.
void digest_end(DIGEST *d, uint8_t *out);
// The SHA-256 digest as 64 lower-case hex digits.
void sha256_end_text(DIGEST *d, char text[65]);

#endif
