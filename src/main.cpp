// swug: write the payload of a firmware upgrade image to a file of its own.
//
//   swug              interactive: data/QUILMO_SW.bin -> out/QUILMO_UPGRADE_SW.bin
//   swug IN OUT       command mode: silent, exit status 0 or 1
#include "main.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform.h"

#define DEFAULT_INPUT "data/QUILMO_SW.bin"
#define DEFAULT_OUTPUT "out/QUILMO_UPGRADE_SW.bin"

typedef struct {
    int32_t argc;
    char **argv;
    int32_t return_code;  // cppcheck-suppress unusedStructMember ; part of the record, the result is returned
} func_args;

static uint8_t in_cmd_mode;
static char work_dir[PATH_CAPACITY];
static FileId input_file;  // the image read, which writing the payload must never harm
// Bytes at the start of sw_bin that may differ from IMAGE_FILL; every byte
// after them holds it. The record starts out filled.
static uint32_t written_end;

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

// Turns the directory as Windows reports it into '/'-separated text: every
// backslash becomes '/' and a run of them a single '/', but a share keeps its
// leading pair, so \\srv\share becomes //srv/share. The byte after a lead
// byte of a double-byte character belongs to that character, even when it
// has the value of a backslash.
static void normalise_separators(char *s, bool (*lead_byte)(unsigned char))
{
    size_t r = 0, w = 0;
    bool after_backslash = false;

    if (s[0] == '\\' && s[1] == '\\') {
        s[w++] = '/';
        s[w++] = '/';
        r = 2;
        after_backslash = true;
    }
    for (; s[r] != '\0'; r++) {
        if (lead_byte((unsigned char)s[r]) && s[r + 1] != '\0') {
            s[w++] = s[r++];
            s[w++] = s[r];
            after_backslash = false;
            continue;
        }
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
    if (current_dir(work_dir, PATH_CAPACITY) == NULL)
        work_dir[0] = '\0';
    if (backslash_is_separator())
        normalise_separators(work_dir, is_lead_byte);
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
    // The one read goes straight into the record; a buffer would only cost
    // the system calls that size it and set the position back at the close.
    (void)setvbuf(f, NULL, _IONBF, 0);  // on failure the stream stays buffered, which reads the same
    file_id(f, &input_file);
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
    fresh_pages(buffer, size);
    ok = fseek(f, 0, SEEK_SET) == 0 && fread(buffer, 1, size, f) == size;
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        say("Read file %s failed\n", fn);
        return 0;
    }
    return (int32_t)size;
}

// Sets n bytes to IMAGE_FILL, writing only when they do not hold it already:
// writing a page of the record for the first time costs far more than
// reading it.
static void fill(uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i] != IMAGE_FILL) {
            memset(p, IMAGE_FILL, n);
            return;
        }
}

// Makes the whole record IMAGE_FILL again. Only what the last read may have
// written needs it: the rest of sw_bin already holds the fill, so a first
// run writes nothing and never reads a megabyte to find that out.
static void fill_record(void)
{
    fill((uint8_t *)&swug_img.sw_str, sizeof swug_img.sw_str);
    memset(swug_img.sw_bin, IMAGE_FILL, written_end);
    fill(swug_img.reserved, sizeof swug_img.reserved);
    written_end = 0;
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
        return args_are_exact() && resolve_name(args->argv[1], openname) && resolve_name(args->argv[2], fname);
    say("Parameter Error [%d]\n", args->argc);
    return 0;
}

// Writes the payload of the image named by the arguments. Returns 1 when the
// payload file was written whole, 0 otherwise. The output is written only
// once the input has been read and checked, and replaced only once the new
// payload is whole, so a failed run leaves it (and the input) as they were.
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
    fill_record();
    filesize = read_bin(openname, swug_img.sw_bin, BODY_CAPACITY);
    // A failed read may have written any part of the body.
    written_end = filesize > 0 ? (uint32_t)filesize : BODY_CAPACITY;
    if (filesize <= 0)
        return 0;

    head = header_of(swug_img.sw_bin);
    // The payload must come from the record; a longer one would be past it.
    if (!length_fits(head.length)) {
        say("Payload length %u of %s exceeds %u\n", head.length, openname, PAYLOAD_CAPACITY);
        return 0;
    }
    const Input input = {input_file, swug_img.sw_bin, (size_t)filesize};
    if (!write_file(fname, NULL, 0, swug_img.sw_bin + HEADER_SIZE, head.length, &input)) {
        say("Write file %s failed\n", fname);
        return 0;
    }
    return 1;
}

int main(int argc, char **argv)
{
    func_args args = {argc, argv, 0};
    int32_t result;

    platform_start();
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
    wait_key();
    return 0;
}
