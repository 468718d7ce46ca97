// swug: write the payload of a firmware upgrade image to a file of its own.
//
//   swug              interactive: data/QUILMO_SW.bin -> out/QUILMO_UPGRADE_SW.bin
//   swug IN OUT       command mode: silent, exit status 0 or 1
#include "main.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// ---- Platform --------------------------------------------------------------
// Everything that differs between Windows and POSIX systems is in this block.
// Windows has _getcwd and _getch; elsewhere they are stood in for here.
#ifdef _WIN32
#include <conio.h>
#include <direct.h>
static constexpr bool backslash_is_separator = true;

// The size of an open file, or -1 when it cannot be told. Windows' ftell
// counts in 32 bits and wraps past 4 GiB.
static int64_t file_size(FILE *f)
{
    return _fseeki64(f, 0, SEEK_END) == 0 ? _ftelli64(f) : -1;
}
#else
#include <errno.h>
#include <termios.h>
#include <unistd.h>
static constexpr bool backslash_is_separator = false;

static int64_t file_size(FILE *f)
{
    return fseeko(f, 0, SEEK_END) == 0 ? (int64_t)ftello(f) : -1;
}

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): named after the Windows calls they replace
static char *_getcwd(char *buf, int size)
{
    return getcwd(buf, (size_t)size);
}

// One key, without echo and without waiting for Enter. Without a terminal on
// standard input there is nobody to press a key, so do not wait at all.
static int _getch(void)
{
    struct termios saved, raw;
    unsigned char c = 0;

    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0)
        return -1;
    raw = saved;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
        return -1;
    while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR)
        ;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return c;
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
#endif

#if defined(__GNUC__)
#define PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define PRINTF_LIKE(f, a)
#endif
// ---- End of platform -------------------------------------------------------

#define DEFAULT_INPUT "data/QUILMO_SW.bin"
#define DEFAULT_OUTPUT "out/QUILMO_UPGRADE_SW.bin"
#define PAYLOAD_CAPACITY (BODY_CAPACITY - HEADER_SIZE)

typedef struct {
    int32_t argc;
    char **argv;
    int32_t return_code;  // cppcheck-suppress unusedStructMember ; part of the record, the result is returned
} func_args;

static uint8_t in_cmd_mode;
static char work_dir[PATH_CAPACITY];

// Console messages; command mode is silent.
PRINTF_LIKE(1, 2) static void say(const char *fmt, ...)
{
    va_list ap;

    if (in_cmd_mode == 1)
        return;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
}

static uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The header at the start of an image file, its fields made host values.
static SWUG_STRUCT header_of(const uint8_t *b)
{
    SWUG_STRUCT h;

    h.sw_or_fmw = b[0];
    memcpy(h.version, b + 1, sizeof h.version);
    h.length = le32(b + 32);
    h.CRC = le32(b + 36);
    return h;
}

// Adds the block read as little-endian 32-bit words to in_crc; a last word of
// 1 to 3 bytes counts with zero high bytes.
[[maybe_unused]] static uint32_t generate_CRC_512(const uint8_t *c, int32_t len, uint32_t in_crc)
{
    uint32_t sum = in_crc, tail = 0;
    int64_t i = 0;

    for (; i + 4 < len; i += 4)
        sum += le32(c + i);
    for (int shift = 0; i < len; i++, shift += 8)
        tail |= (uint32_t)c[i] << shift;
    return sum + tail;
}

// Checksum of the payload held at the start of sw_bin. A length beyond the
// body stops at its end.
[[maybe_unused]] static void generate_CRC(void)
{
    uint32_t n = swug_img.sw_str.length < BODY_CAPACITY ? swug_img.sw_str.length : BODY_CAPACITY;
    uint32_t crc = 0;

    // cppcheck-suppress knownConditionTrueFalse ; it takes the record for never written
    for (uint32_t pos = 0; pos < n; pos += CHECKSUM_BLOCK) {
        uint32_t block = n - pos < CHECKSUM_BLOCK ? n - pos : CHECKSUM_BLOCK;
        crc = generate_CRC_512(swug_img.sw_bin + pos, (int32_t)block, crc);
    }
    swug_img.sw_str.CRC = crc;
}

// Turns the directory as the system reports it into '/'-separated text: every
// backslash becomes '/', and a run of them becomes a single '/'.
[[maybe_unused]] static void normalise_separators(char *s)
{
    size_t w = 0;
    bool after_backslash = false;

    for (size_t r = 0; s[r] != '\0'; r++) {
        bool backslash = s[r] == '\\';
        if (!(backslash && after_backslash))
            s[w++] = backslash ? '/' : s[r];
        after_backslash = backslash;
    }
    s[w] = '\0';
}

// An empty work_dir means the directory could not be captured.
static void capture_work_dir(void)
{
    memset(work_dir, 0, sizeof work_dir);
    if (_getcwd(work_dir, PATH_CAPACITY) == NULL)
        work_dir[0] = '\0';
    if constexpr (backslash_is_separator)
        normalise_separators(work_dir);
}

// Puts the name that arg stands for into dest: a "./" name joined to the start
// directory, any other name as it is. Returns 0 when that name cannot be had
// whole: too long for dest, or "./" without a start directory.
static int resolve_name(const char *arg, char *dest)
{
    int n;

    if (arg[0] == '.' && arg[1] == '/') {
        if (work_dir[0] == '\0')
            return 0;
        n = snprintf(dest, PATH_CAPACITY, "%s/%s", work_dir, arg + 2);
    } else {
        n = snprintf(dest, PATH_CAPACITY, "%s", arg);
    }
    return n >= 0 && n < PATH_CAPACITY;
}

// Reads the whole file fn into buffer. Returns its size, or 0 when it is
// empty, larger than max_len or cannot be read whole.
static int32_t read_bin(const char *fn, uint8_t *buffer, uint32_t max_len)
{
    FILE *f = fopen(fn, "rb");
    int64_t end;
    uint32_t size;
    bool ok;

    if (f == NULL) {
        say("Open file (%s) failed\n", fn);
        return 0;
    }
    // A size that cannot be told, or does not fit 32 bits, is over the limit.
    end = file_size(f);
    size = end < 0 || end > UINT32_MAX ? UINT32_MAX : (uint32_t)end;
    say("%s len= %u\n", fn, size);
    // On these two refusals the run fails whatever closing the input says.
    if (size > max_len) {
        say("Length of %s exceed limition\n", fn);
        (void)fclose(f);
        return 0;
    }
    if (size == 0) {
        (void)fclose(f);
        return 0;
    }
    ok = fseek(f, 0, SEEK_SET) == 0 && fread(buffer, 1, size, f) == size;
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        say("Read file %s failed\n", fn);
        return 0;
    }
    return (int32_t)size;
}

static int32_t write_payload(const char *fn, const uint8_t *payload, uint32_t len)
{
    FILE *f = fopen(fn, "wb");
    bool ok;

    if (f == NULL) {
        say("Write file %s failed\n", fn);
        return 0;
    }
    ok = fwrite(payload, 1, len, f) == len;
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        say("Write file %s failed\n", fn);
        return 0;
    }
    return 1;
}

// Sets n bytes to IMAGE_FILL, writing only the pieces that do not hold it
// already: the record starts out filled, and writing a page for the first
// time costs far more than reading it.
static void fill(uint8_t *p, size_t n)
{
    const size_t piece = 4096;

    for (size_t at = 0; at < n; at += piece) {
        size_t len = n - at < piece ? n - at : piece;
        // All len bytes are the fill when the first is and each equals the next.
        if (p[at] != IMAGE_FILL || memcmp(p + at, p + at + 1, len - 1) != 0)
            memset(p + at, IMAGE_FILL, len);
    }
}

// Makes every byte of the record IMAGE_FILL but the first `supplied` bytes of
// sw_bin, which a read has just put there. Filling after the read rather than
// before leaves the same record without touching those bytes twice.
static void fill_record(uint32_t supplied)
{
    fill((uint8_t *)&swug_img.sw_str, sizeof swug_img.sw_str);
    fill(swug_img.sw_bin + supplied, BODY_CAPACITY - supplied);
    fill(swug_img.reserved, sizeof swug_img.reserved);
}

// Fills openname and fname for the run that the arguments ask for. Returns 0
// on a wrong argument count or a name that cannot be had whole.
static int choose_names(const func_args *args, char *openname, char *fname)
{
    if (args->argc == 1) {
        memcpy(openname, DEFAULT_INPUT, sizeof DEFAULT_INPUT);
        memcpy(fname, DEFAULT_OUTPUT, sizeof DEFAULT_OUTPUT);
        return 1;
    }
    if (args->argc == 3)
        return resolve_name(args->argv[1], openname) && resolve_name(args->argv[2], fname);
    say("Parameter Error [%d]\n", args->argc);
    return 0;
}

// Writes the payload of the image named by the arguments. Returns 1 when the
// payload file was written whole, 0 otherwise. The output is opened only once
// the input has been read and checked, so a failed run leaves it untouched.
static int32_t generate_swug_bin(void *p)
{
    char openname[PATH_CAPACITY] = {0};
    char fname[PATH_CAPACITY] = {0};
    SWUG_STRUCT head;
    int32_t filesize;

    if (!choose_names(static_cast<const func_args *>(p), openname, fname))
        return 0;

    // Whatever the file does not supply reads as IMAGE_FILL, so a header
    // length beyond the data present is padded with 0xFF.
    filesize = read_bin(openname, swug_img.sw_bin, BODY_CAPACITY);
    fill_record(filesize > 0 ? (uint32_t)filesize : 0);
    if (filesize <= 0)
        return 0;

    head = header_of(swug_img.sw_bin);
    // The payload must come from the record; a longer one would be past it.
    if (head.length > PAYLOAD_CAPACITY) {
        say("Payload length %u of %s exceeds %u\n", head.length, openname, PAYLOAD_CAPACITY);
        return 0;
    }
    return write_payload(fname, swug_img.sw_bin + HEADER_SIZE, head.length);
}

int main(int argc, char **argv)
{
    func_args args = {argc, argv, 0};
    int32_t result;

    if (argc == 3) {
        capture_work_dir();
        in_cmd_mode = 1;
    }
    result = generate_swug_bin(&args);
    if (in_cmd_mode == 1)
        return result == 1 ? 0 : 1;
    // The status is 0 here whatever happens; a console that cannot be
    // written has nobody to tell.
    printf("Press any key to exit!");
    (void)fflush(stdout);
    _getch();
    return 0;
}
