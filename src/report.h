// swugimg's output: results on standard output as text lines or JSON,
// complaints on standard error, and the escaping that keeps a name from
// forging a line of either.
#ifndef SWUG_REPORT_H
#define SWUG_REPORT_H

#include <stddef.h>

#include "image.h"
#include "platform.h"

// Standard output as the results go to it.
typedef struct {
    bool printed;  // whether anything was meant for it
    int error;     // why some of it could not be written, or 0
} RESULTS;

// Text for standard output, or for standard error where out is NULL.
void say(RESULTS *out, const char *s, size_t n);
PRINTF_LIKE(2, 3) void sayf(RESULTS *out, const char *fmt, ...);

// "swugimg: NAME: WHAT: REASON" on standard error, the name escaped, the
// name and the reason left out where NULL. When standard error cannot be
// written either, there is nobody left to tell.
void complain(const char *name, const char *what, const char *reason);
// As gnulib's close_stdout: whatever was written must have reached standard
// output; a closed standard output that nothing was written to is fine.
// Returns 0, or the reason it failed.
int close_stdout(const RESULTS *out);

// The version text up to its first zero byte, printable ASCII as it is, a
// backslash as \\ and any other byte as \xHH: at most VERSION_TEXT_SIZE
// bytes with the terminating zero.
#define VERSION_TEXT_SIZE (4 * sizeof(SWUG_STRUCT::version) + 1)
void version_text(const char *v, char *out);

// info's report of one image, as text or as one JSON object.
void info_text(RESULTS *out, const IMAGE_REPORT *r);
void info_json(RESULTS *out, const IMAGE_REPORT *r);

// check's line for one image: "NAME: OK" or "NAME: FAILED (REASON)".
void verdict_line(RESULTS *out, const char *name, const IMAGE_REPORT *r);
// The same as one JSON object on a line; with an output name, extract's,
// which says whether the output was written.
void verdict_json(RESULTS *out, const char *name, const IMAGE_REPORT *r, const char *output, bool written);

#endif
