// Fuzzes the key and signature parsers next to a real image, the sample
// data/QUILMO_SW.bin. The input is a key file's text, a zero byte, and a
// signature file's text. Whatever the input, nothing may crash or read out
// of bounds, and a signature that verify_signature calls good must verify
// when libsodium itself is asked, on the fields the parser gave.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <sodium.h>

#include "files.h"
#include "signature.h"

namespace {

std::string image;

void fail(const char *what)
{
    fprintf(stderr, "fuzz_signature: %s\n", what);
    abort();
}

// What libsodium says, with no code of ours between.
bool really_signed(const SIGNATURE &s, const PUBLIC_KEY &key)
{
    const auto *m = reinterpret_cast<const unsigned char *>(image.data());
    unsigned char digest[crypto_generichash_BYTES_MAX];
    std::string signed_comment(reinterpret_cast<const char *>(s.sig), sizeof s.sig);

    if (s.hashed) {
        crypto_generichash(digest, sizeof digest, m, image.size(), nullptr, 0);
        if (crypto_sign_verify_detached(s.sig, digest, sizeof digest, key.pk) != 0)
            return false;
    } else if (crypto_sign_verify_detached(s.sig, m, image.size(), key.pk) != 0) {
        return false;
    }
    if (!s.has_comment)
        return true;
    signed_comment += s.comment;
    return crypto_sign_verify_detached(s.global, reinterpret_cast<const unsigned char *>(signed_comment.data()),
                                       signed_comment.size(), key.pk) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!crypto_ready() || !slurp(SWUG_SOURCE_DIR "/data/QUILMO_SW.bin", &image))
        fail("cannot start: no libsodium, or no sample image");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *d, size_t n)
{
    const char *text = reinterpret_cast<const char *>(d);
    const char *zero = static_cast<const char *>(memchr(text, '\0', n));
    const size_t key_len = zero != nullptr ? (size_t)(zero - text) : n;
    // Exactly sized copies, so that a read past either is caught.
    const std::string key_text(text, key_len), sig_text(zero != nullptr ? zero + 1 : text + n, text + n);
    char *key_buf = static_cast<char *>(malloc(key_text.size() + 1));
    char *sig_buf = static_cast<char *>(malloc(sig_text.size() + 1));
    static PUBLIC_KEY key;
    static SIGNATURE s;

    memcpy(key_buf, key_text.c_str(), key_text.size() + 1);
    memcpy(sig_buf, sig_text.c_str(), sig_text.size() + 1);
    const bool key_ok = parse_public_key(key_buf, key_text.size(), false, &key) ||
                        parse_public_key(key_buf, key_text.size(), true, &key);
    if (key_ok && parse_signature(sig_buf, sig_text.size(), &s)) {
        const auto *m = reinterpret_cast<const uint8_t *>(image.data());
        uint8_t digest[crypto_generichash_BYTES_MAX];
        crypto_generichash(digest, sizeof digest, m, image.size(), nullptr, 0);
        const SignatureCheck c = verify_signature(&s, &key, 1, digest, m, image.size());
        const bool same_id = memcmp(s.id, key.id, KEY_ID_SIZE) == 0;
        if (c == SIGNED && (!same_id || !really_signed(s, key)))
            fail("called good a signature that libsodium does not verify");
        if ((c == UNKNOWN_KEY) == same_id)
            fail("judged the key id wrongly");
    }
    free(key_buf);
    free(sig_buf);
    return 0;
}
