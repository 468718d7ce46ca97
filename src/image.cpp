// Reading and judging an upgrade image; see image.h.
#include "image.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "reading.h"

PRINTF_LIKE(2, 3) static void set_fault(IMAGE_REPORT *r, const char *fmt, ...)
{
    va_list ap;

    va_start(ap, fmt);
    (void)vsnprintf(r->fault, sizeof r->fault, fmt, ap);  // every reason fits
    va_end(ap);
}

// ---- Reading ---------------------------------------------------------------

// The payload swug would write, as a stream: the `length` bytes after the
// header, then IMAGE_FILL where the file ends first. The checksum takes it in
// blocks of whole words, keeping back the 1 to 3 bytes of a last word until
// it is known whether padding completes it.
typedef struct {
    uint32_t length, fed, crc;
    uint8_t tail[4];
    size_t tail_len;
    DIGEST sha256;
} PAYLOAD_STREAM;

static void feed_payload(PAYLOAD_STREAM *ps, const uint8_t *p, size_t n, bool digest)
{
    n = std::min(n, (size_t)(ps->length - ps->fed));
    if (n == 0)
        return;  // past the payload: trailing bytes
    if (digest)
        digest_add(&ps->sha256, p, n);
    ps->fed += (uint32_t)n;
    const size_t words = n & ~(size_t)3;
    ps->crc = generate_CRC_512(p, (int32_t)words, ps->crc);
    memcpy(ps->tail, p + words, n - words);  // only the last block of the payload has any
    ps->tail_len = n - words;
}

// The padding, then the last word.
static void end_payload(PAYLOAD_STREAM *ps, bool digest)
{
    uint8_t fill[4096 + 4];

    memset(fill, IMAGE_FILL, sizeof fill);
    while (ps->fed < ps->length) {
        const uint32_t tail_len = (uint32_t)ps->tail_len;
        memcpy(fill, ps->tail, tail_len);
        const uint32_t pad = std::min(ps->length - ps->fed, (uint32_t)4096);
        memset(fill + tail_len, IMAGE_FILL, pad);
        if (digest)
            digest_add(&ps->sha256, fill + tail_len, pad);
        ps->fed += pad;
        const size_t words = (tail_len + pad) & ~(size_t)3;
        ps->crc = generate_CRC_512(fill, (int32_t)words, ps->crc);
        ps->tail_len = tail_len + pad - words;
        memcpy(ps->tail, fill + words, ps->tail_len);
    }
    ps->crc = generate_CRC_512(ps->tail, (int32_t)ps->tail_len, ps->crc);
}

// Where the file's size, the header and the checksum say the payload lies.
static void measure(IMAGE_REPORT *r, PAYLOAD_STREAM *ps, bool digest)
{
    const int64_t after = std::max(r->size - HEADER_SIZE, (int64_t)0);

    r->present = (uint32_t)std::min(after, (int64_t)r->head.length);
    r->trailing = after - r->present;
    r->computed_ok = length_fits(r->head.length);
    r->padding = r->computed_ok ? r->head.length - r->present : 0;
    end_payload(ps, digest);
    r->computed = ps->crc;
}

bool read_image(const char *name, const WANTS *w, IMAGE_REPORT *r)
{
    uint8_t buf[65536], header[HEADER_SIZE];
    DIGEST image_sha256, image_blake2b;
    PAYLOAD_STREAM ps;
    size_t pos = 0, n = 0, want = 0;
    bool more = false, ok = true;

    memset(r, 0, sizeof *r);
    memset(header, IMAGE_FILL, sizeof header);
    FILE *f = open_read(name);
    if (f == NULL) {
        set_fault(r, "cannot open: %s", strerror(errno));
        return false;
    }
    file_id(f, &r->id);
    digest_start(&image_sha256, SHA256);
    digest_start(&image_blake2b, BLAKE2B);
    // Whole blocks of the buffer's size, so that the payload's blocks, 40
    // bytes in, are whole words but for the last.
    do {
        // cppcheck-suppress legacyUninitvar ; the buffer the read below fills
        uint8_t *p = w->whole != NULL ? w->whole + pos : buf;
        want = std::min(IMAGE_CAPACITY - pos, sizeof buf);
        ok = read_up_to(f, p, want, &n, pos + want == IMAGE_CAPACITY ? &more : NULL);
        if (pos == 0) {
            memcpy(header, p, std::min(n, (size_t)HEADER_SIZE));
            r->head = header_of(header);
            memset(&ps, 0, sizeof ps);
            ps.length = length_fits(r->head.length) ? r->head.length : 0;
            digest_start(&ps.sha256, SHA256);
        }
        if (w->sha256)
            digest_add(&image_sha256, p, n);
        if (w->blake2b)
            digest_add(&image_blake2b, p, n);
        const size_t skip = pos == 0 ? std::min(n, (size_t)HEADER_SIZE) : 0;
        feed_payload(&ps, p + skip, n - skip, w->sha256);
        pos += n;
    } while (ok && n == want && !more && pos < IMAGE_CAPACITY);
    r->size = (int64_t)pos + more;
    r->whole = !more;
    // A longer file that tells its size tells how much longer.
    const int64_t reported = more ? file_size(f) : -1;
    if (reported > r->size)
        r->size = reported;
    const int error = close_read(f, ok);
    if (error != 0) {
        set_fault(r, "cannot read: %s", strerror(error));
        return false;
    }
    r->read = true;
    r->bytes = r->whole ? w->whole : NULL;
    measure(r, &ps, w->sha256);
    if (w->sha256 && r->whole && crypto_ready()) {
        sha256_end_text(&image_sha256, r->sha256);
        // swug writes nothing for a length it refuses, and an empty file's
        // header reads as IMAGE_FILL, a length it refuses.
        if (r->computed_ok)
            sha256_end_text(&ps.sha256, r->payload_sha256);
    }
    if (w->blake2b)
        digest_end(&image_blake2b, r->blake2b);
    return true;
}

// ---- Versions --------------------------------------------------------------

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

static bool is_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// How sort -V ranks a byte outside a run of digits: '~' before the end of
// the text, the end before anything else, letters by their value, then every
// other byte.
static int rank(const char *s, size_t n, size_t i)
{
    if (i >= n)
        return -1;
    if (is_digit(s[i]))
        return 0;
    if (is_letter(s[i]))
        return (unsigned char)s[i];
    return s[i] == '~' ? -2 : (unsigned char)s[i] + 256;
}

// Debian's comparison of versions, on which sort -V builds: alternately a
// run of other bytes, by rank, and a run of digits, by its value.
static int debian_compare(const char *a, size_t an, const char *b, size_t bn)
{
    size_t i = 0, j = 0;

    while (i < an || j < bn) {
        while ((i < an && !is_digit(a[i])) || (j < bn && !is_digit(b[j]))) {
            const int ra = rank(a, an, i), rb = rank(b, bn, j);
            if (ra != rb)
                return ra - rb;
            i++;
            j++;
        }
        while (i < an && a[i] == '0')
            i++;
        while (j < bn && b[j] == '0')
            j++;
        int first_difference = 0;
        for (; i < an && j < bn && is_digit(a[i]) && is_digit(b[j]); i++, j++)
            if (first_difference == 0)
                first_difference = a[i] - b[j];
        if (i < an && is_digit(a[i]))
            return 1;  // the longer number
        if (j < bn && is_digit(b[j]))
            return -1;
        if (first_difference != 0)
            return first_difference;
    }
    return 0;
}

// Whether s[k..n) is a file name's suffix as sort -V sees one: one or more
// of a dot, a letter or '~', then letters, digits and '~'.
static bool is_suffix(const char *s, size_t k, size_t n)
{
    while (k < n) {
        if (s[k] != '.' || k + 1 == n || !(is_letter(s[k + 1]) || s[k + 1] == '~'))
            return false;
        for (k += 2; k < n && (is_letter(s[k]) || is_digit(s[k]) || s[k] == '~'); k++)
            ;
    }
    return true;
}

// The text without its longest suffix; its first byte always stays.
static size_t without_suffix(const char *s, size_t n)
{
    for (size_t k = 1; k < n; k++)
        if (is_suffix(s, k, n))
            return k;
    return n;
}

int compare_versions(const char *a, size_t an, const char *b, size_t bn)
{
    const size_t ap = without_suffix(a, an), bp = without_suffix(b, bn);
    const int without = debian_compare(a, ap, b, bp);

    return without != 0 || (ap == an && bp == bn) ? without : debian_compare(a, an, b, bn);
}

// ---- Judging ---------------------------------------------------------------

// The key id as minisign prints it: the 8 bytes as a little-endian number,
// in 16 upper-case hex digits.
static void key_id_text(const uint8_t *id, char *text)
{
    for (size_t i = 0; i < KEY_ID_SIZE; i++)
        (void)snprintf(text + 2 * i, 3, "%02X", id[KEY_ID_SIZE - 1 - i]);
}

// The signature in sf, with the ring's keys. False when it exists but
// cannot be read. An image not read whole cannot be judged; it fails as too
// large.
static bool judge_signature(IMAGE_REPORT *r, const KEYRING *ring, const SIGNATURE_FILE *sf)
{
    static const char *const verdicts[] = {"", "unknown key", "signature mismatch", "trusted comment mismatch"};

    if (sf->loaded == LOADED)
        key_id_text(sf->sig.id, r->key_id);
    if (!r->whole)
        return true;
    switch (sf->loaded) {
    case MISSING:
        set_fault(r, "no signature");
        return true;
    case UNREADABLE:
        set_fault(r, "cannot read signature: %s", strerror(sf->error));
        return false;
    case MALFORMED:
        set_fault(r, "malformed signature");
        return true;
    case LOADED:
        break;
    }
    const SignatureCheck c =
        verify_signature(&sf->sig, ring->key, ring->count, r->blake2b, r->bytes, (size_t)r->size);
    if (c != SIGNED)
        set_fault(r, "%s", verdicts[c]);
    else if (sf->sig.has_comment)
        r->trusted_comment = sf->sig.comment;
    return true;
}

// The image as swug would treat it.
static void judge_structure(IMAGE_REPORT *r)
{
    if (r->size < HEADER_SIZE)
        set_fault(r, "shorter than the %d-byte header", HEADER_SIZE);
    else if (r->size > IMAGE_CAPACITY)
        set_fault(r, "larger than %u bytes", IMAGE_CAPACITY);
    else if (!r->computed_ok)
        set_fault(r, "payload length %u exceeds %u", r->head.length, PAYLOAD_CAPACITY);
    else if (r->padding > 0)
        set_fault(r, "payload short by %u bytes", r->padding);
    else if (r->computed != r->head.CRC)
        set_fault(r, "checksum mismatch");
}

static size_t first_digit(const char *s, size_t n)
{
    size_t i = 0;

    while (i < n && !is_digit(s[i]))
        i++;
    return i;
}

// Whether the image's digest, in lower-case hex, is the one given, in
// either case.
static bool same_digest(const char *image, const char *given)
{
    for (size_t i = 0; i < 64; i++)
        if (image[i] != (given[i] >= 'A' && given[i] <= 'F' ? given[i] - 'A' + 'a' : given[i]))
            return false;
    return true;
}

// Versions are compared within one product, whose name is the text before
// the first digit: "QUILMO SW " in "QUILMO SW 1.0.3".
static const char *version_fault(const SWUG_STRUCT *head, const char *min)
{
    const size_t vn = strnlen(head->version, sizeof head->version), mn = strlen(min);
    const size_t v = first_digit(head->version, vn), m = first_digit(min, mn);

    if (v == vn || v != m || memcmp(head->version, min, m) != 0)
        return "version not comparable";
    return compare_versions(head->version + v, vn - v, min + m, mn - m) < 0 ? "version too old" : NULL;
}

static void judge_policy(IMAGE_REPORT *r, const POLICY *p)
{
    const char *version = p->min_version != NULL ? version_fault(&r->head, p->min_version) : NULL;

    if (p->sha256 != NULL && !same_digest(r->sha256, p->sha256))
        set_fault(r, "sha256 mismatch");
    else if (p->has_marker && r->head.sw_or_fmw != p->marker)
        set_fault(r, "marker mismatch");
    else if (version != NULL)
        set_fault(r, "%s", version);
}

bool judge_image(IMAGE_REPORT *r, const KEYRING *ring, const SIGNATURE_FILE *sf, const POLICY *policy)
{
    if (!r->read)
        return true;
    if (ring->count > 0 && !judge_signature(r, ring, sf))
        return false;
    if (r->fault[0] == '\0')
        judge_structure(r);
    if (r->fault[0] == '\0')
        judge_policy(r, policy);
    return true;
}

// ---- Values ----------------------------------------------------------------

bool parse_marker(const char *s, uint8_t *marker)
{
    const bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const char *digits = hex ? s + 2 : s;
    unsigned long v;

    // strtoul would also take a sign, leading blanks and a second 0x.
    if (*digits == '\0' || digits[strspn(digits, hex ? "0123456789abcdefABCDEF" : "0123456789")] != '\0')
        return false;
    errno = 0;
    v = strtoul(digits, NULL, hex ? 16 : 10);
    if (errno != 0 || v > 255)
        return false;
    *marker = (uint8_t)v;
    return true;
}

bool is_digest(const char *s)
{
    return strlen(s) == 64 && strspn(s, "0123456789abcdefABCDEF") == 64;
}
