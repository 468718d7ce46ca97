// What happens to the output file: it is replaced only once the new payload
// is whole, and an output that a replacement would change in other ways (its
// mode, a link, a device, a pipe) stays what it was.
#include <fcntl.h>
#include <limits.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

const std::string HELLO = img(5, "hello");

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

#define POSIX_ONLY()                                                                \
    do {                                                                            \
        if (testing_windows())                                                      \
            GTEST_SKIP() << "POSIX only: file modes, links, devices and pipes";     \
    } while (0)

// A 64 KiB file system below the sandbox, so that a payload can run out of
// room. Mounting needs root; elsewhere the test is skipped.
struct SmallDisk {
    std::string dir;
    bool mounted = false;
    explicit SmallDisk(const Sandbox &box) : dir(box.path() + "/disk")
    {
        fs::create_directory(dir);
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallDisk()
    {
        if (mounted)
            umount(dir.c_str());
    }
};

TEST(Output, FullDiskLeavesEverythingAsItWas)
{
    Sandbox box;
    SmallDisk disk(box);
    if (!disk.mounted)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << strerror(errno);

    // In place: 20 KiB of image whose header asks for 100 KiB of payload.
    const std::string image = img(100 * 1024, pattern(20 * 1024));
    box.put("disk/img.bin", image);
    Tree before = box.tree();
    EXPECT_EQ(box.run({"disk/img.bin", "disk/img.bin"}).status, 1);
    EXPECT_TRUE(same_tree(box.tree(), before)) << "the image changed, or a file was left behind";

    // An existing good output stays when the new payload does not fit.
    fs::remove(box.path() + "/disk/img.bin");
    box.put("disk/out.bin", pattern(30 * 1024));
    box.put("in.bin", img(70 * 1024, pattern(70 * 1024)));
    before = box.tree();
    EXPECT_EQ(box.run({"in.bin", "disk/out.bin"}).status, 1);
    EXPECT_TRUE(same_tree(box.tree(), before)) << "the output changed, or a file was left behind";
}

TEST(Output, PermissionBitsAreKept)
{
    POSIX_ONLY();
    Sandbox box;
    const std::string out = box.path() + "/out.bin";
    box.put("in.bin", HELLO);
    box.put("out.bin", "old");
    ASSERT_EQ(chmod(out.c_str(), 0640), 0);
    ASSERT_EQ(box.run({"in.bin", "out.bin"}).status, 0);
    struct stat st{};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(slurp(out), "hello");

    // A new output gets what any new file gets: 0666 less the umask.
    const mode_t saved = umask(027);
    const int status = box.run({"in.bin", "new.bin"}).status;
    umask(saved);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(stat((box.path() + "/new.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// The new file gets the old one's owner and group, each of them whether the
// other changes or not.
TEST(Output, OwnerAndGroupAreKept)
{
    POSIX_ONLY();
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to give the old output another owner";
    const struct {
        uid_t uid;
        gid_t gid;
    } owners[] = {{65534, 65534}, {0, 65534}, {65534, 0}};
    for (const auto &o : owners) {
        Sandbox box;
        const std::string out = box.path() + "/out.bin";
        box.put("in.bin", HELLO);
        box.put("out.bin", "old");
        ASSERT_EQ(chown(out.c_str(), o.uid, o.gid), 0);
        ASSERT_EQ(box.run({"in.bin", "out.bin"}).status, 0);
        struct stat st{};
        ASSERT_EQ(stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, o.uid);
        EXPECT_EQ(st.st_gid, o.gid) << "owner " << o.uid;
        EXPECT_EQ(slurp(out), "hello");
    }
}

TEST(Output, LinksStayLinks)
{
    POSIX_ONLY();
    Sandbox box;
    const std::string dir = box.path();
    box.put("in.bin", HELLO);
    box.put("real/target.bin", "old");
    fs::create_symlink("real/target.bin", dir + "/link.bin");
    box.put("one.bin", "old");
    fs::create_hard_link(dir + "/one.bin", dir + "/two.bin");

    ASSERT_EQ(box.run({"in.bin", "link.bin"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir + "/link.bin"));
    EXPECT_EQ(slurp(dir + "/real/target.bin"), "hello");

    ASSERT_EQ(box.run({"in.bin", "two.bin"}).status, 0);
    EXPECT_EQ(fs::hard_link_count(dir + "/one.bin"), 2u);
    EXPECT_EQ(slurp(dir + "/one.bin"), "hello");

    // An image with a second name, extracted into that name: writing in place
    // would destroy the image on a failed write, so nothing is written.
    box.put("img.bin", HELLO);
    fs::create_hard_link(dir + "/img.bin", dir + "/alias.bin");
    EXPECT_EQ(box.run({"img.bin", "alias.bin"}).status, 1);
    EXPECT_EQ(slurp(dir + "/img.bin"), HELLO);

    // A link to nothing yet: the file is made where it points.
    fs::create_symlink("real/later.bin", dir + "/dangling.bin");
    ASSERT_EQ(box.run({"in.bin", "dangling.bin"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir + "/dangling.bin"));
    EXPECT_EQ(slurp(dir + "/real/later.bin"), "hello");

    // A link in another directory points from there, a relative target
    // from the link's own directory, an absolute one from the root.
    box.put("sub/target.bin", "old");
    fs::create_symlink("target.bin", dir + "/sub/relative.bin");
    fs::create_symlink(dir + "/sub/target.bin", dir + "/sub/absolute.bin");
    box.put("target.bin", "not this one");
    ASSERT_EQ(box.run({"in.bin", "sub/relative.bin"}).status, 0);
    EXPECT_EQ(slurp(dir + "/sub/target.bin"), "hello");
    box.put("sub/target.bin", "old");
    ASSERT_EQ(box.run({"in.bin", "sub/absolute.bin"}).status, 0);
    EXPECT_EQ(slurp(dir + "/sub/target.bin"), "hello");
    EXPECT_EQ(slurp(dir + "/target.bin"), "not this one");

    for (const auto &[name, content] : box.tree())
        EXPECT_EQ(name.find(".swug-"), std::string::npos) << "left behind: " << name;
}

// Runs the program with standard output into a pipe; returns its status and
// what came through, or only the status when the reading end is closed first.
int run_into_pipe(const Sandbox &box, const std::vector<std::string> &args, bool close_reader, std::string *got)
{
    int p[2];
    if (pipe(p) != 0)
        return -1;
    std::vector<std::string> cmd = command();
    cmd.insert(cmd.end(), args.begin(), args.end());
    std::vector<char *> argv = exec_argv(cmd);
    if (close_reader)
        close(p[0]);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(box.path().c_str()) != 0 || dup2(p[1], 1) < 0)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(p[1]);
    if (!close_reader) {
        char buf[4096];
        for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
            got->append(buf, (size_t)n);
        close(p[0]);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Output, DevicesAndPipes)
{
    POSIX_ONLY();
    Sandbox box;
    const std::string big = pattern(300000);
    box.put("in.bin", img((uint32_t)big.size(), big));

    std::string got;
    EXPECT_EQ(run_into_pipe(box, {"in.bin", "/dev/stdout"}, false, &got), 0);
    EXPECT_TRUE(same_content(got, big));

    // Nobody reads: a failed write, status 1, not death by SIGPIPE.
    EXPECT_EQ(run_into_pipe(box, {"in.bin", "/dev/stdout"}, true, nullptr), 1);

    const std::string fifo = box.path() + "/out.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string from_fifo;
    std::thread reader([&] { from_fifo = slurp(fifo); });
    EXPECT_EQ(box.run({"in.bin", "out.fifo"}).status, 0);
    reader.join();
    EXPECT_TRUE(same_content(from_fifo, big));

    EXPECT_EQ(box.run({"in.bin", "/dev/null"}).status, 0);
}

// The user nobody, through setpriv, for the cases where root would be let
// through; the sandbox is opened up so that nobody can reach its files.
std::vector<std::string> as_nobody(const Sandbox &box)
{
    fs::permissions(fs::path(box.path()).parent_path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(box.path(), fs::perms::all);
    return {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
}

bool can_be_nobody()
{
    return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0;
}

// No temporary file can be made in a directory the user may not write, and
// in a sticky directory (/tmp) only its owner may replace a file. A file there
// that the user may write is written in place, unless it is the input, which
// is then left alone.
TEST(Output, WhereNoReplacementIsAllowedWritesInPlace)
{
    POSIX_ONLY();
    if (!can_be_nobody())
        GTEST_SKIP() << "needs root and setpriv to run as the user nobody";
    Sandbox box;
    const std::vector<std::string> via = as_nobody(box);
    box.put("ro/in.bin", HELLO);
    box.put("ro/out.bin", "old");
    const std::string ro = box.path() + "/ro";
    for (const char *f : {"/in.bin", "/out.bin"})
        ASSERT_EQ(chmod((ro + f).c_str(), 0666), 0);
    ASSERT_EQ(chmod(ro.c_str(), 0555), 0);

    EXPECT_EQ(box.run({"ro/in.bin", "ro/out.bin"}, "", via).status, 0);
    EXPECT_EQ(slurp(ro + "/out.bin"), "hello");
    EXPECT_EQ(box.run({"ro/in.bin", "ro/in.bin"}, "", via).status, 1);
    EXPECT_EQ(slurp(ro + "/in.bin"), HELLO);
    chmod(ro.c_str(), 0755);

    box.put("sticky/out.bin", "old");
    const std::string sticky = box.path() + "/sticky";
    ASSERT_EQ(chmod((sticky + "/out.bin").c_str(), 0666), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    EXPECT_EQ(box.run({"ro/in.bin", "sticky/out.bin"}, "", via).status, 0);
    EXPECT_EQ(slurp(sticky + "/out.bin"), "hello");

    // Replaced where the user may write the output but not read it: its
    // attributes are read through its name in /proc instead.
    box.put("wr/out.bin", "old");
    const std::string wr = box.path() + "/wr";
    ASSERT_EQ(chmod(wr.c_str(), 0777), 0);
    ASSERT_EQ(chmod((wr + "/out.bin").c_str(), 0222), 0);
    EXPECT_EQ(box.run({"ro/in.bin", "wr/out.bin"}, "", via).status, 0);
    EXPECT_EQ(slurp(wr + "/out.bin"), "hello");
    struct stat st{};
    ASSERT_EQ(stat((wr + "/out.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0222u);

    // Written in place (a second hard link) where the user may write but
    // not read it: the file that cannot be read cannot be the input either.
    box.put("wo/out.bin", "old");
    const std::string wo = box.path() + "/wo";
    ASSERT_EQ(link((wo + "/out.bin").c_str(), (wo + "/twin.bin").c_str()), 0);
    ASSERT_EQ(chmod((wo + "/out.bin").c_str(), 0222), 0);
    EXPECT_EQ(box.run({"ro/in.bin", "wo/out.bin"}, "", via).status, 0);
    EXPECT_EQ(slurp(wo + "/twin.bin"), "hello");
    for (const auto &[name, content] : box.tree())
        EXPECT_EQ(name.find(".swug-"), std::string::npos) << "left behind: " << name;
}

// A set-id bit goes over only with the owner or group it belongs to: a user
// who cannot give the replacement the old file's owner and group keeps
// neither bit, which would make it set-id to the user's own.
TEST(Output, SetIdBitsGoOnlyWithTheirOwner)
{
    POSIX_ONLY();
    if (!can_be_nobody())
        GTEST_SKIP() << "needs root and setpriv to run as the user nobody";
    Sandbox box;
    const std::vector<std::string> via = as_nobody(box);
    box.put("in.bin", HELLO);
    box.put("out.bin", "old");
    const std::string out = box.path() + "/out.bin";
    ASSERT_EQ(chown(out.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(out.c_str(), 06666), 0);
    EXPECT_EQ(box.run({"in.bin", "out.bin"}, "", via).status, 0);
    EXPECT_EQ(slurp(out), "hello");
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u) << std::oct << (st.st_mode & 07777);
}

// An output the user may not write is refused, although the directory would
// let a rename replace it: one of the user's own that is read-only, or
// another user's that only its owner may write. On Windows the read-only
// attribute holds even for an administrator; elsewhere root may write
// anything, so an ordinary user runs.
TEST(Output, OutputTheUserMayNotWriteIsRefused)
{
    const struct {
        uid_t owner;
        mode_t mode;
    } table[] = {{65534, 0444}, {0, 0644}};
    for (const auto &row : table) {
        if (testing_windows() && row.owner == 0)
            continue;  // Windows has no owner's write bit
        SCOPED_TRACE(row.owner);
        Sandbox box;
        std::vector<std::string> via;
        box.put("in.bin", HELLO);
        box.put("out.bin", "keep");
        const std::string out = box.path() + "/out.bin";
        if (!testing_windows()) {
            if (!can_be_nobody())
                GTEST_SKIP() << "needs root and setpriv to run as the user nobody";
            via = as_nobody(box);
            ASSERT_EQ(chown(out.c_str(), row.owner, row.owner), 0);
        }
        ASSERT_EQ(chmod(out.c_str(), row.mode), 0);
        const Tree before = box.tree();
        EXPECT_EQ(box.run({"in.bin", "out.bin"}, "", via).status, 1);
        EXPECT_TRUE(same_tree(box.tree(), before));
    }
}

}  // namespace

namespace {

// Names of descriptors the program holds are written through them, at their
// position and never truncated: `>>` appends, a group keeps its other lines.
// When the descriptor leads to the input, nothing is written.
TEST(Output, DescriptorsAreWrittenWhereTheyStand)
{
    POSIX_ONLY();
    const struct {
        std::string script, want;
        int status;
    } table[] = {
        {"echo HEAD >f; swug in.bin /dev/stdout >>f", "HEAD\nhello", 0},
        {"{ echo HEAD; swug in.bin /dev/stdout; echo TAIL; } >f", "HEAD\nhelloTAIL\n", 0},
        {"echo HEAD >f; swug in.bin /dev/fd/3 3>>f", "HEAD\nhello", 0},
        {"echo HEAD >f; swug in.bin /dev/stdin 0>>f", "HEAD\nhello", 0},
        {"echo HEAD >f; swug in.bin /dev/fd/0 0>>f", "HEAD\nhello", 0},
        {"echo HEAD >f; swug in.bin /proc/self/fd/ 0>>f", "HEAD\n", 1},  // a directory, no descriptor
        // Names in the descriptor folder that are no descriptor: nothing is
        // made there, and descriptor 1 is never written.
        {"echo HEAD >f; swug in.bin /dev/fd/1x >>f", "HEAD\n", 1},
        {"echo HEAD >f; swug in.bin /dev/fd/01 >>f", "HEAD\n", 1},
        {"echo HEAD >f; swug in.bin /dev/fd/+1 >>f", "HEAD\n", 1},
        {"echo HEAD >f; swug in.bin /dev/fd/2147483647 >>f", "HEAD\n", 1},
        {"echo HEAD >f; swug in.bin /dev/fd/2147483648 >>f", "HEAD\n", 1},
        {"echo HEAD >f; swug in.bin /dev/fd/4294967297 >>f", "HEAD\n", 1},
        {"echo HEAD >f; swug in.bin /proc/self/fd/1 >>f", "HEAD\nhello", 0},
        {"echo HEAD >f; ln -s /dev/stdout link; swug in.bin link >>f; rm link", "HEAD\nhello", 0},
        {"cp in.bin f; swug f /dev/stdout >>f", HELLO, 1},
        {"echo HEAD >f; swug in.bin /dev/stdout >&-", "HEAD\n", 1},
    };
    for (const auto &row : table) {
        Sandbox box;
        box.put("in.bin", HELLO);
        std::vector<std::string> cmd = {"sh", "-c", "swug() { \"$0\" \"$@\"; }; " + row.script};
        cmd.push_back(command().back());
        const Result r = box.run_command(cmd);
        EXPECT_EQ(r.status, row.status) << row.script << "\n" << r.err;
        EXPECT_TRUE(same_content(box.tree()["f"], row.want)) << row.script;
    }
}

// An empty payload has nothing to lose, so it never counts as the input: an
// empty output written in place (a second hard link) takes the new image.
// A link loop names no file, and says so.
TEST(Output, EmptyInputAndLinkLoops)
{
    POSIX_ONLY();
    Sandbox box;
    box.put("empty.bin", "");
    box.put("out.bin", "");
    ASSERT_EQ(link((box.path() + "/out.bin").c_str(), (box.path() + "/twin.bin").c_str()), 0);
    ASSERT_EQ(symlink("loop-b", (box.path() + "/loop-a").c_str()), 0);
    ASSERT_EQ(symlink("loop-a", (box.path() + "/loop-b").c_str()), 0);
    std::vector<std::string> create = companion_command();
    create.insert(create.end(), {"create", "empty.bin", "out.bin"});
    const Result r = box.run_command(create);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(box.path() + "/twin.bin"), sound_image(0, "", ""));
    create.back() = "loop-a";
    const Result loop = box.run_command(create);
    EXPECT_EQ(loop.status, 1);
    EXPECT_EQ(loop.err, "swugimg: loop-a: cannot write: Too many levels of symbolic links\n");
    ASSERT_EQ(unlink((box.path() + "/loop-a").c_str()), 0);  // the tree's walk would follow it
    ASSERT_EQ(unlink((box.path() + "/loop-b").c_str()), 0);

    // A chain of links is followed as far as the system follows one, 40
    // links, and no further; with a few descriptors, so that one left open
    // at each link would show.
    for (const int links : {40, 41}) {
        Sandbox chain;
        chain.put("p.bin", "hello");
        chain.put("end.bin", "old");
        for (int i = 1; i <= links; i++) {
            const std::string to = i == 1 ? "end.bin" : "l" + std::to_string(i - 1);
            ASSERT_EQ(symlink(to.c_str(), (chain.path() + "/l" + std::to_string(i)).c_str()), 0);
        }
        std::vector<std::string> cmd = {"sh", "-c", "ulimit -n 16 && exec \"$@\"", "sh"};
        for (const std::string &w : companion_command())
            cmd.push_back(w);
        cmd.insert(cmd.end(), {"create", "p.bin", "l" + std::to_string(links)});
        const Result r = chain.run_command(cmd);
        EXPECT_EQ(r.status, links == 40 ? 0 : 1) << links << " links\n" << r.err;
        EXPECT_EQ(slurp(chain.path() + "/end.bin"), links == 40 ? sound_image(0, "", "hello") : "old") << links;
        if (links == 41) {
            EXPECT_EQ(r.err, "swugimg: l41: cannot write: Too many levels of symbolic links\n");
        }
        for (int i = 1; i <= links; i++)
            ASSERT_EQ(unlink((chain.path() + "/l" + std::to_string(i)).c_str()), 0);
    }
}

// What a name stands for is what the system resolves it to, not its text:
// every spelling of a descriptor of the program's own is written at its
// position, with `>>` and inside a group alike, for swug and create. The
// program is exec'd by a bash of its own, so that $$ is its process id.
TEST(Output, EverySpellingOfAnOwnDescriptorIsWrittenWhereItStands)
{
    POSIX_ONLY();
    const char *spellings[] = {
        "/dev/fd//1", "//proc/self/fd/1", "/proc/self/fd//1", "/dev/./fd/1", "/proc/self/./fd/1", "//dev//fd//1",
        "/proc/thread-self/fd/1", "/proc/$$/fd/1", "/proc/$$/task/$$/fd/1", "fdlink", "stdoutlink",
    };
    const struct {
        const char *program, *input, *made;
    } programs[] = {{"\"$SWUG\"", "in.bin", "hello"}, {"\"$SWUGIMG\" create", "pay.bin", nullptr}};
    const std::string links = "ln -s /dev/fd//1 fdlink; ln -s //dev/stdout stdoutlink; ";
    setenv("SWUG", command().back().c_str(), 1);
    setenv("SWUGIMG", companion_command().back().c_str(), 1);
    for (const auto &p : programs) {
        const std::string made = p.made != nullptr ? p.made : sound_image(0, "", "payload!");
        for (const char *name : spellings) {
            const std::string run = std::string(p.program) + " " + p.input + " " + name;
            const struct {
                std::string script, want;
            } forms[] = {
                {"echo HEAD >f; bash -c 'exec " + run + "' >>f", "HEAD\n" + made},
                {"{ echo one; bash -c 'exec " + run + "'; echo; echo three; } >f", "one\n" + made + "\nthree\n"},
            };
            for (const auto &form : forms) {
                Sandbox box;
                box.put("in.bin", HELLO);
                box.put("pay.bin", "payload!");  // not the size of f, which it cannot read
                const std::string script = links + form.script + "; rm fdlink stdoutlink";
                const Result r = box.run_command({"bash", "-c", script});
                EXPECT_EQ(r.status, 0) << script << "\n" << r.err;
                EXPECT_TRUE(same_content(box.tree()["f"], form.want)) << script;
            }
        }
    }
}

// /proc/PID/fd/N of another process names what that process holds, which
// may have no path at all: a memfd, a deleted file, a pipe, a socket. It is
// written through what the kernel opens for the name, or the run fails; it
// never becomes a new file at the text of the link ("/memfd:fwbuf
// (deleted)", "held.bin (deleted)"). The holder is a shell started by
// hold.py with the object on descriptor 7 (and a pipe's read end on 8);
// the program does not inherit them. Nobody reads a pipe without a reader,
// so opening it fails at once instead of waiting.
TEST(Output, ProcLinksAreWrittenThroughWhatTheyHold)
{
    POSIX_ONLY();
    if (system("command -v python3 >/dev/null") != 0)
        GTEST_SKIP() << "needs python3 (Debian package python3)";
    const char *hold_py = R"(import os, socket, sys
kind = sys.argv[1]
if kind == "memfd":
    fds = [os.memfd_create("fwbuf", 0)]
elif kind == "pipe":
    r, w = os.pipe()
    fds = [w, r]
elif kind == "readerless":
    r, w = os.pipe()
    os.close(r)
    fds = [w]
elif kind == "socket":
    fds = [s.detach() for s in socket.socketpair()]
else:
    fds = [os.open(kind, os.O_RDWR | os.O_CREAT, 0o644)]
    os.unlink(kind)
for i, fd in enumerate(fds):
    os.dup2(fd, 7 + i)
os.execvp("sh", ["sh", "-c", sys.argv[2]])
)";
    const struct {
        std::string kind, run, read_back, want;
        int status;
        std::string held = "";  // what the file held, where it is one
    } table[] = {
        {"memfd", "$SWUG in.bin /proc/$$/fd/7", "cat /proc/$$/fd/7", "hello", 0},
        {"held.bin", "$SWUG in.bin /proc/$$/fd/7", "cat /proc/$$/fd/7", "hello", 0},
        // A file of the input's size is read to tell it is not the input.
        {"held.bin", "$SWUG in.bin /proc/$$/fd/7", "cat /proc/$$/fd/7", "hello", 0, std::string(HELLO.size(), 'x')},
        {"held.bin", "$SWUGIMG create p.bin /proc/$$/fd/7", "cat /proc/$$/fd/7", sound_image(0, "", "hello"), 0},
        {"pipe", "$SWUG in.bin /proc/$$/fd/7", "head -c 5 <&8", "hello", 0},
        {"readerless", "$SWUG in.bin /proc/$$/fd/7", "", "", 1},
        {"socket", "$SWUG in.bin /proc/$$/fd/7", "", "", 1},
    };
    setenv("SWUG", command().back().c_str(), 1);
    setenv("SWUGIMG", companion_command().back().c_str(), 1);
    for (const auto &row : table) {
        Sandbox box;
        box.put("in.bin", HELLO);
        box.put("p.bin", "hello");
        box.put("hold.py", hold_py);
        Tree want = box.tree();
        want["f"] = row.want;
        if (!row.held.empty())
            box.put(row.kind, row.held);  // hold.py removes its name
        // In a subshell, so that the shell's own 7 and 8 stay where they are
        // while the program runs without them.
        const std::string script = "(" + row.run + " 7>&- 8>&-); s=$?; " +
                                   (row.read_back.empty() ? ":" : row.read_back) + " >f; exit $s";
        const Result r = box.run_command({"timeout", "20", "python3", "hold.py", row.kind, script});
        EXPECT_EQ(r.status, row.status) << row.kind << ": " << row.run << "\n" << r.err;
        EXPECT_TRUE(same_tree(box.tree(), want)) << row.kind << ": " << row.run;
    }
    EXPECT_FALSE(fs::exists("/memfd:fwbuf (deleted)"));

    // Opened without waiting, the pipe is then written waiting as any write
    // does: a payload larger than the pipe holds goes through whole while
    // its reader takes it.
    Sandbox box;
    const std::string large = pattern(300000);
    box.put("large.bin", img((uint32_t)large.size(), large));
    box.put("hold.py", hold_py);
    const Result r = box.run_command({"timeout", "20", "python3", "hold.py", "pipe",
                                      "cat <&8 7>&- >f & ($SWUG large.bin /proc/$$/fd/7 7>&- 8>&-); s=$?; "
                                      "exec 7>&- 8>&-; wait; exit $s"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_content(box.tree()["f"], large));
}

// Started with standard input, output or error closed, as cron jobs,
// daemons and `exec <&-` start programs, the first file a program opens
// takes descriptor 0, 1 or 2. Nothing may be written to it by mistake, and
// the runs go as with the streams open: swugimg check reports that its
// results could not be written, since they are its output.
TEST(Output, ClosedStandardStreams)
{
    POSIX_ONLY();
    const struct {
        std::string run, changed;  // changed: the file that gets the new content
        int status;
    } table[] = {
        {"$SWUG in.bin out.bin <&-", "out.bin", 0},
        {"$SWUG in.bin out.bin >&-", "out.bin", 0},
        {"$SWUG in.bin out.bin 2>&-", "out.bin", 0},
        {"$SWUG in.bin out.bin <&- >&- 2>&-", "out.bin", 0},
        {"$SWUG in.bin new.bin <&- >&- 2>&-", "new.bin", 0},
        {"$SWUG in.bin in.bin <&- >&- 2>&-", "in.bin", 0},
        {"$SWUG in.bin nodir/out.bin <&- >&- 2>&-", "", 1},
        {"$SWUG <&- >&- 2>&-", "out/QUILMO_UPGRADE_SW.bin", 0},
        {"$SWUGIMG create p.bin img.bin <&- >&- 2>&-", "img.bin", 0},
        {"$SWUGIMG check data/QUILMO_SW.bin <&- 2>&-", "", 0},
        {"$SWUGIMG check data/QUILMO_SW.bin >&-", "", 2},
        {"$SWUGIMG info data/QUILMO_SW.bin <&-", "", 0},
        // A closed descriptor stays closed to the program: the first file it
        // opens never takes its place.
        {"$SWUG in.bin /dev/stdin <&-", "", 1},
        {"$SWUG in.bin /dev/fd/0 <&- >&- 2>&-", "", 1},
        {"$SWUGIMG create p.bin /dev/fd/1 >&-", "", 1},
        {"$SWUGIMG create p.bin /dev/fd/2 2>&-", "", 1},
        {"$SWUGIMG check - <&-", "", 2},
        {"$SWUGIMG extract data/QUILMO_SW.bin /dev/stdout >&-", "", 1},
    };
    setenv("SWUG", command().back().c_str(), 1);
    setenv("SWUGIMG", companion_command().back().c_str(), 1);
    for (const auto &row : table) {
        Sandbox box;
        box.put("in.bin", HELLO);
        box.put("out.bin", "keep");
        box.put("p.bin", "hello");
        box.put("data/QUILMO_SW.bin", sound_image(1, "", "hello"));
        box.put("out/");
        Tree want = box.tree();
        if (row.changed == "img.bin")
            want[row.changed] = sound_image(0, "", "hello");
        else if (!row.changed.empty())
            want[row.changed] = "hello";
        const Result r = box.run_command({"sh", "-c", row.run});
        EXPECT_EQ(r.status, row.status) << row.run << "\n" << r.err;
        EXPECT_TRUE(same_tree(box.tree(), want)) << row.run;
    }
}

// The longest name a directory entry takes, NAME_MAX bytes, is an output like
// any other; one byte more is refused, and nothing is made; a name ending in a
// slash is refused as a directory.
TEST(Output, LongestBaseName)
{
    POSIX_ONLY();
    const long name_max = pathconf("/tmp", _PC_NAME_MAX);
    for (const long n : {name_max, name_max + 1}) {
        Sandbox box;
        box.put("in.bin", HELLO);
        box.put("p.bin", "hello");
        const std::string name(n, 'n');
        Tree want = box.tree();
        std::vector<std::string> create = companion_command();
        create.insert(create.end(), {"create", "p.bin", name});
        EXPECT_EQ(box.run({"in.bin", name}).status, n > name_max) << n;
        if (n <= name_max)
            want[name] = "hello";
        EXPECT_TRUE(same_tree(box.tree(), want)) << n;
        box.run_command({"rm", "-f", name});
        const Result r = box.run_command(create);
        EXPECT_EQ(r.status, n > name_max) << n;
        if (n > name_max) {
            EXPECT_NE(r.err.find("cannot write: File name too long"), std::string::npos) << r.err;
        }
    }
    // A name that ends in a slash names no file in its directory.
    Sandbox box;
    box.put("p.bin", "hello");
    std::vector<std::string> create = companion_command();
    create.insert(create.end(), {"create", "p.bin", "dir/"});
    const Result r = box.run_command(create);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write: Is a directory"), std::string::npos) << r.err;
}

// An extended attribute whose value is empty is an attribute like any other,
// carried over to the replaced output.
TEST(Output, EmptyAttributeValueIsCarriedOver)
{
    POSIX_ONLY();
    if (system("command -v setfattr >/dev/null && command -v getfattr >/dev/null") != 0)
        GTEST_SKIP() << "needs setfattr and getfattr (package attr)";
    Sandbox box;
    box.put("in.bin", HELLO);
    box.put("out.bin", "keep");
    const std::string out = box.path() + "/out.bin";
    if (system(("setfattr -n user.empty -v '' " + out + " && setfattr -n user.full -v x " + out).c_str()) != 0)
        GTEST_SKIP() << "this file system takes no user attributes";
    const std::string show = "getfattr -d --absolute-names " + out;
    const Result before = box.run_command({"sh", "-c", show});
    ASSERT_EQ(box.run({"in.bin", "out.bin"}).status, 0);
    EXPECT_EQ(slurp(out), "hello");
    EXPECT_EQ(box.run_command({"sh", "-c", show}).out, before.out);
    EXPECT_NE(before.out.find("user.empty"), std::string::npos) << before.out;
}

// The old output's ACL and attributes stay (see fault_test.cpp for other
// file systems); a new output gets what `touch` would give it; and a
// replaced output never takes up an ACL it did not have.
TEST(Output, AccessControlLikeAnyOtherFile)
{
    POSIX_ONLY();
    if (system("command -v setfacl >/dev/null && command -v getfacl >/dev/null") != 0)
        GTEST_SKIP() << "needs setfacl and getfacl (package acl)";
    Sandbox box;
    const std::string dir = box.path();
    box.put("in.bin", HELLO);
    box.put("acl/", "");
    box.put("plain/old.bin", "keep");
    auto sh = [&](const std::string &script) { return box.run_command({"sh", "-c", script}); };
    if (sh("setfacl -d -m u:nobody:rw acl && setfacl -d -m u:nobody:rw plain").status != 0)
        GTEST_SKIP() << "this file system takes no ACL";

    // Under a default ACL, the umask does not apply and the ACL decides.
    ASSERT_EQ(box.run({"in.bin", "acl/new.bin"}).status, 0);
    ASSERT_EQ(sh("touch acl/touched").status, 0);
    EXPECT_EQ(sh("getfacl -c acl/new.bin").out, sh("getfacl -c acl/touched").out);

    // A file from before the default ACL keeps having none, whatever other
    // attributes it has.
    for (const std::string attribute : {"", "setfattr -n user.origin -v release plain/old.bin"}) {
        box.put("plain/old.bin", "keep");
        chmod((dir + "/plain/old.bin").c_str(), 0600);
        if (!attribute.empty() && sh("command -v setfattr >/dev/null && " + attribute).status != 0)
            continue;  // no user attributes here, or no setfattr (package attr)
        const std::string before = sh("getfacl -c plain/old.bin").out;
        ASSERT_EQ(box.run({"in.bin", "plain/old.bin"}).status, 0);
        EXPECT_EQ(sh("getfacl -c plain/old.bin").out, before) << attribute;
        EXPECT_EQ(slurp(dir + "/plain/old.bin"), "hello");
    }
}

// The temporary file is named relative to the output's directory, so an
// output whose directory part fills all of PATH_MAX but its terminating
// zero is still replaced, not written in place; one byte more, and the name
// is too long (no file is made, and no buffer overrun, which the sanitizer
// run would see).
TEST(Output, DeepDirectoryIsStillReplaced)
{
    POSIX_ONLY();
    for (const size_t length : {size_t(PATH_MAX - 1), size_t(PATH_MAX)}) {
        Sandbox box;
        // Longer than any path from the root can be, so made one level at a time.
        std::string dir;
        int at = open(box.path().c_str(), O_PATH | O_DIRECTORY);
        while (dir.size() < length) {
            const std::string part(std::min<size_t>(200, length - dir.size() - (dir.empty() ? 0 : 1)), 'd');
            ASSERT_EQ(mkdirat(at, part.c_str(), 0755), 0);
            const int next = openat(at, part.c_str(), O_PATH | O_DIRECTORY);
            close(at);
            at = next;
            dir += (dir.empty() ? "" : "/") + part;
        }
        ASSERT_EQ(dir.size(), length);
        const int old = openat(at, "i", O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(write(old, "old image", 9), 9);
        close(old);
        struct stat before{}, after{};
        ASSERT_EQ(fstatat(at, "i", &before, 0), 0);
        box.put("p.bin", "abc");

        std::vector<std::string> cmd = companion_command();
        cmd.insert(cmd.end(), {"create", "p.bin", dir + "/i"});
        const Result r = box.run_command(cmd);
        ASSERT_EQ(fstatat(at, "i", &after, 0), 0);
        if (length < PATH_MAX) {
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(after.st_ino, before.st_ino) << "written in place";
            EXPECT_EQ(after.st_size, 43);
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("cannot write: File name too long"), std::string::npos) << r.err;
            EXPECT_EQ(after.st_ino, before.st_ino);
            EXPECT_EQ(after.st_size, 9);
        }
        close(at);
    }
}

}  // namespace
