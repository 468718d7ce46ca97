// The system underneath swug and swugimg; see platform.h. The first part is
// the same everywhere, then come the POSIX and the Windows halves.
#include "platform.h"

#include <errno.h>
#include <string.h>

int close_stream(FILE *f)
{
    bool ok = ferror(f) == 0;

    ok = fflush(f) == 0 && ok;
    ok = fclose(f) == 0 && ok;
    return ok ? 0 : EOF;
}

// Whether an open file with this identity may be `keep`: certainly when the
// system could not tell which file `keep` is.
static bool may_be_keep(const FileId *keep, uint64_t volume, uint64_t index)
{
    return keep != NULL && (!keep->known || (keep->volume == volume && keep->index == index));
}

static Output refused(int error)
{
    errno = error;
    return OUTPUT_REFUSED;
}

#ifndef _WIN32
// ---- POSIX -----------------------------------------------------------------
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

// The output being made. Every name is taken relative to the directory it is
// in, opened once: a directory moved meanwhile keeps its files together, and
// the temporary file's name never makes a path too long.
static int out_dir = -1;
static char out_base[NAME_MAX + 1];  // the output's name in out_dir
static struct stat out_old;          // the file to replace; st_nlink 0 for none
static int old_fd = -1;              // that file, for its extended attributes,
static char old_path[32];            // or its /proc name when it cannot be read
static int named_fd = -1;            // a descriptor the output name stands for
static int temp_fd = -1;
static char temp_name[16];
static volatile sig_atomic_t temp_live;  // temp_name exists in out_dir
static struct termios saved_terminal;
static volatile sig_atomic_t terminal_raw;  // the key wait has changed the terminal

static const int fatal_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Removes the temporary file and gives the terminal back as the key wait
// found it, then ends the process by the same signal, so that whoever
// started it sees how it ended.
static void remove_temp_and_die(int sig)
{
    if (temp_live)
        (void)unlinkat(out_dir, temp_name, 0);
    if (terminal_raw)
        (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
    (void)signal(sig, SIG_DFL);
    (void)raise(sig);
}

static void fatal_signal_set(sigset_t *set)
{
    sigemptyset(set);
    for (int sig : fatal_signals)
        sigaddset(set, sig);
}

void platform_start(void)
{
    struct sigaction sa, old;

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = remove_temp_and_die;
    fatal_signal_set(&sa.sa_mask);
    // A signal ignored at start (nohup, a background job) stays ignored.
    for (int sig : fatal_signals)
        if (sigaction(sig, &sa, &old) == 0 && old.sa_handler == SIG_IGN)
            (void)sigaction(sig, &old, NULL);
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
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

void fresh_pages(void *p, size_t n)
{
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    const uintptr_t start = ((uintptr_t)p + page - 1) & ~(page - 1), end = ((uintptr_t)p + n) & ~(page - 1);

    // On failure the pages stay as they were, and are copied in as usual.
    if (end > start)
        (void)mmap(reinterpret_cast<void *>(start), end - start, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
}

void file_id(FILE *f, FileId *id)
{
    struct stat st;

    id->known = fstat(fileno(f), &st) == 0;
    id->volume = id->known ? (uint64_t)st.st_dev : 0;
    id->index = id->known ? (uint64_t)st.st_ino : 0;
}

bool put_text(FILE *f, const char *s, size_t n)
{
    return n == 0 || fwrite(s, 1, n, f) == n;
}

FILE *binary_stdin(void)
{
    return stdin;
}

// Like Windows' _getch: Ctrl-C and the other signal keys are read as keys,
// and the terminal is restored whatever the key was. Restoring with
// TCSAFLUSH drops the rest of a key that sends several bytes (an arrow), so
// none of it reaches the shell.
void wait_key(void)
{
    struct termios raw;
    unsigned char c;

    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_terminal) != 0)
        return;
    raw = saved_terminal;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~(tcflag_t)IXON;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    terminal_raw = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0)
        while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR)
            ;
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
    terminal_raw = 0;
}

static bool write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w == 0)
            errno = EIO;
        if (w <= 0)
            return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

static bool put(int fd, const Content *c)
{
    return write_all(fd, c->head, c->head_len) && write_all(fd, c->body, c->body_len);
}

static bool is_keep(const FileId *keep, const struct stat *st)
{
    return may_be_keep(keep, (uint64_t)st->st_dev, (uint64_t)st->st_ino);
}

// The descriptor that a name stands for: /dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/self/fd/N and the like. -1 for any other name.
static int descriptor_named(const char *name)
{
    char own[32];
    const char *dirs[] = {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/", own};
    char *end;

    if (strcmp(name, "/dev/stdin") == 0 || strcmp(name, "/dev/stdout") == 0 || strcmp(name, "/dev/stderr") == 0)
        return name[8] == 'i' ? 0 : name[8] == 'o' ? 1 : 2;
    if (strncmp(name, "/dev/fd/", 8) != 0 && strncmp(name, "/proc/", 6) != 0)
        return -1;
    (void)snprintf(own, sizeof own, "/proc/%ld/fd/", (long)getpid());
    for (const char *dir : dirs) {
        const size_t len = strlen(dir);
        if (strncmp(name, dir, len) == 0 && name[len] >= '0' && name[len] <= '9') {
            errno = 0;
            const long n = strtol(name + len, &end, 10);
            return errno == 0 && *end == '\0' && n <= INT_MAX ? (int)n : -1;
        }
    }
    return -1;
}

// Opens the directory that path (relative to `at`) names its last part in,
// and puts that part in out_base. -1 when either cannot be had.
static int open_parent(int at, const char *path)
{
    static char dir[PATH_MAX];
    const char *slash = strrchr(path, '/');
    const char *base = slash != NULL ? slash + 1 : path;
    const size_t len = strlen(base);

    if (len == 0 || len >= sizeof out_base) {
        errno = len == 0 ? EISDIR : ENAMETOOLONG;
        return -1;
    }
    memcpy(out_base, base, len + 1);
    if (slash == NULL)
        return openat(at, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const size_t dir_len = slash == path ? 1 : (size_t)(slash - path);  // "/name" is in "/"
    if (dir_len >= sizeof dir) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(dir, path, dir_len);
    dir[dir_len] = '\0';
    return openat(at, dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Follows the output's links to the file they lead to, which is the one to
// replace: a link stays a link. A link to a descriptor name is that
// descriptor. *behind_link tells whether a link was followed.
static Output follow_links(bool *behind_link)
{
    static char link[PATH_MAX];

    for (int hops = 0; hops <= 40; hops++) {
        if (fstatat(out_dir, out_base, &out_old, AT_SYMLINK_NOFOLLOW) != 0) {
            memset(&out_old, 0, sizeof out_old);
            return errno == ENOENT ? OUTPUT_NEW : OUTPUT_REFUSED;
        }
        if (!S_ISLNK(out_old.st_mode)) {
            *behind_link = hops > 0;
            return OUTPUT_FILE;
        }
        const ssize_t n = readlinkat(out_dir, out_base, link, sizeof link);
        if (n < 0)
            return OUTPUT_REFUSED;
        if (n == 0 || (size_t)n >= sizeof link)
            return refused(ENAMETOOLONG);
        link[n] = '\0';
        named_fd = descriptor_named(link);
        if (named_fd >= 0)
            return OUTPUT_IN_PLACE;
        const int dir = open_parent(link[0] == '/' ? AT_FDCWD : out_dir, link);
        (void)close(out_dir);
        out_dir = dir;
        if (dir < 0)
            return OUTPUT_REFUSED;
    }
    return refused(ELOOP);
}

Output find_output(const char *name, const FileId *keep, bool *is_keep_out)
{
    struct stat followed;
    bool behind_link = false;
    Output found;

    memset(&out_old, 0, sizeof out_old);
    named_fd = descriptor_named(name);
    if (named_fd >= 0)
        return OUTPUT_IN_PLACE;
    out_dir = open_parent(AT_FDCWD, name);
    if (out_dir < 0)
        return OUTPUT_REFUSED;
    found = follow_links(&behind_link);
    if (found != OUTPUT_FILE)
        return found;
    // Behind a link, the file found must be the one the system finds: the
    // links in /proc name open files, not paths.
    if (behind_link && stat(name, &followed) != 0)
        return OUTPUT_REFUSED;
    if (behind_link && (followed.st_dev != out_old.st_dev || followed.st_ino != out_old.st_ino))
        return refused(EINVAL);
    if (!S_ISREG(out_old.st_mode) || out_old.st_nlink > 1)
        return OUTPUT_IN_PLACE;
    // The system's own answer, with the effective user's rights: permission
    // bits, ACLs, a read-only mount.
    if (faccessat(out_dir, out_base, W_OK, AT_EACCESS) != 0)
        return OUTPUT_REFUSED;
    // Read access, for its extended attributes; without it, they are read
    // through its name in /proc.
    old_fd = openat(out_dir, out_base, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (old_fd < 0 && errno == EACCES) {
        old_fd = openat(out_dir, out_base, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        (void)snprintf(old_path, sizeof old_path, "/proc/self/fd/%d", old_fd);
    }
    if (old_fd < 0 || fstat(old_fd, &out_old) != 0)
        return OUTPUT_REFUSED;
    if (!S_ISREG(out_old.st_mode) || out_old.st_nlink > 1)
        return refused(EAGAIN);  // changed while it was looked at
    *is_keep_out = is_keep(keep, &out_old);
    return OUTPUT_FILE;
}

// A file's name in the form of a temporary file of ours: .swug-XXXXXX.
static void temp_name_for_try(int n)
{
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    struct timespec t;
    unsigned long long v;

    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    v = ((unsigned long long)getpid() << 32) ^ (unsigned long long)t.tv_nsec ^ ((unsigned long long)n << 48);
    v *= 0x9E3779B97F4A7C15ull;
    memcpy(temp_name, ".swug-", 6);
    for (int i = 6; i < 12; i++, v /= 62)
        temp_name[i] = digits[v % 62];
    temp_name[12] = '\0';
}

// Created with the old file's permission bits (0666 for a new one), so that
// the umask or the directory's default ACL narrows them exactly as for any
// new file. The fatal signals wait until temp_live says whether the file is
// there.
Step make_temp(void)
{
    const mode_t mode = out_old.st_nlink > 0 ? out_old.st_mode & 0777 : 0666;
    sigset_t fatal, saved;
    int error = EEXIST;

    fatal_signal_set(&fatal);
    (void)sigprocmask(SIG_BLOCK, &fatal, &saved);
    for (int n = 0; temp_fd < 0 && error == EEXIST && n < 100; n++) {
        temp_name_for_try(n);
        temp_fd = openat(out_dir, temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
        error = temp_fd < 0 ? errno : 0;
    }
    temp_live = temp_fd >= 0;
    (void)sigprocmask(SIG_SETMASK, &saved, NULL);
    if (temp_fd >= 0)
        return DONE;
    errno = error;
    return error == EACCES || error == EPERM ? NOT_ALLOWED : FAILED;
}

// What a file system without owners, modes or attributes (FAT, some network
// file systems) answers when asked to set them.
static bool not_supported(int error)
{
    return error == EPERM || error == ENOSYS || error == EOPNOTSUPP;
}

static ssize_t old_xattr_names(char *names, size_t size)
{
    return old_path[0] != '\0' ? listxattr(old_path, names, size) : flistxattr(old_fd, names, size);
}

static ssize_t old_xattr(const char *name, char *value, size_t size)
{
    return old_path[0] != '\0' ? getxattr(old_path, name, value, size) : fgetxattr(old_fd, name, value, size);
}

// Carries the old file's extended attributes over to fd. The POSIX ACL is
// one of them; a user.* or system.* attribute that cannot be carried fails,
// and so does a list that cannot be read, since it may hold an ACL. The
// security and trusted attributes are the system's policy and need rights
// a user lacks; where they cannot be set, the system gives the new file its
// own. A new file that inherited the directory's default ACL, where the old
// file had no ACL, loses it again, so that it grants nothing the old one
// did not.
static bool carry_xattrs(int fd)
{
    static const char acl[] = "system.posix_acl_access";
    static char names[65536], value[65536];
    const ssize_t len = old_xattr_names(names, sizeof names);
    bool had_acl = false;

    if (len < 0)
        return errno == EOPNOTSUPP;
    for (const char *name = names; name < names + len; name += strlen(name) + 1) {
        const bool required = strncmp(name, "user.", 5) == 0 || strncmp(name, "system.", 7) == 0;
        const ssize_t n = old_xattr(name, value, sizeof value);
        had_acl = had_acl || strcmp(name, acl) == 0;
        if ((n < 0 || fsetxattr(fd, name, value, (size_t)n, 0) != 0) && required)
            return false;
    }
    return had_acl || fremovexattr(fd, acl) == 0 || errno == ENODATA || errno == EOPNOTSUPP;
}

// Owner and group as before where this process may set them; set-id bits
// stay only with the owner and group they were set for. Where the file
// system keeps no modes, the new file keeps the bits it was created with,
// which never allow more than the old file did.
static bool carry_over(int fd)
{
    mode_t mode = out_old.st_mode & 07777;

    if (fchown(fd, out_old.st_uid, out_old.st_gid) != 0) {
        if (!not_supported(errno) && errno != EINVAL)
            return false;
        mode &= ~(mode_t)S_ISUID;
        if (fchown(fd, (uid_t)-1, out_old.st_gid) != 0) {
            if (!not_supported(errno) && errno != EINVAL)
                return false;
            mode &= ~(mode_t)S_ISGID;
        }
    }
    return carry_xattrs(fd) && (fchmod(fd, mode) == 0 || not_supported(errno));
}

bool fill_temp(const Content *c, bool durable)
{
    bool ok = (out_old.st_nlink == 0 || carry_over(temp_fd)) && put(temp_fd, c) && (!durable || fsync(temp_fd) == 0);

    ok = close(temp_fd) == 0 && ok;
    temp_fd = -1;
    return ok;
}

// In a sticky directory (/tmp) only a file's owner may replace it.
Step rename_temp(void)
{
    if (renameat(out_dir, temp_name, out_dir, out_base) == 0) {
        temp_live = 0;
        return DONE;
    }
    return errno == EPERM || errno == EACCES ? NOT_ALLOWED : FAILED;
}

void drop_temp(void)
{
    if (temp_fd >= 0)
        (void)close(temp_fd);  // the file goes anyway
    temp_fd = -1;
    // Nothing more can be done when even this fails.
    (void)unlinkat(out_dir, temp_name, 0);
    temp_live = 0;
}

bool write_in_place(const Content *c, const FileId *keep)
{
    const bool own = named_fd < 0;
    const int fd = own ? openat(out_dir, out_base, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666)
                       : named_fd;
    struct stat st;
    bool ok;

    // A descriptor is written at its position, so that `>>` appends and the
    // other lines of a `{ ...; } > f` group stay; a file opened here is
    // emptied first.
    ok = fd >= 0 && fstat(fd, &st) == 0;
    if (ok && is_keep(keep, &st)) {
        errno = EPERM;
        ok = false;
    }
    ok = ok && (!own || !S_ISREG(st.st_mode) || ftruncate(fd, 0) == 0) && put(fd, c);
    if (own && fd >= 0)
        ok = close(fd) == 0 && ok;
    return ok;
}

void end_output(void)
{
    // Descriptors opened only to look at files; closing them cannot fail in
    // a way that matters.
    if (old_fd >= 0)
        (void)close(old_fd);
    if (out_dir >= 0)
        (void)close(out_dir);
    old_fd = out_dir = named_fd = -1;
    old_path[0] = '\0';
}
// ---- End of POSIX ----------------------------------------------------------
#else
// ---- Windows ---------------------------------------------------------------
#include <conio.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

// Room for an output name and the temporary file beside it.
#define LONG_PATH 4096

static char target[LONG_PATH], temp[LONG_PATH];
static HANDLE temp_handle = INVALID_HANDLE_VALUE;
static bool temp_live;  // temp exists
// Held while the temporary file is made, renamed or removed, and by the
// console handler, which never gives it back.
static CRITICAL_SECTION temp_lock;

// Ctrl-C, Ctrl-Break and closing the console window: the temporary file goes,
// then the default handler ends the process. The lock stays taken, so that
// the program cannot go on to rename the deleted file or to write in place.
static BOOL WINAPI remove_temp_and_die(DWORD)
{
    EnterCriticalSection(&temp_lock);
    if (temp_live)
        (void)DeleteFileA(temp);
    temp_live = false;
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
        const DWORD chunk = n < 0x40000000u ? (DWORD)n : 0x40000000u;
        if (!WriteFile(h, p, chunk, &done, NULL) || done == 0) {
            errno_from_last_error();
            return false;
        }
        p += done;
        n -= done;
    }
    return true;
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

static Output refused_by_last_error(void)
{
    errno_from_last_error();
    return OUTPUT_REFUSED;
}

Output find_output(const char *name, const FileId *keep, bool *is_keep)
{
    BY_HANDLE_FILE_INFORMATION info;
    DWORD attrs, type;
    FileId found;
    HANDLE h;

    if (snprintf(target, LONG_PATH, "%s", name) >= LONG_PATH)
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
    *is_keep = may_be_keep(keep, found.volume, found.index);
    return OUTPUT_FILE;
}

Step make_temp(void)
{
    const size_t dir = directory_length(target);
    DWORD error = ERROR_FILE_EXISTS;

    EnterCriticalSection(&temp_lock);
    for (int n = 0; temp_handle == INVALID_HANDLE_VALUE && error == ERROR_FILE_EXISTS && n < 100; n++) {
        if (snprintf(temp, LONG_PATH, "%.*s.swug-%lu-%d.tmp", (int)dir, target, GetCurrentProcessId(), n) >=
            LONG_PATH) {
            error = ERROR_FILENAME_EXCED_RANGE;
            break;
        }
        // Shared for deletion, so that the console handler can remove it
        // while it is open.
        temp_handle = CreateFileA(temp, GENERIC_WRITE, FILE_SHARE_DELETE, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                  NULL);
        error = temp_handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    }
    temp_live = temp_handle != INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&temp_lock);
    if (temp_live)
        return DONE;
    SetLastError(error);
    errno_from_last_error();
    return error == ERROR_ACCESS_DENIED ? NOT_ALLOWED : FAILED;
}

// The new file, made in the same folder, gets the permissions the folder
// passes on, as any new file there does.
bool fill_temp(const Content *c, bool durable)
{
    bool ok = put(temp_handle, c);

    if (ok && durable && !FlushFileBuffers(temp_handle)) {
        errno_from_last_error();
        ok = false;
    }
    ok = closed(temp_handle, ok);
    temp_handle = INVALID_HANDLE_VALUE;
    return ok;
}

// A file that another program holds open without sharing its deletion
// cannot be replaced, though it may be written.
Step rename_temp(void)
{
    DWORD error = 0;

    EnterCriticalSection(&temp_lock);
    if (MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING))
        temp_live = false;
    else
        error = GetLastError();
    LeaveCriticalSection(&temp_lock);
    if (error == 0)
        return DONE;
    SetLastError(error);
    errno_from_last_error();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? NOT_ALLOWED : FAILED;
}

void drop_temp(void)
{
    if (temp_handle != INVALID_HANDLE_VALUE)
        (void)CloseHandle(temp_handle);  // the file goes anyway
    temp_handle = INVALID_HANDLE_VALUE;
    EnterCriticalSection(&temp_lock);
    (void)DeleteFileA(temp);  // nothing more can be done when even this fails
    temp_live = false;
    LeaveCriticalSection(&temp_lock);
}

// Opened without truncating; a file on a disk is emptied only once it is
// known not to be `keep`.
bool write_in_place(const Content *c, const FileId *keep)
{
    HANDLE h = CreateFileA(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    BY_HANDLE_FILE_INFORMATION info;
    FileId found;
    bool ok = true;

    if (h == INVALID_HANDLE_VALUE) {
        errno_from_last_error();
        return false;
    }
    if (GetFileType(h) == FILE_TYPE_DISK) {
        if (!identify(h, &found, &info) || may_be_keep(keep, found.volume, found.index)) {
            errno = EPERM;
            ok = false;
        } else if (!SetEndOfFile(h)) {
            errno_from_last_error();
            ok = false;
        }
    }
    return closed(h, ok && put(h, c));
}

void end_output(void)
{
}
// ---- End of Windows --------------------------------------------------------
#endif
