// The system underneath swug and swugimg on Linux; see platform.h and
// output.h. It uses what only Linux has: statx, O_PATH, /proc, MAP_POPULATE.
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "output.h"

// ---- Signals and the terminal ----------------------------------------------

// The output being made. Every name is taken relative to the directory it
// is in, opened once: a directory moved meanwhile keeps its files together,
// and the temporary file's name never makes a path too long.
struct OutputFile {
    int dir;                  // the directory the output is in
    char base[NAME_MAX + 1];  // the output's name in dir
    bool has_old;             // whether there is a file to replace,
    struct stat old;          // this one
    int old_fd;               // it, opened for its extended attributes,
    char old_path[32];        // or its /proc name when it cannot be read
    int named_fd;             // a descriptor the output name stands for, or -1
    const char *through;      // the name as given, where only the kernel can follow it
    int temp_fd;              // the temporary file while it is open
    char temp_name[16];       // its name in dir
    volatile sig_atomic_t temp_live;  // whether it exists
};

// What the signal handler must reach, and so file-scope: the output being
// made, whose temporary file it removes, and the terminal as the key wait
// found it.
static OutputFile being_made;
static struct termios saved_terminal;
static volatile sig_atomic_t terminal_raw;  // the key wait has changed the terminal

static const int fatal_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Removes the temporary file and gives the terminal back as the key wait
// found it, then ends the process by the same signal, so that whoever
// started it sees how it ended.
static void remove_temp_and_die(int sig)
{
    if (being_made.temp_live)
        (void)unlinkat(being_made.dir, being_made.temp_name, 0);
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

// Descriptors 0, 1 and 2 that are closed at start are taken up by /dev/null,
// so that no file the program opens later becomes one of them, to be
// written as standard output or read as standard input. Opened with O_PATH,
// they still fail every read and write with EBADF, as closed ones do.
static void hold_standard_descriptors(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open takes the lowest free descriptor, which is fd.
        if (open("/dev/null", O_PATH) != fd)
            return;  // without /dev/null, they stay closed
    }
}

void platform_start(void)
{
    struct sigaction sa = {}, old;

    hold_standard_descriptors();
    sa.sa_handler = remove_temp_and_die;
    fatal_signal_set(&sa.sa_mask);
    // A signal ignored at start (nohup, a background job) stays ignored.
    for (int sig : fatal_signals)
        if (sigaction(sig, &sa, &old) == 0 && old.sa_handler == SIG_IGN)
            (void)sigaction(sig, &old, NULL);
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
}

// Like Windows' _getch: Ctrl-C and the other signal keys are read as keys,
// and the terminal is restored whatever the key was. Restoring with
// TCSAFLUSH drops the rest of a key that sends several bytes (an arrow), so
// none of it reaches the shell.
void wait_key(void)
{
    unsigned char c;

    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_terminal) != 0)
        return;
    struct termios raw = saved_terminal;
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

// ---- Arguments, names and text ---------------------------------------------

bool args_are_exact(void)
{
    return true;
}

char *current_dir(char *buf, int size)
{
    return getcwd(buf, (size_t)size);
}

bool backslash_is_separator(void)
{
    return false;
}

bool is_lead_byte(unsigned char)
{
    return false;
}

bool put_text(FILE *f, const char *s, size_t n)
{
    return n == 0 || fwrite(s, 1, n, f) == n;
}

FILE *binary_stdin(void)
{
    return stdin;
}

// ---- Reading ---------------------------------------------------------------

int64_t file_size(FILE *f)
{
    return fseeko(f, 0, SEEK_END) == 0 ? (int64_t)ftello(f) : -1;
}

void fresh_pages(void *p, size_t n)
{
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    const uintptr_t start = ((uintptr_t)p + page - 1) & ~(page - 1), end = ((uintptr_t)p + n) & ~(page - 1);

    // MAP_POPULATE makes them all in one call, where a fault a page costs the
    // read of a megabyte image a third of its time. mmap(2) promises nothing
    // of the pages when it fails: they may be gone, and the read into them
    // then fails with EFAULT, which fails the run instead of writing a wrong
    // payload.
    if (end > start)
        (void)mmap(reinterpret_cast<void *>(start), end - start, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_POPULATE, -1, 0);
}

void file_id(FILE *f, FileId *id)
{
    struct stat st;

    id->known = fstat(fileno(f), &st) == 0;
    id->volume = id->known ? (uint64_t)st.st_dev : 0;
    id->index = id->known ? (uint64_t)st.st_ino : 0;
}

// ---- Writing an output -----------------------------------------------------

OutputFile *new_output(void)
{
    OutputFile *out = &being_made;

    out->dir = out->old_fd = out->named_fd = out->temp_fd = -1;
    out->base[0] = out->old_path[0] = out->temp_name[0] = '\0';
    out->has_old = false;
    out->through = NULL;
    out->temp_live = 0;
    return out;
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

static bool is_input(const Input *input, const struct stat *st)
{
    return may_be_input(input, (uint64_t)st->st_dev, (uint64_t)st->st_ino);
}

static Output refused(int why)
{
    errno = why;
    return OUTPUT_REFUSED;
}

// Opens the directory that path (relative to `at`) names its last part in,
// and puts that part in base. -1 when either cannot be had.
static int open_parent(int at, const char *path, char (&base)[NAME_MAX + 1])
{
    char dir[PATH_MAX];
    const char *slash = strrchr(path, '/');
    const char *last = slash != NULL ? slash + 1 : path;
    const int len = snprintf(base, sizeof base, "%s", last);

    if (len <= 0 || len >= (int)sizeof base) {
        errno = len == 0 ? EISDIR : ENAMETOOLONG;
        return -1;
    }
    if (slash == NULL)
        return openat(at, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int dir_len = slash == path ? 1 : (int)(slash - path);  // "/name" is in "/"
    if (snprintf(dir, sizeof dir, "%.*s", dir_len, path) >= (int)sizeof dir) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return openat(at, dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Whether dir is in /proc, whose links name open files (a process's
// descriptors, its directories), not paths: the text of /proc/PID/fd/N can
// be "/memfd:buf (deleted)", "pipe:[123]", or the old name of a file that
// another has since taken. Only the kernel can follow them.
static bool in_proc(int dir)
{
    struct statfs fs;

    return fstatfs(dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// The descriptor of this process that `base` in `dir` stands for, however
// the name that led there was spelt (/dev/fd//1, /proc/self/./fd/1, a link
// to /dev/stdout): dir must be this process's or this thread's descriptor
// directory in /proc, and base a descriptor number in it. -1 otherwise.
static int own_descriptor(int dir, const char *base)
{
    static const char *const own_dirs[] = {"/proc/self/fd", "/proc/thread-self/fd"};
    struct stat found, own;
    char *end;

    // /proc spells a number one way only: "01" is no descriptor.
    if (base[0] < '0' || base[0] > '9' || (base[0] == '0' && base[1] != '\0'))
        return -1;
    errno = 0;
    const long n = strtol(base, &end, 10);
    if (errno != 0 || *end != '\0' || n > INT_MAX || !in_proc(dir) || fstat(dir, &found) != 0)
        return -1;
    for (const char *path : own_dirs)
        if (stat(path, &own) == 0 && own.st_dev == found.st_dev && own.st_ino == found.st_ino)
            return (int)n;
    return -1;
}

// Follows the output's links to the file they lead to, which is the one to
// replace: a link stays a link. Whatever leads to a descriptor of this
// process is that descriptor, and another link in /proc is written through
// the name as given. *behind_link tells whether a link was followed.
static Output follow_links(OutputFile *out, bool *behind_link)
{
    char link[PATH_MAX];

    for (int hops = 0; hops <= 40; hops++) {
        *behind_link = hops > 0;
        out->named_fd = own_descriptor(out->dir, out->base);
        if (out->named_fd != -1)
            return OUTPUT_IN_PLACE;
        if (fstatat(out->dir, out->base, &out->old, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? OUTPUT_NEW : OUTPUT_REFUSED;
        if (!S_ISLNK(out->old.st_mode))
            return OUTPUT_FILE;
        if (in_proc(out->dir))
            return OUTPUT_IN_PLACE;
        const ssize_t n = readlinkat(out->dir, out->base, link, sizeof link);
        if (n < 0)
            return OUTPUT_REFUSED;
        if (n == 0 || (size_t)n >= sizeof link)
            return refused(ENAMETOOLONG);
        link[n] = '\0';
        const int dir = open_parent(link[0] == '/' ? AT_FDCWD : out->dir, link, out->base);
        (void)close(out->dir);
        out->dir = dir;
        if (dir == -1)
            return OUTPUT_REFUSED;
    }
    return refused(ELOOP);
}

Output find_output(OutputFile *out, const char *name, const Input *input, bool *output_is_input)
{
    struct stat followed;
    bool behind_link = false;
    Output found;

    out->dir = open_parent(AT_FDCWD, name, out->base);
    if (out->dir == -1)
        return OUTPUT_REFUSED;
    found = follow_links(out, &behind_link);
    if (found == OUTPUT_IN_PLACE && out->named_fd == -1)
        out->through = name;
    // Behind a link, what was found must be what the system finds, so that
    // nothing is ever made at a name the user did not give.
    if (behind_link && found == OUTPUT_NEW && stat(name, &followed) == 0)
        return refused(EINVAL);
    if (found != OUTPUT_FILE)
        return found;
    if (behind_link && stat(name, &followed) != 0)
        return OUTPUT_REFUSED;
    if (behind_link && (followed.st_dev != out->old.st_dev || followed.st_ino != out->old.st_ino))
        return refused(EINVAL);
    if (!S_ISREG(out->old.st_mode) || out->old.st_nlink > 1)
        return OUTPUT_IN_PLACE;
    // The system's own answer, with the effective user's rights: permission
    // bits, ACLs, a read-only mount. For the file's owner the permission bits
    // are the answer; a read-only mount then fails the temporary file.
    const bool owner_may_write = out->old.st_uid == geteuid() && (out->old.st_mode & S_IWUSR) != 0;
    if (!owner_may_write && faccessat(out->dir, out->base, W_OK, AT_EACCESS) != 0)
        return OUTPUT_REFUSED;
    // Read access, for its extended attributes; without it, they are read
    // through its name in /proc.
    out->old_fd = openat(out->dir, out->base, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (out->old_fd == -1 && errno == EACCES) {
        out->old_fd = openat(out->dir, out->base, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        (void)snprintf(out->old_path, sizeof out->old_path, "/proc/self/fd/%d", out->old_fd);
    }
    if (out->old_fd == -1 || fstat(out->old_fd, &out->old) != 0)
        return OUTPUT_REFUSED;
    if (!S_ISREG(out->old.st_mode) || out->old.st_nlink > 1)
        return refused(EAGAIN);  // changed while it was looked at
    out->has_old = true;
    *output_is_input = is_input(input, &out->old);
    return OUTPUT_FILE;
}

// A file's name in the form of a temporary file of ours: .swug-XXXXXX.
static void temp_name_for_try(int n, char (&name)[16])
{
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    struct timespec t;

    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    unsigned long long v =
        ((unsigned long long)getpid() << 32) ^ (unsigned long long)t.tv_nsec ^ ((unsigned long long)n << 48);
    v *= 0x9E3779B97F4A7C15ull;
    memcpy(name, ".swug-", 6);
    for (int i = 6; i < 12; i++, v /= 62)
        name[i] = digits[v % 62];
    name[12] = '\0';
}

// Created with the old file's permission bits (0666 for a new one), so that
// the umask or the directory's default ACL narrows them exactly as for any
// new file. The fatal signals wait until temp_live says whether the file is
// there.
Step make_temp(OutputFile *out)
{
    const mode_t mode = out->has_old ? out->old.st_mode & 0777 : 0666;
    sigset_t fatal, saved;
    int error = EEXIST;
    struct statx dir;

    // In an append-only directory a file can be made, but never renamed or
    // removed again; in an immutable one not even made.
    if (statx(out->dir, "", AT_EMPTY_PATH, STATX_TYPE, &dir) == 0 &&
        (dir.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0)
        return NOT_ALLOWED;
    fatal_signal_set(&fatal);
    (void)sigprocmask(SIG_BLOCK, &fatal, &saved);
    for (int n = 0; out->temp_fd == -1 && error == EEXIST && n < 100; n++) {
        temp_name_for_try(n, out->temp_name);
        out->temp_fd = openat(out->dir, out->temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
        error = out->temp_fd == -1 ? errno : 0;
    }
    out->temp_live = out->temp_fd != -1;
    (void)sigprocmask(SIG_SETMASK, &saved, NULL);
    if (out->temp_fd != -1)
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

static ssize_t old_xattr_names(const OutputFile *out, char *names, size_t size)
{
    return out->old_path[0] != '\0' ? listxattr(out->old_path, names, size) : flistxattr(out->old_fd, names, size);
}

static ssize_t old_xattr(const OutputFile *out, const char *name, char *value, size_t size)
{
    return out->old_path[0] != '\0' ? getxattr(out->old_path, name, value, size)
                                    : fgetxattr(out->old_fd, name, value, size);
}

// Carries the old file's extended attributes over to the temporary file. The
// POSIX ACL is one of them; a user.* or system.* attribute that cannot be
// carried fails, and so does a list that cannot be read, since it may hold
// an ACL. The security and trusted attributes are the system's policy and
// need rights a user lacks; where they cannot be set, the system gives the
// new file its own. A new file that inherited the directory's default ACL,
// where the old file had no ACL, loses it again, so that it grants nothing
// the old one did not. None of this changes the mode's bits from what the
// old file's were or the new file was made with.
static bool carry_xattrs(const OutputFile *out)
{
    static const char acl[] = "system.posix_acl_access";
    char names[65536], value[65536];
    const ssize_t len = old_xattr_names(out, names, sizeof names);
    bool had_acl = false;

    if (len < 0)
        return errno == EOPNOTSUPP;
    for (const char *name = names; name < names + len; name += strlen(name) + 1) {
        const bool required = strncmp(name, "user.", 5) == 0 || strncmp(name, "system.", 7) == 0;
        const ssize_t n = old_xattr(out, name, value, sizeof value);
        had_acl = had_acl || strcmp(name, acl) == 0;
        if ((n < 0 || fsetxattr(out->temp_fd, name, value, (size_t)n, 0) != 0) && required)
            return false;
    }
    if (had_acl)
        return true;
    // Asked first, since a removal rewrites the inode even when there is
    // nothing to remove.
    if (fgetxattr(out->temp_fd, acl, NULL, 0) < 0)
        return errno == ENODATA || errno == EOPNOTSUPP;
    return fremovexattr(out->temp_fd, acl) == 0 || errno == ENODATA;
}

// Owner and group as before where this process may set them; set-id bits
// stay only with the owner and group they were set for. Where the file
// system keeps no modes, the new file keeps the bits it was created with,
// which never allow more than the old file did. Nothing the new file already
// has is set again, since every change rewrites its inode.
// Gives fd the owner and group: 0 done, 1 refused as a user or a file system
// without owners (FAT) refuses, -1 failed otherwise.
static int give_owner(int fd, uid_t uid, gid_t gid)
{
    if (fchown(fd, uid, gid) == 0)
        return 0;
    return not_supported(errno) || errno == EINVAL ? 1 : -1;
}

static bool carry_over(const OutputFile *out)
{
    mode_t mode = out->old.st_mode & 07777;
    struct stat now;
    int owner = 0;

    if (fstat(out->temp_fd, &now) != 0)
        return false;
    const bool new_owner = now.st_uid != out->old.st_uid || now.st_gid != out->old.st_gid;
    if (new_owner)
        owner = give_owner(out->temp_fd, out->old.st_uid, out->old.st_gid);
    if (owner == 1) {
        mode &= ~(mode_t)S_ISUID;
        owner = give_owner(out->temp_fd, (uid_t)-1, out->old.st_gid);
        if (owner == 1)
            mode &= ~(mode_t)S_ISGID;
    }
    if (owner < 0 || !carry_xattrs(out))
        return false;
    // A change of owner may have cleared set-id bits.
    if (!new_owner && (now.st_mode & 07777) == mode)
        return true;
    return fchmod(out->temp_fd, mode) == 0 || not_supported(errno);
}

// The old file is let go of before the rename: a file still open when its
// last name goes is first put on the file system's list of orphans, and
// only freed at the close, which costs ext4 a second journal update.
static void let_go_of_old(OutputFile *out)
{
    if (out->old_fd != -1)
        (void)close(out->old_fd);  // opened only to read; nothing was written
    out->old_fd = -1;
    out->old_path[0] = '\0';
}

bool fill_temp(OutputFile *out, const Content *c, bool durable)
{
    bool ok = (!out->has_old || carry_over(out)) && put(out->temp_fd, c) && (!durable || fsync(out->temp_fd) == 0);

    ok = close(out->temp_fd) == 0 && ok;
    out->temp_fd = -1;
    let_go_of_old(out);
    return ok;
}

// In a sticky directory (/tmp) only a file's owner may replace it.
Step rename_temp(OutputFile *out)
{
    if (renameat(out->dir, out->temp_name, out->dir, out->base) == 0) {
        out->temp_live = 0;
        return DONE;
    }
    return errno == EPERM || errno == EACCES ? NOT_ALLOWED : FAILED;
}

void drop_temp(OutputFile *out)
{
    // Nothing more can be done when even this fails.
    (void)unlinkat(out->dir, out->temp_name, 0);
    out->temp_live = 0;
}

// Whether fd, a regular file, holds exactly the input's bytes, and so may be
// the input under another identity. A file of the input's size that cannot
// be read to tell may be; an empty input has nothing to lose.
static bool holds_input(int fd, const struct stat *st, const Input *input)
{
    uint8_t buf[65536];

    if (input == NULL || input->size == 0 || !S_ISREG(st->st_mode) || (uint64_t)st->st_size != input->size)
        return false;
    for (size_t at = 0; at < input->size;) {
        const size_t want = std::min(input->size - at, sizeof buf);
        const ssize_t n = pread(fd, buf, want, (off_t)at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        if (memcmp(buf, input->bytes + at, (size_t)n) != 0)
            return false;
        at += (size_t)n;
    }
    return true;
}

// Opens the output to write it where it is, for reading too where it is a
// regular file, so that holds_input can look. A name only the kernel can
// follow is opened as given, and must exist; it opens without waiting, so
// that a pipe nobody reads fails instead of hanging.
static int open_in_place(const OutputFile *out)
{
    struct stat st;
    const bool regular = out->through != NULL ? stat(out->through, &st) == 0 && S_ISREG(st.st_mode)
                                              : !out->has_old || S_ISREG(out->old.st_mode);
    const int common = O_NOCTTY | O_CLOEXEC;
    const int accesses[] = {O_RDWR, O_WRONLY};
    int fd = -1;

    for (int access : accesses) {
        if (access == O_RDWR && !regular)
            continue;  // a reader of its own would let a FIFO fill up and wait forever
        fd = out->through != NULL ? open(out->through, access | O_NONBLOCK | common)
                                  : openat(out->dir, out->base, access | O_CREAT | O_NOFOLLOW | common, 0666);
        if (fd != -1 || errno != EACCES)
            break;
    }
    if (fd != -1 && out->through != NULL && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        (void)close(fd);  // just opened, and written nothing: it closes, leaving errno as fcntl set it
        return -1;
    }
    return fd;
}

bool write_in_place(OutputFile *out, const Content *c, const Input *input)
{
    const bool own = out->named_fd == -1;
    const int fd = own ? open_in_place(out) : out->named_fd;
    struct stat st;
    bool ok;

    // A descriptor is written at its position, so that `>>` appends and the
    // other lines of a `{ ...; } > f` group stay; a file opened here is
    // emptied first.
    ok = fd != -1 && fstat(fd, &st) == 0;
    if (ok && (is_input(input, &st) || holds_input(fd, &st, input))) {
        errno = EPERM;
        ok = false;
    }
    ok = ok && (!own || !S_ISREG(st.st_mode) || ftruncate(fd, 0) == 0) && put(fd, c);
    if (own && fd != -1)
        ok = close(fd) == 0 && ok;
    return ok;
}

void end_output(OutputFile *out)
{
    let_go_of_old(out);
    if (out->dir != -1)
        (void)close(out->dir);  // opened only to look up names in
}
