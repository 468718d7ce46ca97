// The system underneath swug and swugimg; see platform.h. The first part is
// the same everywhere, then come the POSIX and the Windows halves.
#include "platform.h"

#include <errno.h>
#include <string.h>

// Room for a resolved output name and the temporary file beside it.
#define LONG_PATH 4096

int close_stream(FILE *f)
{
    bool ok = ferror(f) == 0;

    ok = fflush(f) == 0 && ok;
    ok = fclose(f) == 0 && ok;
    return ok ? 0 : EOF;
}

static bool put(FILE *f, const uint8_t *head, size_t head_len, const uint8_t *body, size_t body_len)
{
    bool ok = (head_len == 0 || fwrite(head, 1, head_len, f) == head_len) &&
              (body_len == 0 || fwrite(body, 1, body_len, f) == body_len);
    return close_stream(f) == 0 && ok;
}

// Copies name into target, when it fits.
static bool copy_name(char *target, const char *name)
{
    return snprintf(target, LONG_PATH, "%s", name) < LONG_PATH;
}

// What write_file does with an output name.
enum Plan {
    REFUSE,    // an existing file that this user may not write
    IN_PLACE,  // a file that a replacement would change in other ways
    REPLACE,   // write a temporary file beside it, then rename it over
};

// How renaming the temporary file over the output went.
enum Renamed {
    RENAMED,
    NOT_ALLOWED,  // the name may not be replaced, though the file may be written
    RENAME_FAILED,
};

// Where the temporary file goes: the directory part of name, up to and
// including its last separator.
static size_t directory_length(const char *name)
{
    size_t n = 0;

    for (size_t i = 0; name[i] != '\0'; i++) {
        if (is_lead_byte((unsigned char)name[i]) && name[i + 1] != '\0')
            i++;  // the second byte of a double-byte character
        else if (name[i] == '/' || (backslash_is_separator && (name[i] == '\\' || name[i] == ':')))
            n = i + 1;
    }
    return n;
}

#ifndef _WIN32
// ---- POSIX -----------------------------------------------------------------
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

void platform_start(void)
{
    (void)signal(SIGPIPE, SIG_IGN);
}

bool args_are_exact(void)
{
    return true;
}

char *current_dir(char *buf, int size)
{
    return getcwd(buf, (size_t)size);
}

bool is_lead_byte(unsigned char)
{
    return false;
}

int64_t file_size(FILE *f)
{
    return fseeko(f, 0, SEEK_END) == 0 ? (int64_t)ftello(f) : -1;
}

// Like Windows' _getch: Ctrl-C and the other signal keys are read as keys,
// and the terminal is restored whatever the key was. Restoring with
// TCSAFLUSH drops the rest of a key that sends several bytes (an arrow), so
// none of it reaches the shell.
void wait_key(void)
{
    struct termios saved, raw;
    unsigned char c;

    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0)
        return;
    raw = saved;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~(tcflag_t)IXON;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
        return;
    while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR)
        ;
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
}

typedef struct stat Existing;  // the output as found; st_nlink 0 for none

static bool same_file(const char *a, const char *b)
{
    struct stat sa, sb;

    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

static Plan plan_output(const char *name, char *target, Existing *ex)
{
    struct stat link;

    memset(ex, 0, sizeof *ex);
    if (stat(name, ex) != 0) {
        // A new file, unless name is a link to nothing: then the file is
        // created where the link points. Any other error is left for the
        // plain write to meet and report.
        if (errno != ENOENT || lstat(name, &link) == 0 || !copy_name(target, name))
            return IN_PLACE;
        return REPLACE;
    }
    if (!S_ISREG(ex->st_mode) || ex->st_nlink > 1)
        return IN_PLACE;
    // The system's own answer, with the effective user's rights: permission
    // bits, ACLs, a read-only mount.
    if (faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) != 0)
        return REFUSE;
    if (lstat(name, &link) != 0)
        return IN_PLACE;
    if (!S_ISLNK(link.st_mode))
        return copy_name(target, name) ? REPLACE : IN_PLACE;
    // A link stays a link: the file it points to is the one replaced, when
    // its name can be had. The links of /proc can name what is no file.
    if (realpath(name, target) == NULL || stat(target, &link) != 0 || link.st_dev != ex->st_dev ||
        link.st_ino != ex->st_ino)
        return IN_PLACE;
    return REPLACE;
}

// Creates the temporary file beside target, with the permission bits (and,
// where this process may set them, the owner and group) of the file it will
// replace, or those of any new file.
static FILE *open_temp(const char *target, const Existing *ex, char *temp)
{
    const size_t dir = directory_length(target);
    mode_t mode;
    int fd;
    FILE *f;

    if (snprintf(temp, LONG_PATH, "%.*s.swug-XXXXXX", (int)dir, target) >= LONG_PATH)
        return NULL;
    fd = mkstemp(temp);
    if (fd < 0)
        return NULL;
    if (ex->st_nlink > 0) {
        mode = ex->st_mode & 07777;
        // Set-id bits stay only with the owner they were set for.
        if (fchown(fd, ex->st_uid, ex->st_gid) != 0 && fchown(fd, (uid_t)-1, ex->st_gid) != 0)
            mode &= ~(mode_t)(S_ISUID | S_ISGID);
    } else {
        mode = umask(0);
        (void)umask(mode);
        mode = 0666 & ~mode;
    }
    f = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : NULL;
    if (f == NULL) {
        (void)close(fd);
        (void)unlink(temp);
    }
    return f;
}

// In a sticky directory (/tmp) only a file's owner may replace it.
static Renamed rename_over(const char *temp, const char *target)
{
    if (rename(temp, target) == 0)
        return RENAMED;
    return errno == EPERM || errno == EACCES ? NOT_ALLOWED : RENAME_FAILED;
}
// ---- End of POSIX ----------------------------------------------------------
#else
// ---- Windows ---------------------------------------------------------------
#include <conio.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <shellapi.h>

void platform_start(void)
{
}

// Whether w converts to the active code page exactly, with no character
// replaced by a lookalike or a default.
static bool exact_in_code_page(const wchar_t *w)
{
    const UINT cp = GetACP();
    BOOL lookalike = FALSE;

    if (cp == CP_UTF8)
        return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w, -1, NULL, 0, NULL, NULL) > 0;
    return WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, w, -1, NULL, 0, NULL, &lookalike) > 0 && !lookalike;
}

// The C runtime's argv is the 8-bit form of the command line. It is exact when
// every argument after the program's own name converts exactly.
bool args_are_exact(void)
{
    int n = 0;
    wchar_t **w = CommandLineToArgvW(GetCommandLineW(), &n);
    bool exact = w != NULL;

    for (int i = 1; exact && i < n; i++)
        exact = exact_in_code_page(w[i]);
    LocalFree(w);
    return exact;
}

char *current_dir(char *buf, int size)
{
    static wchar_t w[32768];
    const DWORD n = GetCurrentDirectoryW(32768, w);

    if (n == 0 || n >= 32768 || !exact_in_code_page(w))
        return NULL;
    return _getcwd(buf, size);
}

bool is_lead_byte(unsigned char c)
{
    return IsDBCSLeadByte(c) != 0;
}

// Windows' ftell counts in 32 bits and wraps past 4 GiB.
int64_t file_size(FILE *f)
{
    return _fseeki64(f, 0, SEEK_END) == 0 ? _ftelli64(f) : -1;
}

// _getch reads the console, not standard input: with standard input
// redirected it would wait for a key nobody is asked for. NUL is a character
// device, so _isatty cannot tell; only a console has a console mode.
void wait_key(void)
{
    DWORD mode;

    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
        (void)_getch();
}

// Nothing of the old file needs carrying over: the new one, made in the same
// folder, gets the same inherited permissions.
typedef struct {
} Existing;

static bool identify(const char *name, BY_HANDLE_FILE_INFORMATION *info)
{
    HANDLE h = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, NULL);
    bool ok = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, info);

    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok;
}

static bool same_file(const char *a, const char *b)
{
    BY_HANDLE_FILE_INFORMATION ia, ib;

    return identify(a, &ia) && identify(b, &ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

static Plan plan_output(const char *name, char *target, Existing *)
{
    const DWORD attrs = GetFileAttributesA(name);
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h;
    DWORD type;
    bool known;

    if (attrs == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND && copy_name(target, name) ? REPLACE : IN_PLACE;
    // A link (or other reparse point) stays what it is; a directory fails.
    if (attrs & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        return IN_PLACE;
    // The read-only attribute holds even for administrators; opening for
    // writing answers for the rest: the ACL, a file another program holds.
    if (attrs & FILE_ATTRIBUTE_READONLY)
        return REFUSE;
    h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                    OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return REFUSE;
    type = GetFileType(h);
    known = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    // CON, NUL and the like are devices; a file with several names keeps them.
    if (type != FILE_TYPE_DISK || !known || info.nNumberOfLinks > 1 || !copy_name(target, name))
        return IN_PLACE;
    return REPLACE;
}

static FILE *open_temp(const char *target, const Existing *, char *temp)
{
    const size_t dir = directory_length(target);
    int fd = -1;
    FILE *f;

    for (int n = 0; fd < 0 && n < 100; n++) {
        if (snprintf(temp, LONG_PATH, "%.*s.swug-%lu-%d.tmp", (int)dir, target, GetCurrentProcessId(), n) >=
            LONG_PATH)
            return NULL;
        fd = _open(temp, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0 && errno != EEXIST)
            return NULL;
    }
    if (fd < 0)
        return NULL;
    f = _fdopen(fd, "wb");
    if (f == NULL) {
        (void)_close(fd);
        (void)remove(temp);
    }
    return f;
}

// A file that another program holds open without sharing its deletion
// cannot be replaced, though it may be written.
static Renamed rename_over(const char *temp, const char *target)
{
    DWORD error;

    if (MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING))
        return RENAMED;
    error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? NOT_ALLOWED : RENAME_FAILED;
}
// ---- End of Windows --------------------------------------------------------
#endif

int write_file(const char *name, const uint8_t *head, size_t head_len, const uint8_t *body, size_t body_len,
               const char *keep)
{
    static char target[LONG_PATH], temp[LONG_PATH];
    Existing ex;
    FILE *f;

    switch (plan_output(name, target, &ex)) {
    case REFUSE:
        return 0;
    case REPLACE:
        f = open_temp(target, &ex, temp);
        if (f != NULL) {
            const Renamed r = put(f, head, head_len, body, body_len) ? rename_over(temp, target) : RENAME_FAILED;
            if (r == RENAMED)
                return 1;
            (void)remove(temp);
            if (r == RENAME_FAILED)
                return 0;
        }
        // No temporary file can be made beside the output, or the output may
        // not be replaced: write in place, as long as that cannot destroy the
        // input.
        break;
    case IN_PLACE:
        break;
    }
    if (keep != NULL && same_file(name, keep))
        return 0;
    f = fopen(name, "wb");
    return f != NULL && put(f, head, head_len, body, body_len);
}
