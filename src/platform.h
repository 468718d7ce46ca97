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

// Call first thing in main. A write to a closed pipe then fails like any
// other write instead of ending the process.
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

// Waits for one key press, without echo or Enter, when standard input is a
// console or terminal; returns at once otherwise, so a script never hangs.
void wait_key(void);

// Checks that everything written to f reached the system, and closes it.
// Returns 0 on success, EOF when any write, the flush or the close failed.
int close_stream(FILE *f);

// Writes head (head_len bytes) and then body (body_len bytes) as the whole
// content of the file name. The file is replaced only once the new content is
// complete, so on failure an existing file is left as it was. Outputs that a
// replacement would change in other ways are written in place: one that is
// not a regular file, or has more than one link; a symbolic link has the file
// it points to replaced. `keep` names a file that must survive a failure
// (the input), or is NULL. Returns 1 on success, 0 on failure.
int write_file(const char *name, const uint8_t *head, size_t head_len, const uint8_t *body, size_t body_len,
               const char *keep);

#endif
