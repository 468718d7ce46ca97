// swugimg's output; see report.h.
#include "report.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

// Standard output for `out`, or standard error where it is NULL.
void say(RESULTS *out, const char *s, size_t n)
{
    if (out == NULL) {
        (void)put_text(stderr, s, n);
        return;
    }
    out->printed = true;
    if (!put_text(stdout, s, n) && out->error == 0)
        out->error = errno != 0 ? errno : EIO;
}

void sayf(RESULTS *out, const char *fmt, ...)
{
    char buf[256];  // numbers and fixed texts; names go through emit_name
    va_list ap;
    int n;

    va_start(ap, fmt);
    n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    say(out, buf, n < 0 ? 0 : std::min((size_t)n, sizeof buf - 1));
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
static void emit_name(RESULTS *out, const char *name)
{
    const char *run = name, *p = name;
    char e[5];

    while (*p != '\0' && !calls_for_escape((unsigned char)*p))
        p++;
    if (*p == '\0') {
        say(out, name, (size_t)(p - name));
        return;
    }
    say(out, "\\", 1);
    for (p = name; *p != '\0'; p++) {
        const unsigned char c = (unsigned char)*p;
        if (!must_escape(c))
            continue;
        say(out, run, (size_t)(p - run));
        if (c == '\\' || c == '\n' || c == '\r')
            (void)snprintf(e, sizeof e, "\\%c", c == '\\' ? '\\' : c == '\n' ? 'n' : 'r');
        else
            (void)snprintf(e, sizeof e, "\\x%02X", c);
        say(out, e, strlen(e));
        run = p + 1;
    }
    say(out, run, (size_t)(p - run));
}

void complain(const char *name, const char *what, const char *reason)
{
    say(NULL, "swugimg: ", 9);
    if (name != NULL) {
        emit_name(NULL, name);
        say(NULL, ": ", 2);
    }
    say(NULL, what, strlen(what));
    if (reason != NULL)
        sayf(NULL, ": %s", reason);
    say(NULL, "\n", 1);
}

int close_stdout(const RESULTS *out)
{
    const bool failed = out->error != 0 || ferror(stdout) != 0;

    if (fclose(stdout) != 0 && (out->printed || errno != EBADF))
        return errno;
    return failed ? (out->error != 0 ? out->error : EIO) : 0;
}

void version_text(const char *v, char *out)
{
    for (size_t i = 0; i < sizeof(SWUG_STRUCT::version) && v[i] != '\0'; i++) {
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

// ---- JSON ------------------------------------------------------------------

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
static void emit_json_string(RESULTS *out, const char *s)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);

    say(out, "\"", 1);
    while (*p != '\0') {
        const size_t n = utf8_length(p);
        if (n == 0)
            sayf(out, "\\u%04x", 0xDC00 + *p++);
        else if (*p == '"' || *p == '\\')
            sayf(out, "\\%c", *p++);
        else if (*p < 0x20)
            sayf(out, "\\u%04x", *p++);
        else {
            say(out, reinterpret_cast<const char *>(p), n);
            p += n;
        }
    }
    say(out, "\"", 1);
}

// A JSON string, or null for none or an empty one.
static void emit_json_or_null(RESULTS *out, const char *s)
{
    if (s == NULL || s[0] == '\0')
        say(out, "null", 4);
    else
        emit_json_string(out, s);
}

static const char *verdict(const IMAGE_REPORT *r)
{
    return r->fault[0] == '\0' ? "OK" : "FAILED";
}

void info_json(RESULTS *out, const IMAGE_REPORT *r)
{
    char version[VERSION_TEXT_SIZE];

    version_text(r->head.version, version);
    sayf(out, "{\"marker\":%u,\"length\":%u,\"size\":%lld,\"present\":%u,\"padded\":%u,\"trailing\":%lld,",
          r->head.sw_or_fmw, r->head.length, (long long)r->size, r->present, r->padding, (long long)r->trailing);
    sayf(out, "\"stored_checksum\":%u,\"computed_checksum\":", r->head.CRC);
    if (r->computed_ok)
        sayf(out, "%u", r->computed);
    else
        say(out, "null", 4);
    say(out, ",\"version\":", 11);
    emit_json_string(out, version);
    sayf(out, ",\"verdict\":\"%s\",\"fault\":", verdict(r));
    emit_json_or_null(out, r->fault);
    say(out, ",\"sha256\":", 10);
    emit_json_or_null(out, r->sha256);
    say(out, ",\"payload_sha256\":", 18);
    emit_json_or_null(out, r->payload_sha256);
    say(out, "}\n", 2);
}

void verdict_json(RESULTS *out, const char *name, const IMAGE_REPORT *r, const char *output, bool written)
{
    say(out, "{\"name\":", 8);
    emit_json_string(out, name);
    sayf(out, ",\"verdict\":\"%s\",\"fault\":", verdict(r));
    emit_json_or_null(out, r->fault);
    say(out, ",\"key_id\":", 10);
    emit_json_or_null(out, r->key_id);
    say(out, ",\"trusted_comment\":", 19);
    if (r->trusted_comment != NULL)
        emit_json_string(out, r->trusted_comment);
    else
        say(out, "null", 4);
    say(out, ",\"sha256\":", 10);
    emit_json_or_null(out, r->sha256);
    // What the header says, once the image could be read.
    if (r->read) {
        char version[VERSION_TEXT_SIZE];
        version_text(r->head.version, version);
        sayf(out, ",\"marker\":%u,\"version\":", r->head.sw_or_fmw);
        emit_json_string(out, version);
        sayf(out, ",\"length\":%u", r->head.length);
    } else {
        const char nothing[] = ",\"marker\":null,\"version\":null,\"length\":null";
        say(out, nothing, sizeof nothing - 1);
    }
    say(out, ",\"payload_sha256\":", 18);
    emit_json_or_null(out, r->payload_sha256);
    if (output != NULL) {
        say(out, ",\"output\":", 10);
        emit_json_string(out, output);
        sayf(out, ",\"written\":%s", written ? "true" : "false");
    }
    say(out, "}\n", 2);
}

// ---- Text ------------------------------------------------------------------

// Why a digest is missing, for the text form.
static const char *no_digest(const IMAGE_REPORT *r)
{
    if (!crypto_ready())
        return crypto_built() ? "none (libsodium failed to start)" : "none (this swugimg was built without libsodium)";
    return r->whole ? "none (swug writes no payload for this image)" : "none (the image is not read past 1048577 bytes)";
}

void info_text(RESULTS *out, const IMAGE_REPORT *r)
{
    char version[VERSION_TEXT_SIZE];

    version_text(r->head.version, version);
    sayf(out, "marker:   0x%02X\n", r->head.sw_or_fmw);
    say(out, "version:  ", 10);
    say(out, version, strlen(version));
    sayf(out, "\nlength:   %u\n", r->head.length);
    if (r->computed_ok)
        sayf(out, "checksum: 0x%08X stored, 0x%08X computed, %s\n", r->head.CRC, r->computed,
              r->head.CRC == r->computed ? "match" : "mismatch");
    else
        sayf(out, "checksum: 0x%08X stored, none computed\n", r->head.CRC);
    sayf(out, "size:     %lld\n", (long long)r->size);
    sayf(out, "payload:  %u present, %u padded with 0xFF\n", r->present, r->padding);
    sayf(out, "trailing: %lld\n", (long long)r->trailing);
    sayf(out, "image sha256:   %s\n", r->sha256[0] != '\0' ? r->sha256 : no_digest(r));
    sayf(out, "payload sha256: %s\n", r->payload_sha256[0] != '\0' ? r->payload_sha256 : no_digest(r));
    if (r->fault[0] == '\0')
        say(out, "verdict:  OK\n", 13);
    else
        sayf(out, "verdict:  FAILED (%s)\n", r->fault);
}

void verdict_line(RESULTS *out, const char *name, const IMAGE_REPORT *r)
{
    emit_name(out, name);
    if (r->fault[0] == '\0')
        say(out, ": OK\n", 5);
    else
        sayf(out, ": FAILED (%s)\n", r->fault);
}
