// The system underneath swug and swugimg on Windows; see platform.h and
// output.h.
#include <conio.h>
#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <string.h>
#define NOMINMAX  // std::min, not the macro windows.h would define
#include <windows.h>
#include <shellapi.h>

#include <algorithm>

#include "output.h"

// Room for an output name and the temporary file beside it.
#define LONG_PATH 4096

// ---- Console control -------------------------------------------------------

// The output being made.
struct OutputFile {
    char target[LONG_PATH];  // the output's name
    HANDLE temp_handle;      // the temporary file while it is open
    char temp[LONG_PATH];    // its name
    bool temp_live;          // whether it exists
};

// What the console control handler must reach, and so file-scope: the
// output being made, whose temporary file it removes.
static OutputFile being_made;
// Held while the temporary file is made, renamed or removed, and by the
// console handler, which never gives it back.
static CRITICAL_SECTION temp_lock;

// Ctrl-C, Ctrl-Break and closing the console window: the temporary file goes,
// then the default handler ends the process. The lock stays taken, so that
// the program cannot go on to rename the deleted file or to write in place.
static BOOL WINAPI remove_temp_and_die(DWORD)
{
    EnterCriticalSection(&temp_lock);
    if (being_made.temp_live)
        (void)DeleteFileA(being_made.temp);
    being_made.temp_live = false;
    return FALSE;
}

void platform_start(void)
{
    InitializeCriticalSection(&temp_lock);
    (void)SetConsoleCtrlHandler(remove_temp_and_die, TRUE);
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

bool backslash_is_separator(void)
{
    return true;
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

// The file an open handle is, and in *info what else the system says of it.
static bool identify(HANDLE h, FileId *id, BY_HANDLE_FILE_INFORMATION *info)
{
    id->known = GetFileInformationByHandle(h, info) != 0;
    id->volume = id->known ? info->dwVolumeSerialNumber : 0;
    id->index = id->known ? (uint64_t)info->nFileIndexHigh << 32 | info->nFileIndexLow : 0;
    return id->known;
}

void fresh_pages(void *, size_t)
{
}

void file_id(FILE *f, FileId *id)
{
    BY_HANDLE_FILE_INFORMATION info;

    (void)identify((HANDLE)_get_osfhandle(_fileno(f)), id, &info);
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

bool put_text(FILE *f, const char *s, size_t n)
{
    // Room for the longest text there is: a command line holds at most
    // 32767 UTF-16 units, and no byte gives more than one.
    static wchar_t w[1 << 17];
    const HANDLE h = (HANDLE)_get_osfhandle(_fileno(f));
    DWORD mode, done;
    int left;

    if (n == 0)
        return true;
    if (!GetConsoleMode(h, &mode) || n > sizeof w / sizeof w[0])
        return fwrite(s, 1, n, f) == n;
    // What the stream holds goes first, so that the order stays.
    if (fflush(f) != 0)
        return false;
    left = MultiByteToWideChar(CP_ACP, 0, s, (int)n, w, (int)(sizeof w / sizeof w[0]));
    if (left <= 0)
        return false;
    for (const wchar_t *p = w; left > 0; p += done, left -= (int)done)
        if (!WriteConsoleW(h, p, (DWORD)left, &done, NULL) || done == 0)
            return false;
    return true;
}

FILE *binary_stdin(void)
{
    (void)_setmode(_fileno(stdin), _O_BINARY);  // a console stays what it is
    return stdin;
}

// errno for the last Windows error, so that the caller can say what failed.
static void errno_from_last_error(void)
{
    static const struct {
        DWORD error;
        int errno_value;
    } table[] = {
        {ERROR_FILE_NOT_FOUND, ENOENT},      {ERROR_PATH_NOT_FOUND, ENOENT},  {ERROR_ACCESS_DENIED, EACCES},
        {ERROR_SHARING_VIOLATION, EACCES},   {ERROR_LOCK_VIOLATION, EACCES},  {ERROR_DISK_FULL, ENOSPC},
        {ERROR_HANDLE_DISK_FULL, ENOSPC},    {ERROR_WRITE_PROTECT, EROFS},    {ERROR_NOT_SAME_DEVICE, EXDEV},
        {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG}, {ERROR_INVALID_NAME, EINVAL}, {ERROR_FILE_EXISTS, EEXIST},
        {ERROR_ALREADY_EXISTS, EEXIST},      {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
    };
    const DWORD error = GetLastError();

    errno = EIO;
    for (const auto &e : table)
        if (e.error == error)
            errno = e.errno_value;
}

static bool write_all(HANDLE h, const uint8_t *p, size_t n)
{
    while (n > 0) {
        DWORD done = 0;
        const DWORD chunk = (DWORD)std::min(n, (size_t)0x40000000u);
        if (!WriteFile(h, p, chunk, &done, NULL) || done == 0) {
            errno_from_last_error();
            return false;
        }
        p += done;
        n -= done;
    }
    return true;
}

// ---- Writing an output -----------------------------------------------------

OutputFile *new_output(void)
{
    OutputFile *out = &being_made;

    out->target[0] = out->temp[0] = '\0';
    out->temp_handle = INVALID_HANDLE_VALUE;
    out->temp_live = false;
    return out;
}

static bool put(HANDLE h, const Content *c)
{
    return write_all(h, c->head, c->head_len) && write_all(h, c->body, c->body_len);
}

// Closes h after a write that went as `ok` says; a failed close fails it too,
// and errno keeps the first reason.
static bool closed(HANDLE h, bool ok)
{
    if (!CloseHandle(h) && ok) {
        errno_from_last_error();
        ok = false;
    }
    return ok;
}

// Where the temporary file goes: the directory part of name, up to and
// including its last separator.
static size_t directory_length(const char *name)
{
    size_t n = 0;

    for (size_t i = 0; name[i] != '\0'; i++) {
        if (is_lead_byte((unsigned char)name[i]) && name[i + 1] != '\0')
            i++;  // the second byte of a double-byte character
        else if (name[i] == '/' || name[i] == '\\' || name[i] == ':')
            n = i + 1;
    }
    return n;
}

static Output refused(int error)
{
    errno = error;
    return OUTPUT_REFUSED;
}

static Output refused_by_last_error(void)
{
    errno_from_last_error();
    return OUTPUT_REFUSED;
}

Output find_output(OutputFile *out, const char *name, const Input *input, bool *is_input)
{
    BY_HANDLE_FILE_INFORMATION info;
    DWORD attrs, type;
    FileId found;
    HANDLE h;

    if (snprintf(out->target, LONG_PATH, "%s", name) >= LONG_PATH)
        return refused(ENAMETOOLONG);
    attrs = GetFileAttributesA(name);
    if (attrs == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? OUTPUT_NEW : refused_by_last_error();
    // A link (or other reparse point) stays what it is; a directory fails.
    if (attrs & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        return OUTPUT_IN_PLACE;
    // The read-only attribute holds even for administrators; opening for
    // writing answers for the rest: the ACL, a file another program holds.
    if (attrs & FILE_ATTRIBUTE_READONLY)
        return refused(EACCES);
    h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                    OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return refused_by_last_error();
    type = GetFileType(h);
    const bool known = identify(h, &found, &info);
    CloseHandle(h);
    // CON, NUL and the like are devices; a file with several names keeps them.
    if (type != FILE_TYPE_DISK || !known || info.nNumberOfLinks != 1)
        return OUTPUT_IN_PLACE;
    *is_input = may_be_input(input, found.volume, found.index);
    return OUTPUT_FILE;
}

Step make_temp(OutputFile *out)
{
    const size_t dir = directory_length(out->target);
    DWORD error = ERROR_FILE_EXISTS;

    EnterCriticalSection(&temp_lock);
    for (int n = 0; out->temp_handle == INVALID_HANDLE_VALUE && error == ERROR_FILE_EXISTS && n < 100; n++) {
        if (snprintf(out->temp, LONG_PATH, "%.*s.swug-%lu-%d.tmp", (int)dir, out->target, GetCurrentProcessId(), n) >=
            LONG_PATH) {
            error = ERROR_FILENAME_EXCED_RANGE;
            break;
        }
        // Shared for deletion, so that the console handler can remove it
        // while it is open.
        out->temp_handle = CreateFileA(out->temp, GENERIC_WRITE, FILE_SHARE_DELETE, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                  NULL);
        error = out->temp_handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    }
    out->temp_live = out->temp_handle != INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&temp_lock);
    if (out->temp_live)
        return DONE;
    SetLastError(error);
    errno_from_last_error();
    return error == ERROR_ACCESS_DENIED ? NOT_ALLOWED : FAILED;
}

// The new file, made in the same folder, gets the permissions the folder
// passes on, as any new file there does.
bool fill_temp(OutputFile *out, const Content *c, bool durable)
{
    bool ok = put(out->temp_handle, c);

    if (ok && durable && !FlushFileBuffers(out->temp_handle)) {
        errno_from_last_error();
        ok = false;
    }
    ok = closed(out->temp_handle, ok);
    out->temp_handle = INVALID_HANDLE_VALUE;
    return ok;
}

// A file that another program holds open without sharing its deletion
// cannot be replaced, though it may be written.
Step rename_temp(OutputFile *out)
{
    DWORD error = 0;

    EnterCriticalSection(&temp_lock);
    if (MoveFileExA(out->temp, out->target, MOVEFILE_REPLACE_EXISTING))
        out->temp_live = false;
    else
        error = GetLastError();
    LeaveCriticalSection(&temp_lock);
    if (error == 0)
        return DONE;
    SetLastError(error);
    errno_from_last_error();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? NOT_ALLOWED : FAILED;
}

void drop_temp(OutputFile *out)
{
    EnterCriticalSection(&temp_lock);
    (void)DeleteFileA(out->temp);  // nothing more can be done when even this fails
    out->temp_live = false;
    LeaveCriticalSection(&temp_lock);
}

// Whether h, a file on a disk, holds exactly the input's bytes, and so may be
// the input under another identity (a network share may give one file two).
// A file of the input's size that cannot be read to tell may be; an empty
// input has nothing to lose.
static bool holds_input(HANDLE h, const BY_HANDLE_FILE_INFORMATION *info, const Input *input)
{
    uint8_t buf[65536];
    const uint64_t size = (uint64_t)info->nFileSizeHigh << 32 | info->nFileSizeLow;

    if (input == NULL || input->size == 0 || size != input->size)
        return false;
    for (size_t at = 0; at < input->size;) {
        const DWORD want = (DWORD)std::min(input->size - at, sizeof buf);
        OVERLAPPED where = {};
        DWORD n = 0;
        where.Offset = (DWORD)at;
        if (!ReadFile(h, buf, want, &n, &where) || n == 0)
            return true;
        if (memcmp(buf, input->bytes + at, n) != 0)
            return false;
        at += n;
    }
    return true;
}

// Opened without truncating, for reading too where that is allowed, so that
// holds_input can look; a file on a disk is emptied only once it is known
// not to be `input`. A read moves the position that the write then starts
// at, so it is set back first.
bool write_in_place(OutputFile *out, const Content *c, const Input *input)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE h = CreateFileA(out->target, GENERIC_READ | GENERIC_WRITE, share, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           NULL);
    BY_HANDLE_FILE_INFORMATION info;
    FileId found;
    bool ok = true;

    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        h = CreateFileA(out->target, GENERIC_WRITE, share, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        errno_from_last_error();
        return false;
    }
    if (GetFileType(h) == FILE_TYPE_DISK) {
        if (!identify(h, &found, &info) || may_be_input(input, found.volume, found.index) ||
            holds_input(h, &info, input)) {
            errno = EPERM;
            ok = false;
        } else if (SetFilePointer(h, 0, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(h)) {
            errno_from_last_error();
            ok = false;
        }
    }
    return closed(h, ok && put(h, c));
}

void end_output(OutputFile *)
{
}
