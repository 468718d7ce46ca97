// The system underneath swug and swugimg: files, the console and the current
// directory. Each system has a file of its own behind this header,
// platform_linux.cpp or platform_win32.cpp; nothing else tests _WIN32.
#ifndef SWUG_PLATFORM_H
#define SWUG_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define PRINTF_LIKE(f, a)
#endif

// Call first thing in main. A write to a closed pipe, or past a file size
// limit, then fails like any other write instead of ending the process, and
// an interrupt while an output is being made removes its temporary file
// before the process ends the way the signal says. On Linux, a standard
// descriptor closed at start is held on /dev/null in a way that still fails
// every read and write, so that no file opened later takes its number.
void platform_start(void);

// Whether every argument is exactly the text the user gave. Windows hands an
// 8-bit program a lookalike for a character its code page lacks (a full-width
// 'a' becomes 'a'); such a name must not be used. Always true elsewhere.
bool args_are_exact(void);

// The current directory into buf, as _getcwd does; NULL when it cannot be
// had exactly.
char *current_dir(char *buf, int size);

// Whether a backslash separates folders, so that it is never part of a name
// (Windows).
bool backslash_is_separator(void);

// Whether c starts a double-byte character in the active code page, so that
// the byte after it is never a separator. Always false outside Windows.
bool is_lead_byte(unsigned char c);

// The size of an open file, or -1 when it cannot be told.
int64_t file_size(FILE *f);

// Makes the whole pages inside p..p+n, which the caller is about to overwrite
// with a read, fresh ones, all present at once. Writing a page of the program
// file's own data (the pre-filled image record) otherwise first copies it in,
// a fault a page; the bytes they held are lost. Does nothing where the system
// cannot do it.
void fresh_pages(void *p, size_t n);

// Which file an open stream reads, so that an output can be told apart from
// it. `known` is false when the system would not say.
typedef struct {
    uint64_t volume, index;
    bool known;
} FileId;

void file_id(FILE *f, FileId *id);

// The file an output is made from, which writing the output must never harm.
// Some file systems give one file several identities (sshfs, FUSE FAT and
// exFAT, some network shares), so its content as read counts as well.
typedef struct {
    FileId id;
    const uint8_t *bytes;  // the whole file, as read
    size_t size;
} Input;

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

// Writes head (head_len bytes) and then body (body_len bytes) as the whole
// content of the file `name`; `input` is the file it was made from, which a
// failure must never harm (NULL: none). Returns 1 on success, 0 on failure
// with the reason in errno. output.cpp holds the rule it follows.
int write_file(const char *name, const uint8_t *head, size_t head_len, const uint8_t *body, size_t body_len,
               const Input *input);

#endif
