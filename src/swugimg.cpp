// swugimg: inspect, verify and build the upgrade images that swug extracts.
//
//   swugimg info IMAGE                                   the header, field by field
//   swugimg check IMAGE...                               one verdict a line
//   swugimg create [-m MARKER] [-v VERSION] PAYLOAD IMAGE
//
// Exit status: 0 sound (or written), 1 not sound (or not written), 2 a usage
// error or a file that cannot be read.
#include "main.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "version.h"

#define IMAGE_CAPACITY BODY_CAPACITY  // the largest image swug reads

// What an image holds, as swug would see it.
typedef struct {
    int64_t size;       // of the file
    SWUG_STRUCT head;   // bytes missing from a short file read as IMAGE_FILL
    uint32_t present;   // payload bytes in the file, at most head.length
    uint32_t padding;   // payload bytes swug would add as IMAGE_FILL
    int64_t trailing;   // bytes after the payload, which swug ignores
    bool computed_ok;   // whether the checksum below could be computed
    uint32_t computed;  // checksum of the payload swug would write
    char fault[80];     // why the image is not sound, or empty
} IMAGE_REPORT;

static const char usage_text[] =
    "usage: swugimg info IMAGE\n"
    "       swugimg check IMAGE...\n"
    "       swugimg create [-m MARKER] [-v VERSION] PAYLOAD IMAGE\n";

// Errors go to standard error; when that cannot be written either, there is
// nobody left to tell, so its results go unchecked.
PRINTF_LIKE(1, 2) static void complain(const char *fmt, ...)
{
    va_list ap;

    (void)fputs("swugimg: ", stderr);
    va_start(ap, fmt);
    (void)vfprintf(stderr, fmt, ap);
    va_end(ap);
    (void)fputc('\n', stderr);
}

static int usage(const char *problem)
{
    if (problem != NULL)
        complain("%s", problem);
    (void)fputs(usage_text, stderr);
    return 2;
}

PRINTF_LIKE(2, 3) static void set_fault(IMAGE_REPORT *r, const char *fmt, ...)
{
    va_list ap;

    va_start(ap, fmt);
    (void)vsnprintf(r->fault, sizeof r->fault, fmt, ap);  // every reason fits
    va_end(ap);
}

// Opens a file to read and tells its size, or complains and returns NULL.
static FILE *open_input(const char *name, int64_t *size)
{
    FILE *f = fopen(name, "rb");

    if (f == NULL) {
        complain("%s: cannot open: %s", name, strerror(errno));
        return NULL;
    }
    // A directory opens, too, and only a read tells.
    *size = file_size(f);
    if (*size < 0 || fseek(f, 0, SEEK_SET) != 0 || (getc(f) == EOF && ferror(f)) || fseek(f, 0, SEEK_SET) != 0) {
        complain("%s: cannot read: %s", name, strerror(errno));
        (void)fclose(f);
        return NULL;
    }
    return f;
}

static bool read_exactly(FILE *f, uint8_t *p, size_t n)
{
    return n == 0 || fread(p, 1, n, f) == n;
}

// Reads the image into the record the way the checksum wants it, header in
// sw_str and payload from the start of sw_bin, padded with IMAGE_FILL as swug
// pads it, and judges it. Returns 0, or 2 when the file cannot be read.
static int read_image(const char *name, IMAGE_REPORT *r)
{
    uint8_t head[HEADER_SIZE];
    int64_t after;
    size_t body;
    bool ok;
    FILE *f = open_input(name, &r->size);

    if (f == NULL)
        return 2;
    memset(head, IMAGE_FILL, sizeof head);
    memset(swug_img.sw_bin, IMAGE_FILL, sizeof swug_img.sw_bin);
    after = r->size > HEADER_SIZE ? r->size - HEADER_SIZE : 0;
    body = after < BODY_CAPACITY ? (size_t)after : BODY_CAPACITY;
    ok = read_exactly(f, head, r->size < HEADER_SIZE ? (size_t)r->size : HEADER_SIZE) &&
         read_exactly(f, swug_img.sw_bin, body);
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        complain("%s: cannot read", name);
        return 2;
    }

    r->head = header_of(head);
    r->present = after < r->head.length ? (uint32_t)after : r->head.length;
    r->trailing = after - r->present;
    r->computed_ok = r->head.length <= PAYLOAD_CAPACITY;
    r->padding = r->computed_ok ? r->head.length - r->present : 0;
    if (r->computed_ok) {
        swug_img.sw_str = r->head;
        generate_CRC();
        r->computed = swug_img.sw_str.CRC;
    }

    r->fault[0] = '\0';
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
    return 0;
}

// Results go to standard output, which main checks once, when it closes it:
// a failed printf leaves the stream's error flag set.

// The version text up to its first zero byte, with anything but printable
// ASCII escaped, so that it can be shown safely.
static void print_version(const char *v, size_t n)
{
    for (size_t i = 0; i < n && v[i] != '\0'; i++) {
        unsigned char c = (unsigned char)v[i];
        if (c == '\\')
            printf("\\\\");
        else if (c >= 0x20 && c < 0x7F)
            putchar(c);
        else
            printf("\\x%02X", c);
    }
    putchar('\n');
}

static int info(int argc, char **argv)
{
    IMAGE_REPORT r;

    if (argc != 1)
        return usage("info takes one image");
    if (read_image(argv[0], &r) != 0)
        return 2;
    printf("marker:   0x%02X\n", r.head.sw_or_fmw);
    printf("version:  ");
    print_version(r.head.version, sizeof r.head.version);
    printf("length:   %u\n", r.head.length);
    if (r.computed_ok)
        printf("checksum: 0x%08X stored, 0x%08X computed, %s\n", r.head.CRC, r.computed,
               r.head.CRC == r.computed ? "match" : "mismatch");
    else
        printf("checksum: 0x%08X stored, none computed\n", r.head.CRC);
    printf("size:     %lld\n", (long long)r.size);
    printf("payload:  %u present, %u padded with 0xFF\n", r.present, r.padding);
    printf("trailing: %lld\n", (long long)r.trailing);
    if (r.fault[0] == '\0')
        printf("verdict:  OK\n");
    else
        printf("verdict:  FAILED (%s)\n", r.fault);
    return r.fault[0] == '\0' ? 0 : 1;
}

static int check(int argc, char **argv)
{
    int status = 0;

    if (argc < 1)
        return usage("check takes one image or more");
    for (int i = 0; i < argc; i++) {
        IMAGE_REPORT r;
        if (read_image(argv[i], &r) != 0) {
            status = 2;
            continue;
        }
        if (r.fault[0] == '\0') {
            printf("%s: OK\n", argv[i]);
        } else {
            printf("%s: FAILED (%s)\n", argv[i], r.fault);
            if (status == 0)
                status = 1;
        }
    }
    return status;
}

// A marker is 0 to 255, in decimal or in hex after 0x.
static bool parse_marker(const char *s, uint8_t *marker)
{
    const bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const char *digits = hex ? s + 2 : s;
    char *end;
    unsigned long v;

    // strtoul would also take a sign and leading blanks.
    if (*digits == '\0' || strchr(hex ? "0123456789abcdefABCDEF" : "0123456789", *digits) == NULL)
        return false;
    errno = 0;
    v = strtoul(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v > 255)
        return false;
    *marker = (uint8_t)v;
    return true;
}

static int create(int argc, char **argv)
{
    uint8_t head[HEADER_SIZE];
    uint8_t marker = 0;
    const char *version = "";
    int64_t size;
    FileId payload;
    int i = 0;
    bool ok;
    FILE *f;

    for (; i < argc; i += 2) {
        const char *opt = argv[i];
        if (strcmp(opt, "--") == 0) {
            i++;
            break;
        }
        if (opt[0] != '-' || opt[1] == '\0')
            break;
        if (strcmp(opt, "-m") != 0 && strcmp(opt, "-v") != 0)
            return usage("unknown option");
        if (i + 1 >= argc)
            return usage("an option lacks its value");
        if (opt[1] == 'm' && !parse_marker(argv[i + 1], &marker))
            return usage("the marker is a number from 0 to 255, or 0x00 to 0xFF");
        if (opt[1] == 'v')
            version = argv[i + 1];
    }
    if (argc - i != 2)
        return usage("create takes a payload and an image");
    if (strlen(version) > sizeof swug_img.sw_str.version)
        return usage("the version text is at most 31 bytes");

    f = open_input(argv[i], &size);
    if (f == NULL)
        return 2;
    file_id(f, &payload);
    if (size > PAYLOAD_CAPACITY) {
        (void)fclose(f);
        complain("%s: payload of %lld bytes exceeds %u", argv[i], (long long)size, PAYLOAD_CAPACITY);
        return 1;
    }
    ok = read_exactly(f, swug_img.sw_bin, (size_t)size);
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        complain("%s: cannot read", argv[i]);
        return 2;
    }

    memset(&swug_img.sw_str, 0, sizeof swug_img.sw_str);
    swug_img.sw_str.sw_or_fmw = marker;
    memcpy(swug_img.sw_str.version, version, strlen(version));
    swug_img.sw_str.length = (uint32_t)size;
    generate_CRC();
    header_bytes(&swug_img.sw_str, head);
    if (!write_file(argv[i + 1], head, sizeof head, swug_img.sw_bin, (size_t)size, &payload)) {
        complain("%s: cannot write", argv[i + 1]);
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    int status;

    platform_start();
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        printf("%s", usage_text);
        return close_stream(stdout) == 0 ? 0 : 2;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("swugimg %s\n", SWUG_VERSION);
        return close_stream(stdout) == 0 ? 0 : 2;
    }
    if (argc < 2)
        return usage(NULL);
    if (!args_are_exact())
        return usage("an argument holds a character that this system's code page cannot represent");
    if (strcmp(argv[1], "info") == 0)
        status = info(argc - 2, argv + 2);
    else if (strcmp(argv[1], "check") == 0)
        status = check(argc - 2, argv + 2);
    else if (strcmp(argv[1], "create") == 0)
        status = create(argc - 2, argv + 2);
    else
        return usage("unknown command");
    // Results that did not reach standard output are no results.
    if (close_stream(stdout) != 0) {
        complain("cannot write to standard output");
        return 2;
    }
    return status;
}
