// swugimg: inspect, verify and build the upgrade images that swug extracts.
//
//   swugimg info [--json] IMAGE                          the header, field by field
//   swugimg check [--json] [-p KEYFILE]... [-P KEY]... [-x SIGFILE] IMAGE...
//                                                        one verdict a line
//   swugimg create [-m MARKER] [-v VERSION] PAYLOAD IMAGE
//
// "-" is standard input. Exit status: 0 sound (or written), 1 not sound (or
// not written), 2 a usage error, a file that cannot be read, or results that
// could not be written.
#include "main.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "signature.h"
#include "version.h"

#define IMAGE_CAPACITY BODY_CAPACITY  // the largest image swug reads
#define MAX_KEYS 64

// What an image holds, as swug would see it.
typedef struct {
    int64_t size;       // of the file, or 1048577 for a longer stream
    SWUG_STRUCT head;   // bytes missing from a short file read as IMAGE_FILL
    uint32_t present;   // payload bytes in the file, at most head.length
    uint32_t padding;   // payload bytes swug would add as IMAGE_FILL
    int64_t trailing;   // bytes after the payload, which swug ignores
    uint8_t header[HEADER_SIZE];  // as read, IMAGE_FILL past the end of a short file
    bool whole;         // whether the whole image was read: not past the largest
    bool computed_ok;   // whether the checksum below could be computed
    uint32_t computed;  // checksum of the payload swug would write
    char sha256[65];    // of the whole image, or empty
    char payload_sha256[65];  // of the bytes swug writes, or empty where it writes none
    char key_id[2 * KEY_ID_SIZE + 1];  // of the image's signature, or empty
    const char *trusted_comment;       // its verified trusted comment, or NULL
    char fault[160];    // why the image is not sound, or empty
} IMAGE_REPORT;

static const char usage_text[] =
    "usage: swugimg info [--json] IMAGE\n"
    "       swugimg check [--json] [-p KEYFILE]... [-P KEY]... [-x SIGFILE] IMAGE...\n"
    "       swugimg create [-m MARKER] [-v VERSION] PAYLOAD IMAGE\n";

// ---- Text out ---------------------------------------------------------------

static bool printed;     // whether anything was meant for standard output
static int stdout_error;  // why some of it could not be written, or 0

static void emit(FILE *f, const char *s, size_t n)
{
    printed = printed || f == stdout;
    if (!put_text(f, s, n) && f == stdout && stdout_error == 0)
        stdout_error = errno != 0 ? errno : EIO;
}

PRINTF_LIKE(2, 3) static void emitf(FILE *f, const char *fmt, ...)
{
    char buf[256];  // numbers and fixed texts; names go through emit_name
    va_list ap;
    int n;

    va_start(ap, fmt);
    n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    emit(f, buf, n < 0 ? 0 : (size_t)n < sizeof buf ? (size_t)n : sizeof buf - 1);
}

static bool must_escape(unsigned char c)
{
    return c == '\\' || c < 0x20 || c == 0x7F;
}

// Whether c makes a name print escaped. Where a backslash separates folders
// (Windows) it is never part of a name, and alone changes nothing.
static bool calls_for_escape(unsigned char c)
{
    return c == '\\' ? !backslash_is_separator() : must_escape(c);
}

// A file name as sha256sum prints it, so that no name can forge a line of
// its own: one holding a backslash or a control byte gets a leading
// backslash, and in it \\, \n, \r and, for the other control bytes, \xHH.
// Any other name is printed exactly as given.
static void emit_name(FILE *f, const char *name)
{
    const char *run = name, *p = name;
    char e[5];

    while (*p != '\0' && !calls_for_escape((unsigned char)*p))
        p++;
    if (*p == '\0') {
        emit(f, name, (size_t)(p - name));
        return;
    }
    emit(f, "\\", 1);
    for (p = name; *p != '\0'; p++) {
        const unsigned char c = (unsigned char)*p;
        if (!must_escape(c))
            continue;
        emit(f, run, (size_t)(p - run));
        if (c == '\\' || c == '\n' || c == '\r')
            (void)snprintf(e, sizeof e, "\\%c", c == '\\' ? '\\' : c == '\n' ? 'n' : 'r');
        else
            (void)snprintf(e, sizeof e, "\\x%02X", c);
        emit(f, e, strlen(e));
        run = p + 1;
    }
    emit(f, run, (size_t)(p - run));
}

// Errors go to standard error; when that cannot be written either, there is
// nobody left to tell.
static void complain(const char *name, const char *what, const char *reason)
{
    emit(stderr, "swugimg: ", 9);
    if (name != NULL) {
        emit_name(stderr, name);
        emit(stderr, ": ", 2);
    }
    emit(stderr, what, strlen(what));
    if (reason != NULL)
        emitf(stderr, ": %s", reason);
    emit(stderr, "\n", 1);
}

static int usage(const char *problem)
{
    if (problem != NULL)
        complain(NULL, problem, NULL);
    emit(stderr, usage_text, sizeof usage_text - 1);
    return 2;
}

// As gnulib's close_stdout: whatever was written must have reached standard
// output; a closed standard output that nothing was written to is fine.
// Returns 0, or the reason it failed.
static int close_stdout(void)
{
    const bool failed = stdout_error != 0 || ferror(stdout) != 0;

    errno = 0;
    if (fclose(stdout) != 0 && (printed || errno != EBADF))
        return errno;
    return failed ? (stdout_error != 0 ? stdout_error : EIO) : 0;
}

// ---- Reading ---------------------------------------------------------------

// Opens a file to read, "-" being standard input, or says why it cannot in
// `why` and on standard error and returns NULL.
static FILE *open_input(const char *name, char *why, size_t why_size)
{
    FILE *f = strcmp(name, "-") == 0 ? binary_stdin() : fopen(name, "rb");

    if (f == NULL) {
        (void)snprintf(why, why_size, "cannot open: %s", strerror(errno));
        complain(name, "cannot open", strerror(errno));
    }
    return f;
}

// Reads up to n bytes, fewer only at the end of the file, and where `more`
// is given says whether the file goes on past them; false on a read error.
// No size the system reports is trusted: a pipe has none and a /proc file
// says 0.
static bool read_up_to(FILE *f, uint8_t *p, size_t n, size_t *got, bool *more)
{
    *got = n == 0 ? 0 : fread(p, 1, n, f);
    if (more != NULL)
        *more = *got == n && ferror(f) == 0 && getc(f) != EOF;
    return ferror(f) == 0;
}

// Closes what open_input opened, after a read that went as `ok` says (errno
// then holds its reason); standard input stays open for the next "-".
// False, with the reason in `why` and on standard error, when the read or
// the close failed.
static bool done_reading(const char *name, FILE *f, bool ok, char *why, size_t why_size)
{
    int error = ok ? 0 : errno != 0 ? errno : EIO;

    if (f == stdin)
        clearerr(f);
    else if (fclose(f) != 0 && error == 0)
        error = errno;
    if (error == 0)
        return true;
    (void)snprintf(why, why_size, "cannot read: %s", strerror(error));
    complain(name, "cannot read", strerror(error));
    return false;
}

PRINTF_LIKE(2, 3) static void set_fault(IMAGE_REPORT *r, const char *fmt, ...)
{
    va_list ap;

    va_start(ap, fmt);
    (void)vsnprintf(r->fault, sizeof r->fault, fmt, ap);  // every reason fits
    va_end(ap);
}

// What one pass over an image takes besides its header, size and checksum.
typedef struct {
    bool sha256;   // the SHA-256 of the image, and of the payload swug writes
    bool blake2b;  // its BLAKE2b-512, for a signature over its digest
    bool whole;    // the whole image at the start of sw_bin, for a signature over the image itself
} WANTS;

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
    n = n < ps->length - ps->fed ? n : ps->length - ps->fed;
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
        const uint32_t pad = ps->length - ps->fed < 4096 ? ps->length - ps->fed : 4096;
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

// Reads an image in one pass, as swug would read it: its header (IMAGE_FILL
// past the end of a short file), its size, the checksum of the payload swug
// would write, and what `w` asks for. The image passes through a small
// buffer, or stays whole in sw_bin where w->whole asks. Reading stops one
// byte past the largest image swug takes. Returns 0, or 2 when the file
// cannot be read; r->fault then says why, as standard error has.
static int read_image(const char *name, IMAGE_REPORT *r, const WANTS *w, uint8_t blake2b[BLAKE2B_SIZE])
{
    uint8_t buf[65536];
    DIGEST image_sha256, image_blake2b;
    PAYLOAD_STREAM ps;
    size_t pos = 0, n = 0, want = 0;
    bool more = false, ok = true;

    memset(r, 0, sizeof *r);
    memset(r->header, IMAGE_FILL, sizeof r->header);
    FILE *f = open_input(name, r->fault, sizeof r->fault);
    if (f == NULL)
        return 2;
    digest_start(&image_sha256, SHA256);
    digest_start(&image_blake2b, BLAKE2B);
    // Whole blocks of the buffer's size, so that the payload's blocks, 40
    // bytes in, are whole words but for the last.
    do {
        // cppcheck-suppress legacyUninitvar ; the buffer the read below fills
        uint8_t *p = w->whole ? swug_img.sw_bin + pos : buf;
        want = IMAGE_CAPACITY - pos < sizeof buf ? IMAGE_CAPACITY - pos : sizeof buf;
        ok = read_up_to(f, p, want, &n, pos + want == IMAGE_CAPACITY ? &more : NULL);
        if (pos == 0) {
            memcpy(r->header, p, n < HEADER_SIZE ? n : HEADER_SIZE);
            r->head = header_of(r->header);
            memset(&ps, 0, sizeof ps);
            ps.length = r->head.length <= PAYLOAD_CAPACITY ? r->head.length : 0;
            digest_start(&ps.sha256, SHA256);
        }
        if (w->sha256)
            digest_add(&image_sha256, p, n);
        if (w->blake2b)
            digest_add(&image_blake2b, p, n);
        const size_t skip = pos == 0 ? (n < HEADER_SIZE ? n : HEADER_SIZE) : 0;
        feed_payload(&ps, p + skip, n - skip, w->sha256);
        pos += n;
    } while (ok && n == want && !more && pos < IMAGE_CAPACITY);
    r->size = (int64_t)pos + more;
    r->whole = !more;
    // A longer file that tells its size tells how much longer.
    const int64_t reported = more ? file_size(f) : -1;
    if (reported > r->size)
        r->size = reported;
    if (!done_reading(name, f, ok, r->fault, sizeof r->fault))
        return 2;

    const int64_t after = r->size > HEADER_SIZE ? r->size - HEADER_SIZE : 0;
    r->present = after < r->head.length ? (uint32_t)after : r->head.length;
    r->trailing = after - r->present;
    r->computed_ok = r->head.length <= PAYLOAD_CAPACITY;
    r->padding = r->computed_ok ? r->head.length - r->present : 0;
    end_payload(&ps, w->sha256);
    r->computed = ps.crc;
    if (w->sha256 && r->whole && crypto_ready()) {
        sha256_end_text(&image_sha256, r->sha256);
        // swug writes nothing for an empty file, or a length it refuses.
        if (r->size > 0 && r->computed_ok)
            sha256_end_text(&ps.sha256, r->payload_sha256);
    }
    if (w->blake2b)
        digest_end(&image_blake2b, blake2b);
    return 0;
}

// Judges what read_image found, as swug would treat it, unless a fault was
// found before.
static void judge(IMAGE_REPORT *r)
{
    if (r->fault[0] != '\0')
        return;
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

// ---- Commands --------------------------------------------------------------

// An option a command takes.
typedef struct {
    const char *name;  // as written: "-m", "--json"
    bool has_value;    // whether the next argument is its value
} OPTION;

#define COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))
#define NO_MORE_OPTIONS (-1)
#define BAD_OPTION (-2)

// The options stand in front of the names, and "--" ends them; "-" is a name.
// Returns the index in `options` of the option at argv[*next], with its
// value in *value, and moves *next past it; NO_MORE_OPTIONS once *next is
// the first name; BAD_OPTION, after saying why, for an option that is not in
// `options` or lacks its value.
static int next_option(int argc, char **argv, int *next, const OPTION *options, size_t count, const char **value)
{
    const char *arg = *next < argc ? argv[*next] : NULL;

    if (arg == NULL || arg[0] != '-' || arg[1] == '\0')
        return NO_MORE_OPTIONS;
    ++*next;
    if (strcmp(arg, "--") == 0)
        return NO_MORE_OPTIONS;
    for (size_t i = 0; i < count; i++) {
        if (strcmp(arg, options[i].name) != 0)
            continue;
        *value = NULL;
        if (options[i].has_value && *next >= argc) {
            (void)usage("an option lacks its value");
            return BAD_OPTION;
        }
        if (options[i].has_value)
            *value = argv[(*next)++];
        return (int)i;
    }
    (void)usage("unknown option");
    return BAD_OPTION;
}

// The version text up to its first zero byte, with anything but printable
// ASCII escaped, so that it can be shown safely: a backslash as \\, any
// other byte as \xHH.
static void version_text(const char *v, char *out)
{
    for (size_t i = 0; i < sizeof swug_img.sw_str.version && v[i] != '\0'; i++) {
        const unsigned char c = (unsigned char)v[i];
        if (c == '\\')
            out += sprintf(out, "\\\\");
        else if (c >= 0x20 && c < 0x7F)
            *out++ = (char)c;
        else
            out += sprintf(out, "\\x%02X", c);
    }
    *out = '\0';
}

// The length of the valid UTF-8 sequence that starts at s, or 0.
static size_t utf8_length(const unsigned char *s)
{
    if (s[0] < 0x80)
        return 1;
    const size_t n = s[0] >= 0xC2 && s[0] <= 0xDF ? 2 : s[0] >= 0xE0 && s[0] <= 0xEF ? 3 : s[0] >= 0xF0 && s[0] <= 0xF4 ? 4 : 0;
    // The second byte's range rules out overlong forms, surrogates and code
    // points past U+10FFFF.
    const unsigned char lo = s[0] == 0xE0 ? 0xA0 : s[0] == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = s[0] == 0xED ? 0x9F : s[0] == 0xF4 ? 0x8F : 0xBF;

    if (n == 0 || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < n; i++)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return n;
}

// s as a JSON string. A byte that is not part of valid UTF-8 is written as
// the lone surrogate \udcXX, as Python's surrogateescape does, which no valid
// text gives: every line stays JSON, and no two names come out the same.
static void emit_json_string(const char *s)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);

    emit(stdout, "\"", 1);
    while (*p != '\0') {
        const size_t n = utf8_length(p);
        if (n == 0)
            emitf(stdout, "\\u%04x", 0xDC00 + *p++);
        else if (*p == '"' || *p == '\\')
            emitf(stdout, "\\%c", *p++);
        else if (*p < 0x20)
            emitf(stdout, "\\u%04x", *p++);
        else {
            emit(stdout, reinterpret_cast<const char *>(p), n);
            p += n;
        }
    }
    emit(stdout, "\"", 1);
}

// A JSON string, or null for an empty one.
static void emit_json_or_null(const char *s)
{
    if (s == NULL || s[0] == '\0')
        emit(stdout, "null", 4);
    else
        emit_json_string(s);
}

static void info_json(const IMAGE_REPORT *r, const char *version)
{
    emitf(stdout, "{\"marker\":%u,\"length\":%u,\"size\":%lld,\"present\":%u,\"padded\":%u,\"trailing\":%lld,",
          r->head.sw_or_fmw, r->head.length, (long long)r->size, r->present, r->padding, (long long)r->trailing);
    emitf(stdout, "\"stored_checksum\":%u,\"computed_checksum\":", r->head.CRC);
    if (r->computed_ok)
        emitf(stdout, "%u", r->computed);
    else
        emit(stdout, "null", 4);
    emit(stdout, ",\"version\":", 11);
    emit_json_string(version);
    emitf(stdout, ",\"verdict\":\"%s\",\"fault\":", r->fault[0] == '\0' ? "OK" : "FAILED");
    emit_json_or_null(r->fault);
    emit(stdout, ",\"sha256\":", 10);
    emit_json_or_null(r->sha256);
    emit(stdout, ",\"payload_sha256\":", 18);
    emit_json_or_null(r->payload_sha256);
    emit(stdout, "}\n", 2);
}

// Why a digest is missing, for the text form.
static const char *no_digest(const IMAGE_REPORT *r)
{
    if (!crypto_ready())
        return "none (this swugimg was built without libsodium)";
    return r->whole ? "none (swug writes no payload for this image)" : "none (the image is not read past 1048577 bytes)";
}

static void info_text(const IMAGE_REPORT *r, const char *version)
{
    emitf(stdout, "marker:   0x%02X\n", r->head.sw_or_fmw);
    emit(stdout, "version:  ", 10);
    emit(stdout, version, strlen(version));
    emitf(stdout, "\nlength:   %u\n", r->head.length);
    if (r->computed_ok)
        emitf(stdout, "checksum: 0x%08X stored, 0x%08X computed, %s\n", r->head.CRC, r->computed,
              r->head.CRC == r->computed ? "match" : "mismatch");
    else
        emitf(stdout, "checksum: 0x%08X stored, none computed\n", r->head.CRC);
    emitf(stdout, "size:     %lld\n", (long long)r->size);
    emitf(stdout, "payload:  %u present, %u padded with 0xFF\n", r->present, r->padding);
    emitf(stdout, "trailing: %lld\n", (long long)r->trailing);
    emitf(stdout, "image sha256:   %s\n", r->sha256[0] != '\0' ? r->sha256 : no_digest(r));
    emitf(stdout, "payload sha256: %s\n", r->payload_sha256[0] != '\0' ? r->payload_sha256 : no_digest(r));
    if (r->fault[0] == '\0')
        emit(stdout, "verdict:  OK\n", 13);
    else
        emitf(stdout, "verdict:  FAILED (%s)\n", r->fault);
}

static int info(int argc, char **argv)
{
    static const OPTION options[] = {{"--json", false}};
    char version[4 * sizeof swug_img.sw_str.version + 1];
    const char *value;
    bool json = false;
    int first = 0, opt;
    IMAGE_REPORT r;

    while ((opt = next_option(argc, argv, &first, options, COUNT_OF(options), &value)) >= 0)
        json = true;
    if (opt == BAD_OPTION)
        return 2;
    if (argc - first != 1)
        return usage("info takes one image");
    const WANTS digests = {true, false, false};
    if (read_image(argv[first], &r, &digests, NULL) != 0)
        return 2;
    judge(&r);
    version_text(r.head.version, version);
    if (json)
        info_json(&r, version);
    else
        info_text(&r, version);
    return r.fault[0] == '\0' ? 0 : 1;
}

// ---- Signatures ------------------------------------------------------------

// The release keys given with -p and -P.
typedef struct {
    PUBLIC_KEY key[MAX_KEYS];
    size_t count;
} KEYRING;

enum Small { SMALL_READ, SMALL_MISSING, SMALL_UNREADABLE, SMALL_TOO_LONG };

// Reads a key or signature file into text, which holds SIGNATURE_FILE_MAX
// bytes and a terminating zero; a longer file is not read on, so that
// /dev/zero or a huge file fails at once. SMALL_UNREADABLE leaves the
// reason in errno.
static Small read_small(const char *name, char *text, size_t *n)
{
    FILE *f = fopen(name, "rb");
    int error;

    // A name whose folder part is a file names no file either.
    if (f == NULL)
        return errno == ENOENT || errno == ENOTDIR ? SMALL_MISSING : SMALL_UNREADABLE;
    *n = fread(text, 1, SIGNATURE_FILE_MAX, f);
    const bool longer = *n == SIGNATURE_FILE_MAX && getc(f) != EOF;
    error = ferror(f) ? (errno != 0 ? errno : EIO) : 0;
    if (fclose(f) != 0 && error == 0)
        error = errno;
    text[*n] = '\0';
    errno = error;
    return error != 0 ? SMALL_UNREADABLE : longer ? SMALL_TOO_LONG : SMALL_READ;
}

// Adds the key of a -p file or a -P text to the ring. Returns 0, or 2 after
// saying why it is not a key.
static int add_key(KEYRING *ring, const char *source, bool bare)
{
    char text[SIGNATURE_FILE_MAX + 1];
    size_t n = strlen(source);

    if (ring->count == MAX_KEYS)
        return usage("too many keys");
    if (!bare) {
        const Small got = read_small(source, text, &n);
        if (got == SMALL_MISSING || got == SMALL_UNREADABLE) {
            complain(source, "cannot read", strerror(errno));
            return 2;
        }
        if (got == SMALL_TOO_LONG)
            n = 0;  // not a key, whatever it starts with
    }
    // cppcheck-suppress legacyUninitvar ; read_small filled it wherever it is used
    if (!parse_public_key(bare ? source : text, n, bare, &ring->key[ring->count])) {
        complain(source, "not a public key", NULL);
        return 2;
    }
    ring->count++;
    return 0;
}

// The key id as minisign prints it: the 8 bytes as a little-endian number,
// in 16 upper-case hex digits.
static void key_id_text(const uint8_t *id, char *text)
{
    for (size_t i = 0; i < KEY_ID_SIZE; i++)
        (void)snprintf(text + 2 * i, 3, "%02X", id[KEY_ID_SIZE - 1 - i]);
}

enum Loaded { SIGNATURE_PARSED, SIGNATURE_MISSING, SIGNATURE_UNREADABLE, SIGNATURE_MALFORMED };

// Reads and parses a signature file into s, before the image is read, so
// that the image's one pass takes what the signature needs.
// SIGNATURE_UNREADABLE leaves the reason in errno.
static Loaded load_signature(const char *sig_name, SIGNATURE *s)
{
    char text[SIGNATURE_FILE_MAX + 1];
    size_t n = 0;

    switch (read_small(sig_name, text, &n)) {
    case SMALL_MISSING:
        return SIGNATURE_MISSING;
    case SMALL_UNREADABLE:
        return SIGNATURE_UNREADABLE;
    case SMALL_TOO_LONG:
        return SIGNATURE_MALFORMED;
    case SMALL_READ:
        break;
    }
    return parse_signature(text, n, s) ? SIGNATURE_PARSED : SIGNATURE_MALFORMED;
}

// Judges the image that read_image read by what load_signature found in
// sig_name (`error` the reason it could not be read), with the ring's keys.
// Returns 0, or 2 when the signature exists but cannot be read. An image not
// read whole cannot be judged; it fails as too large.
static int judge_signature(IMAGE_REPORT *r, Loaded loaded, int error, const char *sig_name, const KEYRING *ring,
                           const SIGNATURE *s, const uint8_t *blake2b)
{
    static const char *const verdicts[] = {"", "unknown key", "signature mismatch", "trusted comment mismatch"};

    if (loaded == SIGNATURE_PARSED)
        key_id_text(s->id, r->key_id);
    if (!r->whole)
        return 0;
    switch (loaded) {
    case SIGNATURE_MISSING:
        set_fault(r, "no signature");
        return 0;
    case SIGNATURE_UNREADABLE:
        set_fault(r, "cannot read signature: %s", strerror(error));
        complain(sig_name, "cannot read", strerror(error));
        return 2;
    case SIGNATURE_MALFORMED:
        set_fault(r, "malformed signature");
        return 0;
    case SIGNATURE_PARSED:
        break;
    }
    const SignatureCheck c = verify_signature(s, ring->key, ring->count, blake2b, swug_img.sw_bin, (size_t)r->size);
    if (c != SIGNED)
        set_fault(r, "%s", verdicts[c]);
    else if (s->has_comment)
        r->trusted_comment = s->comment;
    return 0;
}

static void check_json(const char *name, const IMAGE_REPORT *r)
{
    emit(stdout, "{\"name\":", 8);
    emit_json_string(name);
    emitf(stdout, ",\"verdict\":\"%s\",\"fault\":", r->fault[0] == '\0' ? "OK" : "FAILED");
    emit_json_or_null(r->fault);
    emit(stdout, ",\"key_id\":", 10);
    emit_json_or_null(r->key_id);
    emit(stdout, ",\"trusted_comment\":", 19);
    if (r->trusted_comment != NULL)
        emit_json_string(r->trusted_comment);
    else
        emit(stdout, "null", 4);
    emit(stdout, ",\"sha256\":", 10);
    emit_json_or_null(r->sha256);
    emit(stdout, "}\n", 2);
}

// A line for every name given: an image that cannot be read gets one too,
// so that a script reading a line an image never loses count. Given a key,
// every image must carry a good signature by one of the keys given; nothing
// turns that off.
static int check(int argc, char **argv)
{
    static const OPTION options[] = {{"--json", false}, {"-p", true}, {"-P", true}, {"-x", true}};
    KEYRING ring;
    SIGNATURE s;
    const char *value, *sig_file = NULL;
    bool json = false;
    int first = 0, opt, status = 0;

    while ((opt = next_option(argc, argv, &first, options, COUNT_OF(options), &value)) >= 0) {
        json = json || opt == 0;
        if (opt == 3)
            sig_file = value;
    }
    if (opt == BAD_OPTION)
        return 2;
    if (argc - first < 1)
        return usage("check takes one image or more");
    // The keys, before any image is judged.
    ring.count = 0;
    for (int i = 0; i < first; i++) {
        const bool file = strcmp(argv[i], "-p") == 0, bare = strcmp(argv[i], "-P") == 0;
        if (!file && !bare)
            continue;
        if (!crypto_ready()) {
            complain(NULL, "-p and -P need libsodium, which this swugimg was built without "
                           "(Debian: apt-get install libsodium-dev, then build again)", NULL);
            return 2;
        }
        const int bad = add_key(&ring, argv[++i], bare);
        if (bad != 0)
            return bad;
    }
    if (sig_file != NULL && ring.count == 0)
        return usage("-x needs a key, given with -p or -P");
    if (sig_file != NULL && argc - first > 1)
        return usage("-x takes one image");

    for (int i = first; i < argc; i++) {
        char sig_name[4096];
        uint8_t blake2b[BLAKE2B_SIZE];
        Loaded loaded = SIGNATURE_MISSING;
        int sig_error = 0;
        IMAGE_REPORT r;
        if (ring.count > 0 && sig_file == NULL &&
            snprintf(sig_name, sizeof sig_name, "%s.minisig", argv[i]) >= (int)sizeof sig_name) {
            loaded = SIGNATURE_UNREADABLE;
            sig_error = ENAMETOOLONG;
        } else if (ring.count > 0) {
            loaded = load_signature(sig_file != NULL ? sig_file : sig_name, &s);
            sig_error = errno;
        }
        const WANTS w = {json, loaded == SIGNATURE_PARSED && s.hashed, loaded == SIGNATURE_PARSED && !s.hashed};
        int st = read_image(argv[i], &r, &w, blake2b);
        if (st == 0 && ring.count > 0)
            st = judge_signature(&r, loaded, sig_error, sig_file != NULL ? sig_file : sig_name, &ring, &s, blake2b);
        if (st == 0)
            judge(&r);
        if (st != 0)
            status = 2;
        else if (r.fault[0] != '\0' && status == 0)
            status = 1;
        if (json) {
            check_json(argv[i], &r);
            continue;
        }
        emit_name(stdout, argv[i]);
        if (r.fault[0] == '\0')
            emit(stdout, ": OK\n", 5);
        else
            emitf(stdout, ": FAILED (%s)\n", r.fault);
    }
    return status;
}

// A marker is 0 to 255, in decimal or in hex after one 0x.
static bool parse_marker(const char *s, uint8_t *marker)
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

static int create(int argc, char **argv)
{
    static const OPTION options[] = {{"-m", true}, {"-v", true}};
    uint8_t head[HEADER_SIZE];
    uint8_t marker = 0;
    const char *version = "", *value;
    char why[160];
    size_t size = 0;
    Input payload;
    bool more = false, ok;
    int i = 0, opt;
    FILE *f;

    while ((opt = next_option(argc, argv, &i, options, COUNT_OF(options), &value)) >= 0) {
        if (opt == 0 && !parse_marker(value, &marker))
            return usage("the marker is a number from 0 to 255, or 0x00 to 0xFF");
        if (opt == 1)
            version = value;
    }
    if (opt == BAD_OPTION)
        return 2;
    if (argc - i != 2)
        return usage("create takes a payload and an image");
    if (strlen(version) > sizeof swug_img.sw_str.version)
        return usage("the version text is at most 31 bytes");

    f = open_input(argv[i], why, sizeof why);
    if (f == NULL)
        return 2;
    file_id(f, &payload.id);
    ok = read_up_to(f, swug_img.sw_bin, PAYLOAD_CAPACITY, &size, &more);
    if (!done_reading(argv[i], f, ok, why, sizeof why))
        return 2;
    if (more) {
        (void)snprintf(why, sizeof why, "payload larger than %u bytes", PAYLOAD_CAPACITY);
        complain(argv[i], why, NULL);
        return 1;
    }

    payload.bytes = swug_img.sw_bin;
    payload.size = size;
    memset(&swug_img.sw_str, 0, sizeof swug_img.sw_str);
    swug_img.sw_str.sw_or_fmw = marker;
    memcpy(swug_img.sw_str.version, version, strlen(version));
    swug_img.sw_str.length = (uint32_t)size;
    generate_CRC();
    header_bytes(&swug_img.sw_str, head);
    if (!write_file(argv[i + 1], head, sizeof head, swug_img.sw_bin, size, &payload)) {
        complain(argv[i + 1], "cannot write", strerror(errno));
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    int status, error;

    platform_start();
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        emit(stdout, usage_text, sizeof usage_text - 1);
        status = 0;
    } else if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        emitf(stdout, "swugimg %s\n", SWUG_VERSION);
        status = 0;
    } else if (argc < 2) {
        return usage(NULL);
    } else if (!args_are_exact()) {
        return usage("an argument holds a character that this system's code page cannot represent");
    } else if (strcmp(argv[1], "info") == 0) {
        status = info(argc - 2, argv + 2);
    } else if (strcmp(argv[1], "check") == 0) {
        status = check(argc - 2, argv + 2);
    } else if (strcmp(argv[1], "create") == 0) {
        status = create(argc - 2, argv + 2);
    } else {
        return usage("unknown command");
    }
    // Results that did not reach standard output are no results.
    error = close_stdout();
    if (error != 0) {
        complain("standard output", "cannot write", strerror(error));
        return 2;
    }
    return status;
}
