// The system underneath swug and swugimg: files, the console and the current
// directory. Everything that differs between Windows and POSIX systems is in
// platform.cpp and in the one block below; nothing else tests _WIN32.
#ifndef SWUG_PLATFORM_H
#define SWUG_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef _WIN32
static constexpr bool backslash_is_separator = true;
#else
static constexpr bool backslash_is_separator = false;
#endif

#if defined(__GNUC__)
#define PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define PRINTF_LIKE(f, a)
#endif

// Call first thing in main. A write to a closed pipe, or past a file size
// limit, then fails like any other write instead of ending the process, and
// an interrupt while an output is being made removes its temporary file
// before the process ends the way the signal says.
void platform_start(void);

// Whether every argument is exactly the text the user gave. Windows hands an
// 8-bit program a lookalike for a character its code page lacks (a full-width
// 'a' becomes 'a'); such a name must not be used. Always true elsewhere.
bool args_are_exact(void);

// The current directory into buf, as _getcwd does; NULL when it cannot be
// had exactly.
char *current_dir(char *buf, int size);

// Whether c starts a double-byte character in the active code page, so that
// the byte after it is never a separator. Always false outside Windows.
bool is_lead_byte(unsigned char c);

// The size of an open file, or -1 when it cannot be told.
int64_t file_size(FILE *f);

// Makes the whole pages inside p..p+n, which the caller is about to overwrite
// with a read, fresh ones. Writing a page of the program file's own data
// (the pre-filled image record) otherwise first copies it in; the bytes they
// held are lost. Does nothing where the system cannot do it.
void fresh_pages(void *p, size_t n);

// Which file an open stream reads, so that an output can be told apart from
// it. `known` is false when the system would not say.
typedef struct {
    uint64_t volume, index;
    bool known;
} FileId;

void file_id(FILE *f, FileId *id);

// Waits for one key press, without echo or Enter, when standard input is a
// console or terminal; returns at once otherwise, so a script never hangs.
void wait_key(void);

// Writes n bytes of the program's 8-bit text to f; false on failure. On a
// Windows console the text goes out as UTF-16 (WriteConsoleW), so that a
// name shows as typed whatever the console's code page, which is left as it
// is; anywhere else the bytes go out unchanged.
bool put_text(FILE *f, const char *s, size_t n);

// Standard input, switched to binary on Windows, where it would otherwise
// turn CR LF into LF and stop at Ctrl-Z.
FILE *binary_stdin(void);

// Checks that everything written to f reached the system, and closes it.
// Returns 0 on success, EOF when any write, the flush or the close failed.
int close_stream(FILE *f);

// Writes head (head_len bytes) and then body (body_len bytes) as the whole
// content of the file `name`; `keep` is the input it was made from, which a
// failure must never harm (NULL: none). Returns 1 on success, 0 on failure
// with the reason in errno.
// output.cpp holds the rule it follows.
int write_file(const char *name, const uint8_t *head, size_t head_len, const uint8_t *body, size_t body_len,
               const FileId *keep);

// ---- The steps of write_file, one output at a time ------------------------

// The new content of an output.
typedef struct {
    const uint8_t *head;
    size_t head_len;
    const uint8_t *body;
    size_t body_len;
} Content;

// What an output name stands for.
enum Output {
    OUTPUT_NEW,       // no file yet
    OUTPUT_FILE,      // a regular file with one link
    OUTPUT_IN_PLACE,  // a file a replacement would change in other ways: not a regular
                      // file, more than one link, or a descriptor this process holds
    OUTPUT_REFUSED,   // a file the user may not write, or a name that cannot be followed
};

// How a step went.
enum Step {
    DONE,
    NOT_ALLOWED,  // the user may write the output, but not do this
    FAILED,
};

// Looks the output up. For OUTPUT_FILE, *is_keep tells whether it is the
// file `keep` (true when that cannot be ruled out).
Output find_output(const char *name, const FileId *keep, bool *is_keep);
// A new, empty temporary file beside the output.
Step make_temp(void);
// Gives the temporary file the old output's owner, mode and attributes (where
// there is an old output), fills it, and closes it; flushed to the disk
// first when `durable`.
bool fill_temp(const Content *c, bool durable);
// Renames the temporary file over the output.
Step rename_temp(void);
void drop_temp(void);
// Writes the output where it is: through the descriptor it names, or opened
// without truncating and truncated only once it is known not to be `keep`.
bool write_in_place(const Content *c, const FileId *keep);
// Releases what find_output took.
void end_output(void);

#endif
