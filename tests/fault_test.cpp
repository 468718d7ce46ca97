// Faults as they happen: system calls made to fail (strace's fault
// injection), real file systems that run out of room or crash, signals in
// mid-write. Whatever the fault, the output is replaced whole or left byte
// for byte as it was, and nothing is left behind.
#include <signal.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

const std::string PAYLOAD = pattern(300000);
const std::string IMAGE = img((uint32_t)PAYLOAD.size(), PAYLOAD);

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Names of the temporary files left in dir and below.
std::vector<std::string> leftovers(const std::string &dir)
{
    std::vector<std::string> found;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.path().filename().string().rfind(".swug-", 0) == 0)
            found.push_back(e.path().string());
    return found;
}

mode_t mode_of(const std::string &path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// ---- System calls made to fail ---------------------------------------------

// One fault: the run, the call that fails, and what must come of it. The
// call is named by strace's inject= expression; `hit` is text of the trace
// line it must hit, so that a change in the order of calls cannot make the
// fault land elsewhere unnoticed.
struct Fault {
    std::string name;
    enum { NEW, EXISTING, IN_PLACE, CREATE, LINKED } run;  // LINKED: an output with a second hard link
    std::string inject, hit;
    int status;
    bool replaced;  // whether the output holds the new content afterwards
    std::string reason = "";  // what swugimg create says of the failure, after "cannot write: "
};

void PrintTo(const Fault &f, std::ostream *os) { *os << f.name; }

// Calls in a replacement of an existing output: openat 1 the input, 2 its
// directory, 3 the old output (for its attributes), 4 the temporary file; a
// new output has no third. The temporary file is descriptor 5. newfstatat
// 1 and 2 look at the input, 3 at the output's name, 4 at the old output
// (descriptor 4) once open, 5 at the temporary file.
std::vector<Fault> faults()
{
    return {
        {"temp_no_space", Fault::EXISTING, "openat:error=ENOSPC:when=4", ".swug-", 1, false},
        {"temp_no_space_for_the_input", Fault::IN_PLACE, "openat:error=ENOSPC:when=4", ".swug-", 1, false},
        {"temp_too_many_files", Fault::NEW, "openat:error=EMFILE:when=3", ".swug-", 1, false},
        {"temp_name_too_long", Fault::EXISTING, "openat:error=ENAMETOOLONG:when=4", ".swug-", 1, false},
        {"temp_io_error", Fault::EXISTING, "openat:error=EIO:when=4", ".swug-", 1, false},
        {"temp_not_allowed_writes_in_place", Fault::EXISTING, "openat:error=EACCES:when=4", ".swug-", 0, true},
        {"temp_not_allowed_spares_the_input", Fault::IN_PLACE, "openat:error=EACCES:when=4", ".swug-", 1, false},
        {"old_output_cannot_be_looked_at", Fault::EXISTING, "newfstatat:error=EIO:when=4", "newfstatat(4, \"\"", 1,
         false},
        {"temp_cannot_be_looked_at", Fault::EXISTING, "newfstatat:error=EIO:when=5", "newfstatat(5, \"\"", 1, false},
        {"no_modes_as_on_fat", Fault::EXISTING, "fchmod:error=ENOSYS", "fchmod(", 0, true},
        {"no_owners_as_on_fat", Fault::EXISTING, "fchown:error=ENOSYS", "fchown(", 0, true},
        {"owner_io_error", Fault::EXISTING, "fchown:error=EIO:when=1", "fchown(", 1, false},
        {"no_modes_as_on_fat_in_place", Fault::IN_PLACE, "fchmod:error=ENOSYS", "fchmod(", 0, true},
        {"mode_io_error", Fault::EXISTING, "fchmod:error=EIO", "fchmod(", 1, false},
        {"write_no_space", Fault::EXISTING, "write:error=ENOSPC", "write(", 1, false},
        {"write_interrupted_goes_on", Fault::EXISTING, "write:error=EINTR:when=1", "write(", 0, true},
        {"write_over_quota_in_place", Fault::IN_PLACE, "write:error=EDQUOT", "write(", 1, false},
        {"close_io_error", Fault::EXISTING, "close:error=EIO:when=2", "close(5)", 1, false},
        {"flush_io_error_in_place", Fault::IN_PLACE, "fsync:error=EIO", "fsync(", 1, false},
        // Written in place, so the payload is there; the failed close still fails the run.
        {"close_io_error_written_in_place", Fault::LINKED, "close:error=EIO:when=2", "close(4)", 1, true},
        {"rename_across_devices", Fault::EXISTING, "renameat:error=EXDEV", "renameat(", 1, false},
        {"rename_not_allowed_writes_in_place", Fault::EXISTING, "renameat:error=EPERM", "renameat(", 0, true},
        {"rename_not_allowed_spares_the_input", Fault::IN_PLACE, "renameat:error=EPERM", "renameat(", 1, false},
        {"create_temp_no_space", Fault::CREATE, "openat:error=ENOSPC:when=4", ".swug-", 1, false,
         "No space left on device"},
        {"create_write_no_space", Fault::CREATE, "write:error=ENOSPC:when=1", "write(", 1, false,
         "No space left on device"},
        {"create_close_io_error", Fault::CREATE, "close:error=EIO:when=2", "close(5)", 1, false, "Input/output error"},
        {"create_rename_across_devices", Fault::CREATE, "renameat:error=EXDEV", "renameat(", 1, false,
         "Invalid cross-device link"},
        {"create_old_output_cannot_be_looked_at", Fault::CREATE, "newfstatat:error=EIO:when=4",
         "newfstatat(4, \"\"", 1, false, "Input/output error"},
    };
}

class OutputFault : public testing::TestWithParam<Fault> {};

TEST_P(OutputFault, ReplacesWholeOrKeeps)
{
    const Fault &f = GetParam();
    NEEDS_STRACE();
    Sandbox box;
    std::vector<std::string> cmd = {"strace", "-o", box.aside("trace"), "-e", "inject=" + f.inject};
    std::string target = "out.bin", fresh = PAYLOAD;
    std::vector<std::string> args = {"in.bin", "out.bin"};
    box.put("in.bin", IMAGE);
    if (f.run == Fault::EXISTING || f.run == Fault::LINKED)
        box.put("out.bin", "keep");
    if (f.run == Fault::LINKED) {
        ASSERT_EQ(link((box.path() + "/out.bin").c_str(), (box.path() + "/twin.bin").c_str()), 0);
    }
    if (f.run == Fault::IN_PLACE)
        args = {target = "in.bin", "in.bin"};
    if (f.run == Fault::CREATE) {
        box.put("p.bin", PAYLOAD);
        box.put("img.bin", "keep");
        args = {"create", "p.bin", target = "img.bin"};
        fresh = sound_image(0, "", PAYLOAD);
    }
    const std::string path = box.path() + "/" + target;
    if (fs::exists(path)) {
        ASSERT_EQ(chmod(path.c_str(), 0660), 0);
    }
    // An old output of another owner, so that the new file's owner must be set.
    if (f.run == Fault::EXISTING && geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    } else if (f.hit == "fchown(") {  // every row that makes fchown fail
        GTEST_SKIP() << "needs root, to give the old output another owner";
    }
    Tree want = box.tree();
    if (f.replaced) {
        want[target] = fresh;
        if (f.run == Fault::LINKED)
            want["twin.bin"] = fresh;
    }

    for (const std::string &w : f.run == Fault::CREATE ? companion_command() : command())
        cmd.push_back(w);
    cmd.insert(cmd.end(), args.begin(), args.end());
    const Result r = box.run_command(cmd);

    const std::string trace = slurp(box.aside("trace"));
    bool hit = false;
    for (size_t at = 0, end; (end = trace.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = trace.substr(at, end - at);
        hit = hit || (line.find(f.hit) != std::string::npos && line.find("(INJECTED)") != std::string::npos);
    }
    ASSERT_TRUE(hit) << "the fault missed " << f.hit << ":\n" << trace;
    EXPECT_EQ(r.status, f.status) << r.err;
    if (!f.reason.empty()) {
        EXPECT_EQ(r.err, "swugimg: img.bin: cannot write: " + f.reason + "\n");
    }
    EXPECT_TRUE(same_tree(box.tree(), want));
    // Never more access than the old file gave, whatever could be set.
    if (fs::exists(path)) {
        EXPECT_EQ(mode_of(path) & ~0660u, 0u) << std::oct << mode_of(path);
    }
}

INSTANTIATE_TEST_SUITE_P(Injected, OutputFault, testing::ValuesIn(faults()),
                         [](const testing::TestParamInfo<Fault> &i) { return i.param.name; });

// A write to standard output that fails fails the run, with its reason, also
// when the writes after it and the close succeed: stdio drops the lines it
// could not write.
TEST(OutputFaults, StandardOutputThatLostLinesFailsTheRun)
{
    NEEDS_STRACE();
    Sandbox box;
    std::vector<std::string> cmd = {"strace", "-o", box.aside("trace"), "-e", "trace=write", "-e",
                                    "inject=write:error=ENOSPC:when=1"};
    for (const std::string &w : companion_command())
        cmd.push_back(w);
    cmd.push_back("check");
    for (int i = 0; i < 300; i++) {  // more lines than stdio's buffer holds
        cmd.push_back("image-" + std::to_string(i) + ".img");
        box.put(cmd.back(), sound_image(0, "", "abc"));
    }
    const Result r = box.run_command(cmd);
    const std::string trace = slurp(box.aside("trace"));
    ASSERT_NE(trace.find("write(1, \"image-0.img: OK\\n"), std::string::npos) << trace;
    ASSERT_NE(trace.find(") = -1 ENOSPC (No space left on device) (INJECTED)\nwrite(1, "), std::string::npos) << trace;
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "swugimg: standard output: cannot write: No space left on device\n");
}

// An output written in place that is the size of the input must be read to
// tell it is not the input; when it cannot be read, it may be, and the run
// fails at once, touching nothing.
TEST(OutputFaults, UnreadableCopyOfTheInputSizeIsRefused)
{
    NEEDS_STRACE();
    Sandbox box;
    box.put("in.bin", IMAGE);
    std::string same_size = IMAGE;
    same_size[0] ^= 1;
    box.put("out.bin", same_size);
    ASSERT_EQ(link((box.path() + "/out.bin").c_str(), (box.path() + "/twin.bin").c_str()), 0);
    const Tree before = box.tree();
    // A read that fails, and one that ends before the file's size (as a file
    // truncated meanwhile reads).
    for (const std::string fault : {"inject=pread64:error=EIO", "inject=pread64:retval=0"}) {
        std::vector<std::string> cmd = {"timeout", "20", "strace", "-o", "/dev/null", "-e", fault};
        for (const std::string &w : command())
            cmd.push_back(w);
        cmd.insert(cmd.end(), {"in.bin", "out.bin"});
        EXPECT_EQ(box.run_command(cmd).status, 1) << fault;
        EXPECT_TRUE(same_tree(box.tree(), before)) << fault;
    }
}

// Only an output that is the input is flushed to the disk before the rename,
// so that a crash leaves the image or the payload; any other output is not,
// for speed. For swug, extract and create alike.
TEST(OutputFaults, OnlyTheInputIsFlushed)
{
    NEEDS_STRACE();
    const struct {
        std::vector<std::string> args;
        bool swugimg, flushed;
    } table[] = {
        {{"in.bin", "out.bin"}, false, false},
        {{"in.bin", "new.bin"}, false, false},
        {{"in.bin", "in.bin"}, false, true},
        {{"extract", "fw.img", "out.bin"}, true, false},
        {{"extract", "fw.img", "fw.img"}, true, true},
        {{"create", "p.bin", "out.bin"}, true, false},
    };
    for (const auto &row : table) {
        Sandbox box;
        box.put("in.bin", IMAGE);
        box.put("fw.img", sound_image(1, "1.0", PAYLOAD));
        box.put("p.bin", PAYLOAD);
        box.put("out.bin", "keep");
        std::vector<std::string> cmd = {"strace", "-f", "-o", box.aside("trace"), "-e", "trace=fsync,fdatasync,sync_file_range"};
        for (const std::string &w : row.swugimg ? companion_command() : command())
            cmd.push_back(w);
        cmd.insert(cmd.end(), row.args.begin(), row.args.end());
        const Result r = box.run_command(cmd);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string trace = slurp(box.aside("trace"));
        EXPECT_EQ(trace.find("fsync(") != std::string::npos, row.flushed) << row.args.back() << "\n" << trace;
    }
}

// An extended attribute that cannot be carried over fails the run: the
// replacement would lose it, and an ACL among them would widen access.
TEST(OutputFaults, AttributeThatCannotBeCarriedKeepsTheOutput)
{
    NEEDS_STRACE();
    if (!on_path("setfattr"))
        GTEST_SKIP() << "needs setfattr (package attr)";
    Sandbox box;
    box.put("in.bin", IMAGE);
    box.put("out.bin", "keep");
    if (system(("setfattr -n user.origin -v lab " + box.path() + "/out.bin 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "this file system takes no user attributes";
    const Tree before = box.tree();
    EXPECT_EQ(box.run({"in.bin", "out.bin"}, "", {"strace", "-o", "/dev/null", "-e", "inject=fsetxattr:error=ENOSPC"})
                  .status,
              1);
    EXPECT_TRUE(same_tree(box.tree(), before));
}

// ---- Real file systems -----------------------------------------------------

// A file system of its own below the sandbox, for one test: a tmpfs, or a
// loop-mounted ext4, XFS or btrfs image. Needs root and the file system's tools.
struct Mounted {
    std::string type, dir, image, why_not;  // why_not: empty once mounted

    Mounted(const Sandbox &box, const std::string &fs_type) : type(fs_type), dir(box.path() + "/disk")
    {
        fs::create_directory(dir);
        if (geteuid() != 0) {
            why_not = "mounting needs root (run the tests as root)";
            return;
        }
        if (type == "tmpfs") {
            if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=16m,nr_inodes=64") != 0)
                why_not = std::string("cannot mount a tmpfs: ") + strerror(errno);
            return;
        }
        const std::string mkfs = "mkfs." + type;
        if (!on_path(mkfs)) {
            why_not = "needs " + mkfs + " (Debian package " + (type == "ext4" ? std::string("e2fsprogs") : type + "-progs") + ")";
            return;
        }
        image = box.aside(type + ".img");
        const std::string size = type == "xfs" ? "320M" : type == "btrfs" ? "256M" : "16M";  // the least each takes
        const std::string force = type == "ext4" ? " -F " : " -f ";
        if (system(("truncate -s " + size + " " + image + " && " + mkfs + " -q" + force + image + " >/dev/null 2>&1")
                       .c_str()) != 0 ||
            !remount()) {
            why_not = "cannot make and loop-mount " + type + " here";
            image.clear();
        }
    }
    ~Mounted()
    {
        if (why_not.empty())
            umount2(dir.c_str(), MNT_DETACH);
    }
    bool remount()
    {
        return system(("mount -o loop " + image + " " + dir + " 2>/dev/null").c_str()) == 0;
    }
    // Uses up what is left: the inodes of the tmpfs, the space of the others.
    void fill() const
    {
        if (type == "tmpfs") {
            for (int i = 0; std::ofstream(dir + "/inode" + std::to_string(i)); i++)
                ;
            return;
        }
        int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        off_t at = 0;
        for (off_t chunk = off_t(1) << 30; fd >= 0 && chunk >= 4096; chunk /= 2)
            while (fallocate(fd, 0, at, chunk) == 0)
                at += chunk;
        close(fd);
        sync();
    }
};

class OutputFileSystem : public testing::TestWithParam<std::string> {};

// Out of room: no inode left for the temporary file (tmpfs), or no space for
// its content (XFS, btrfs). The output and an image extracted in place stay
// as they were; nothing is truncated, nothing left behind.
TEST_P(OutputFileSystem, FullKeepsTheOutputAndTheImage)
{
    Sandbox box;
    Mounted disk(box, GetParam());
    if (!disk.why_not.empty())
        GTEST_SKIP() << disk.why_not;
    const std::string big = pattern(1048536);
    const std::string image = img((uint32_t)big.size(), big);
    box.put("disk/fw.img", image);
    box.put("disk/out.bin", "keep");
    disk.fill();

    EXPECT_EQ(box.run({"disk/fw.img", "disk/out.bin"}).status, 1);
    EXPECT_EQ(box.run({"disk/fw.img", "disk/fw.img"}).status, 1);
    EXPECT_TRUE(same_content(slurp(disk.dir + "/fw.img"), image));
    EXPECT_EQ(slurp(disk.dir + "/out.bin"), "keep");
    EXPECT_EQ(leftovers(disk.dir), std::vector<std::string>{});
}

// The ACL and a user attribute stay on the replaced output.
TEST_P(OutputFileSystem, AttributesAreCarriedOver)
{
    if (testing_windows())
        GTEST_SKIP() << "POSIX ACLs and extended attributes";
    if (!on_path("setfacl") || !on_path("setfattr"))
        GTEST_SKIP() << "needs setfacl and setfattr (packages acl and attr)";
    Sandbox box;
    Mounted disk(box, GetParam());
    if (!disk.why_not.empty())
        GTEST_SKIP() << disk.why_not;
    box.put("in.bin", IMAGE);
    box.put("disk/out.bin", "keep");
    const std::string out = disk.dir + "/out.bin";
    const std::string show = "getfacl -cp " + out + " 2>&1; getfattr -d " + out + " 2>&1";
    chmod(out.c_str(), 0660);
    if (system(("setfacl -m u:nobody:rw,g::r " + out + " && setfattr -n user.origin -v lab " + out).c_str()) != 0)
        GTEST_SKIP() << GetParam() << " here takes no ACL or user attribute";
    const Result before = box.run_command({"sh", "-c", show});

    ASSERT_EQ(box.run({"in.bin", "disk/out.bin"}).status, 0);
    EXPECT_TRUE(same_content(slurp(out), PAYLOAD));
    EXPECT_EQ(box.run_command({"sh", "-c", show}).out, before.out);
    EXPECT_EQ(mode_of(out), 0660u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, OutputFileSystem, testing::Values("tmpfs", "xfs", "btrfs"));

// XFS writes a file's data late. An image extracted in place whose rename
// reached the log before its data (an unrelated fsync commits the log) would
// read as zero bytes after a crash, unless the payload was flushed first.
TEST(OutputFileSystems, InPlaceExtractionSurvivesACrash)
{
    Sandbox box;
    Mounted disk(box, "xfs");
    if (!disk.why_not.empty())
        GTEST_SKIP() << disk.why_not;
    if (!on_path("xfs_io"))
        GTEST_SKIP() << "needs xfs_io (Debian package xfsprogs)";
    box.put("disk/fw.img", IMAGE);
    sync();
    ASSERT_EQ(box.run({"disk/fw.img", "disk/fw.img"}).status, 0);
    ASSERT_EQ(system(("touch " + disk.dir + "/other && xfs_io -c fsync " + disk.dir + "/other && xfs_io -x -c shutdown " +
                      disk.dir)
                         .c_str()),
              0);
    ASSERT_EQ(umount(disk.dir.c_str()), 0);
    ASSERT_TRUE(disk.remount());
    EXPECT_TRUE(same_content(slurp(disk.dir + "/fw.img"), PAYLOAD));
}

// In an append-only directory a file can be made but never renamed or
// removed again, and in an immutable one not even made: no temporary file is
// made there, the output is written in place, and never over the input or a
// byte-for-byte copy of it, which may be the input under another name.
TEST(OutputFileSystems, AppendOnlyAndImmutableDirectoriesKeepNothingBehind)
{
    if (testing_windows())
        GTEST_SKIP() << "chattr attributes are Linux's";
    if (!on_path("chattr"))
        GTEST_SKIP() << "chattr is not installed (package e2fsprogs)";
    Sandbox box;
    Mounted disk(box, "ext4");
    if (!disk.why_not.empty())
        GTEST_SKIP() << disk.why_not;
    const struct {
        char attr;
        std::vector<std::string> args;
        int status;
        std::string changed;  // the file that gets the new content, if any
    } table[] = {
        {'a', {"fw.img", "new.bin"}, 0, "new.bin"},
        {'a', {"fw.img", "old.bin"}, 0, "old.bin"},
        {'a', {"fw.img", "fw.img"}, 1, ""},
        {'a', {"fw.img", "copy.img"}, 1, ""},
        {'a', {"fw.img", "same_size.bin"}, 0, "same_size.bin"},  // the input's size, not its bytes
        {'a', {"create", "p.bin", "img.bin"}, 0, "img.bin"},
        {'a', {"create", "p.bin", "p.bin"}, 1, ""},
        {'i', {"fw.img", "old.bin"}, 0, "old.bin"},
        {'i', {"fw.img", "new.bin"}, 1, ""},
        {'i', {"fw.img", "fw.img"}, 1, ""},
    };
    for (size_t i = 0; i < std::size(table); i++) {
        const auto &row = table[i];
        const std::string d = "disk/d" + std::to_string(i), dir = box.path() + "/" + d;
        box.put(d + "/fw.img", IMAGE);
        box.put(d + "/copy.img", IMAGE);
        box.put(d + "/old.bin", "keep");
        box.put(d + "/same_size.bin", std::string(IMAGE.size(), 'x'));
        box.put(d + "/p.bin", PAYLOAD);
        Tree want = box.tree();
        if (!row.changed.empty())
            want[d + "/" + row.changed] = row.args[0] == "create" ? sound_image(0, "", PAYLOAD) : PAYLOAD;
        ASSERT_EQ(system(("chattr +" + std::string(1, row.attr) + " " + dir).c_str()), 0);

        std::vector<std::string> cmd = row.args[0] == "create" ? companion_command() : command();
        for (const std::string &a : row.args)
            cmd.push_back(a == "create" ? a : d + "/" + a);
        const Result r = box.run_command(cmd);
        EXPECT_EQ(r.status, row.status) << "+" << row.attr << " " << testing::PrintToString(row.args) << r.err;
        EXPECT_TRUE(same_tree(box.tree(), want)) << "+" << row.attr << " " << testing::PrintToString(row.args);
        EXPECT_EQ(system(("chattr -" + std::string(1, row.attr) + " " + dir).c_str()), 0);
    }
}

// sshfs over loopback: an sshd of the test's own on 127.0.0.1, with a
// throwaway host key, logging the current user in with a throwaway key to
// the internal sftp server. sshfs gives every name an inode number of its
// own and one link, so two hard links of one file look like two files.
struct Sshfs {
    std::string mnt, why_not;
    pid_t sshd = -1;

    Sshfs(const Sandbox &box, const std::string &served) : mnt(box.path() + "/mnt")
    {
        for (const char *tool : {"/usr/sbin/sshd", "sshfs", "ssh-keygen", "fusermount"})
            if (!on_path(tool))
                why_not = std::string(tool) + " is not installed (packages openssh-server, sshfs)";
        if (!why_not.empty())
            return;
        if (access("/dev/fuse", R_OK | W_OK) != 0) {
            why_not = "no /dev/fuse here";
            return;
        }
        const std::string key = box.aside("userkey"), host = box.aside("hostkey"), conf = box.aside("sshd_config");
        const int port = free_port();
        if (system(("ssh-keygen -q -t ed25519 -N '' -f " + host + " && ssh-keygen -q -t ed25519 -N '' -f " + key +
                    " && mkdir -p /run/sshd")
                       .c_str()) != 0 ||
            port <= 0) {
            why_not = "cannot make keys or find a free port";
            return;
        }
        std::ofstream(conf) << "ListenAddress 127.0.0.1\nPort " << port << "\nHostKey " << host
                            << "\nAuthorizedKeysFile " << key << ".pub\nPasswordAuthentication no\n"
                            << "KbdInteractiveAuthentication no\nStrictModes no\nPermitRootLogin prohibit-password\n"
                            << "PidFile none\nSubsystem sftp internal-sftp\n";
        std::vector<std::string> cmd = {"/usr/sbin/sshd", "-D", "-e", "-f", conf};
        std::vector<char *> argv = exec_argv(cmd);
        const std::string log = box.aside("sshd.log");
        sshd = fork();
        if (sshd == 0) {
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || dup2(fd, 2) < 0)
                _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        fs::create_directory(mnt);
        const std::string ssh = "ssh -i " + key +
                                " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o BatchMode=yes"
                                " -o LogLevel=ERROR -p " + std::to_string(port);
        for (int tries = 0; tries < 50; tries++) {
            if (system(("sshfs -o ssh_command='" + ssh + "' 127.0.0.1:" + served + " " + mnt + " 2>/dev/null")
                           .c_str()) == 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        why_not = "sshfs could not mount over loopback (see " + log + ")";
    }
    ~Sshfs()
    {
        if (why_not.empty())
            (void)system(("fusermount -u " + mnt).c_str());
        // The connection's own sshd ends once sshfs has gone; its parent
        // reaps it if it is still there.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (sshd > 0) {
            kill(sshd, SIGTERM);
            waitpid(sshd, nullptr, 0);
        }
    }
    static int free_port()
    {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        socklen_t len = sizeof a;
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = s >= 0 && bind(s, (sockaddr *)&a, sizeof a) == 0 && getsockname(s, (sockaddr *)&a, &len) == 0;
        if (s >= 0)
            close(s);
        return ok ? ntohs(a.sin_port) : -1;
    }
};

// Two hard links of an image, or of a payload, in a directory where no
// temporary file can be made (immutable on the server), seen over sshfs:
// extracting one onto the other would be an in-place write over the input.
// The output holds exactly the input's bytes, so it is refused.
TEST(OutputFileSystems, SecondNameOverSshfsIsNeverWrittenInPlace)
{
    if (testing_windows())
        GTEST_SKIP() << "sshfs is mounted on this system, not the Windows program's";
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to start sshd and make the served directory immutable";
    Sandbox box;
    Mounted disk(box, "ext4");
    if (!disk.why_not.empty())
        GTEST_SKIP() << disk.why_not;
    const std::string srv = disk.dir + "/srv";
    box.put("disk/srv/a.img", IMAGE);
    box.put("disk/srv/p.bin", PAYLOAD);
    ASSERT_EQ(link((srv + "/a.img").c_str(), (srv + "/b.img").c_str()), 0);
    ASSERT_EQ(link((srv + "/p.bin").c_str(), (srv + "/q.bin").c_str()), 0);
    if (system(("chattr +i " + srv).c_str()) != 0)
        GTEST_SKIP() << "chattr +i does not work here";
    box.put("mnt/");
    const Tree before = box.tree();
    {
        Sshfs net(box, srv);
        if (!net.why_not.empty()) {
            (void)system(("chattr -i " + srv).c_str());
            GTEST_SKIP() << net.why_not;
        }
        EXPECT_EQ(box.run({"mnt/a.img", "mnt/b.img"}).status, 1);
        std::vector<std::string> create = companion_command();
        create.insert(create.end(), {"create", "mnt/p.bin", "mnt/q.bin"});
        EXPECT_EQ(box.run_command(create).status, 1);
    }
    EXPECT_EQ(system(("chattr -i " + srv).c_str()), 0);
    EXPECT_TRUE(same_tree(box.tree(), before));
}

// ---- Signals ---------------------------------------------------------------

// The program, started under strace with each write held back for two
// seconds, so that a signal can find it with its temporary file made; or
// with the calls `hold` names held back instead.
struct HeldRun {
    pid_t strace = -1;
    std::string dir, trace;

    HeldRun(const Sandbox &box, const std::vector<std::string> &args, int ignored = 0, bool stdin_closed = false,
            const std::vector<std::string> &hold = {"-e", "inject=write:delay_enter=2000000"})
        : dir(box.path()), trace(box.aside("trace"))
    {
        std::vector<std::string> cmd = {"strace", "-o", trace};
        cmd.insert(cmd.end(), hold.begin(), hold.end());
        // The shell closes standard input and becomes the program, which
        // strace goes on tracing.
        if (stdin_closed)
            cmd.insert(cmd.end(), {"sh", "-c", "exec \"$0\" \"$@\" <&-"});
        for (const std::string &w : command())
            cmd.push_back(w);
        cmd.insert(cmd.end(), args.begin(), args.end());
        std::vector<char *> argv = exec_argv(cmd);
        strace = fork();
        if (strace == 0) {
            const struct rlimit no_core = {0, 0};
            for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
                signal(sig, sig == ignored ? SIG_IGN : SIG_DFL);
            setrlimit(RLIMIT_CORE, &no_core);
            int null = open("/dev/null", O_RDWR);
            if (chdir(dir.c_str()) != 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0)
                _exit(126);
            execvp(argv[0], argv.data());
            _exit(127);
        }
    }
    // Waits for the temporary file; then the program is inside its first write.
    bool wait_for_temp() const
    {
        for (int i = 0; i < 500; i++) {
            if (!leftovers(dir).empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Waits for the trace to show the start of a call holding `call`, which
    // is then held back.
    bool wait_for_call(const std::string &call) const
    {
        for (int i = 0; i < 500; i++) {
            if (slurp(trace).find(call) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // The program's own process: strace's only child. 0 when the system
    // does not say, which kill() must never be given.
    pid_t program() const
    {
        std::ifstream f("/proc/" + std::to_string(strace) + "/task/" + std::to_string(strace) + "/children");
        pid_t pid = 0;
        f >> pid;
        return pid > 0 ? pid : 0;
    }
    // strace ends the way the program did.
    int wait_status() const
    {
        int status = 0;
        waitpid(strace, &status, 0);
        return status;
    }
};

// The output is looked at, then opened to read its attributes. Should it
// have become a second name of another file, or a FIFO, in between, the run
// fails and leaves both as they are: a second name must be written in place,
// and nothing replaces a FIFO.
TEST(OutputRaces, OutputChangedWhileLookedAtIsLeftAlone)
{
    NEEDS_STRACE();
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "FIFO" : "second name");
        Sandbox box;
        box.put("in.bin", IMAGE);
        box.put("out.bin", "keep");
        box.put("other", "another file");
        HeldRun run(box, {"in.bin", "out.bin"}, 0, false,
                    {"-P", "out.bin", "-e", "trace=openat", "-e", "inject=openat:delay_enter=2000000"});
        ASSERT_TRUE(run.wait_for_call("\"out.bin\", O_RDONLY")) << slurp(run.trace);
        const std::string swap = box.path() + "/swap", out = box.path() + "/out.bin";
        ASSERT_EQ(fifo ? mkfifo(swap.c_str(), 0644) : link((box.path() + "/other").c_str(), swap.c_str()), 0);
        ASSERT_EQ(rename(swap.c_str(), out.c_str()), 0);
        const int status = run.wait_status();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << std::hex << status;
        struct stat st {};
        ASSERT_EQ(lstat(out.c_str(), &st), 0);
        if (fifo) {
            EXPECT_TRUE(S_ISFIFO(st.st_mode));
        } else {
            EXPECT_EQ(st.st_nlink, 2u);
            EXPECT_EQ(slurp(out), "another file");
        }
        EXPECT_EQ(slurp(box.path() + "/other"), "another file");
        EXPECT_TRUE(leftovers(box.path()).empty());
    }
}

TEST(OutputSignals, InterruptRemovesTheTemporaryFileAndEndsBySignal)
{
    NEEDS_STRACE();
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(sig));
        Sandbox box;
        box.put("in.bin", IMAGE);
        box.put("out.bin", "keep");
        const Tree before = box.tree();
        HeldRun run(box, {"in.bin", "out.bin"});
        ASSERT_TRUE(run.wait_for_temp());
        ASSERT_GT(run.program(), 0) << "/proc does not name strace's child";
        ASSERT_EQ(kill(run.program(), sig), 0);
        const int status = run.wait_status();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << std::hex << status;
        EXPECT_TRUE(same_tree(box.tree(), before));
    }
}

// With standard input closed, descriptor 0 would be the first free one. Here
// the output is a link into another directory, whose opening frees a
// descriptor again just before the temporary file is made. The program
// holds descriptor 0 from its start, so the temporary file never takes it,
// and a signal in mid-write removes it all the same.
TEST(OutputSignals, InterruptWithStandardInputClosed)
{
    NEEDS_STRACE();
    Sandbox box;
    box.put("in.bin", IMAGE);
    box.put("sub/");
    ASSERT_EQ(symlink("sub/new.bin", (box.path() + "/link.bin").c_str()), 0);
    const Tree before = box.tree();
    HeldRun run(box, {"in.bin", "link.bin"}, 0, true);
    ASSERT_TRUE(run.wait_for_temp());
    ASSERT_GT(run.program(), 0) << "/proc does not name strace's child";
    ASSERT_EQ(kill(run.program(), SIGTERM), 0);
    const int status = run.wait_status();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << std::hex << status;
    EXPECT_TRUE(same_tree(box.tree(), before));
    const std::string trace = slurp(box.aside("trace"));
    EXPECT_TRUE(std::regex_search(trace, std::regex("openat\\(\\d+, \"\\.swug-[^\"]*\".*\\) = [1-9]\\d*\n")))
        << "no temporary file, or one on descriptor 0:\n" << trace;
}

// Started with all three standard streams closed, each program first holds
// them on /dev/null, so that no file it opens afterwards takes descriptor
// 0, 1 or 2, to be read as input or written as output by mistake.
TEST(OutputSignals, NoFileOpenedTakesAStandardDescriptor)
{
    NEEDS_STRACE();
    for (const bool companion : {false, true}) {
        Sandbox box;
        box.put("in.bin", sound_image(0, "", PAYLOAD));  // extract checks the checksum
        box.put("out.bin", "old");
        std::vector<std::string> cmd = {"strace", "-f", "-o", box.aside("trace"), "-e", "trace=open,openat",
                                        "sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"};
        for (const std::string &w : companion ? companion_command() : command())
            cmd.push_back(w);
        if (companion)
            cmd.push_back("extract");
        cmd.insert(cmd.end(), {"in.bin", "out.bin"});
        EXPECT_EQ(box.run_command(cmd).status, 0);
        EXPECT_EQ(slurp(box.path() + "/out.bin"), PAYLOAD);
        // What the program opens after it has held the last of the three.
        const std::string trace = slurp(box.aside("trace"));
        const size_t held = trace.rfind("\"/dev/null\", O_RDONLY|O_PATH) = 2\n");
        ASSERT_NE(held, std::string::npos) << trace;
        const std::string after = trace.substr(held);
        const std::regex open_call("open(at)?\\(.*\\) = (\\d+)");
        int opened = 0;
        for (std::sregex_iterator m(after.begin(), after.end(), open_call), end; m != end; ++m, opened++)
            EXPECT_GE(std::stoi((*m)[2]), 3) << m->str();
        EXPECT_GE(opened, 2) << after;  // the input and the output at least
    }
}

// A stop signal that finds the program blocked in a write to a full pipe
// ends that write short; on SIGCONT the program goes on from where it
// stopped, and the reader gets the payload once and whole.
TEST(OutputSignals, StoppedMidWriteGoesOnWhereItStopped)
{
    if (testing_windows())
        GTEST_SKIP() << "stop signals and pipes as POSIX has them";
    // pattern() repeats every 64 KiB, the size of the pipe; these bytes do not.
    std::string payload = PAYLOAD;
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = (char)(payload[i] ^ (i >> 16) * 0x5B);
    Sandbox box;
    box.put("in.bin", img((uint32_t)payload.size(), payload));
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    std::vector<std::string> cmd = command();
    cmd.insert(cmd.end(), {"in.bin", "/dev/stdout"});
    std::vector<char *> argv = exec_argv(cmd);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(box.path().c_str()) != 0 || dup2(pipe_fds[1], 1) < 0)
            _exit(126);
        close(pipe_fds[0]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    int queued = 0;
    for (int i = 0; i < 500 && (ioctl(pipe_fds[0], FIONREAD, &queued) != 0 || queued < 65536); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(queued, 65536) << "the pipe never filled";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // blocked in the write by now
    int status = 0;
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    ASSERT_EQ(kill(pid, SIGCONT), 0);
    std::string got;
    char buf[65536];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;)
        got.append(buf, (size_t)n);
    close(pipe_fds[0]);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << std::hex << status;
    EXPECT_TRUE(same_content(got, payload));
}

// gzip's rule: a signal that was ignored when the program started (nohup, a
// background job) stays ignored.
TEST(OutputSignals, SignalIgnoredAtStartStaysIgnored)
{
    NEEDS_STRACE();
    Sandbox box;
    box.put("in.bin", IMAGE);
    HeldRun run(box, {"in.bin", "out.bin"}, SIGTERM);
    ASSERT_TRUE(run.wait_for_temp());
    ASSERT_GT(run.program(), 0) << "/proc does not name strace's child";
    ASSERT_EQ(kill(run.program(), SIGTERM), 0);
    const int status = run.wait_status();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << std::hex << status;
    EXPECT_TRUE(same_content(box.tree()["out.bin"], PAYLOAD));
}

// The temporary file is made in the output's directory, opened once, so a
// directory moved while the payload is written still gets its output and
// keeps no stray file.
TEST(OutputSignals, DirectoryMovedMidRun)
{
    NEEDS_STRACE();
    Sandbox box;
    box.put("in.bin", IMAGE);
    box.put("a/out.bin", "keep");
    HeldRun run(box, {"in.bin", "a/out.bin"});
    ASSERT_TRUE(run.wait_for_temp());
    fs::rename(box.path() + "/a", box.path() + "/b");
    const int status = run.wait_status();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << std::hex << status;
    Tree want = {{"in.bin", IMAGE}, {"b/", std::nullopt}, {"b/out.bin", PAYLOAD}};
    EXPECT_TRUE(same_tree(box.tree(), want));
}

// A file-size limit (ulimit -f) is a failed write, status 1, not death by
// SIGXFSZ; the temporary file goes.
TEST(OutputSignals, FileSizeLimitIsAFailedWrite)
{
    if (testing_windows())
        GTEST_SKIP() << "a file-size limit is a POSIX matter; Wine itself would die of it";
    Sandbox box;
    box.put("in.bin", IMAGE);
    box.put("out.bin", "keep");
    const Tree before = box.tree();
    EXPECT_EQ(box.run({"in.bin", "out.bin"}, "", {"sh", "-c", "ulimit -f 100 && exec \"$@\"", "sh"}).status, 1);
    EXPECT_TRUE(same_tree(box.tree(), before));
}

TEST(OutputSignals, ConsoleControlUnderWine)
{
    if (!testing_windows())
        GTEST_SKIP() << "Windows only";
    GTEST_SKIP() << "Wine turns Ctrl-C into a console event on the thread the signal lands on; a Windows "
                    "program is one thread here, and the tracer that holds it in mid-write holds that thread, "
                    "so the event can only run once the write is done";
}

}  // namespace
