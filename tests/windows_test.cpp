// What only the Windows build has: exact names whatever the language, share
// start directories, and the program's own description of itself. These run
// under Wine; elsewhere they are skipped.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

const std::string HELLO = img(5, "hello");

#define WINDOWS_ONLY()                                                   \
    do {                                                                 \
        if (!testing_windows())                                          \
            GTEST_SKIP() << "Windows only: code pages, shares, resources"; \
    } while (0)

// The command that starts another Windows program the way the one under test
// is started (through Wine): its path replaces the last word.
std::vector<std::string> windows_command(const std::string &exe)
{
    std::vector<std::string> cmd = command();
    cmd.back() = exe;
    return cmd;
}

// The Windows helpers, where the build has them (the Wine preset).
#ifndef SWUG_PROBE_EXE
#define SWUG_PROBE_EXE ""
#define SWUG_NOMANIFEST_EXE ""
#endif

// The Wine prefix that the command under test uses.
std::string wine_prefix()
{
    for (const std::string &w : command())
        if (w.rfind("WINEPREFIX=", 0) == 0)
            return w.substr(11);
    return "";
}

// A character that the code page lacks is given to an 8-bit program as a
// lookalike: the full-width a as a plain a. The named file is the one used.
TEST(Windows, LookalikeNamesAreNeverUsed)
{
    WINDOWS_ONLY();
    Sandbox box;
    box.put("abc.bin", img(3, "abc"));
    box.put("\uFF41bc.bin", img(2, "hi"));  // full-width a
    box.put("payload.bin", "keep");
    Tree want = box.tree();

    EXPECT_EQ(box.run({"\uFF41bc.bin", "out.bin"}).status, 0);
    want["out.bin"] = "hi";
    EXPECT_EQ(box.run({"abc.bin", "\uFF50ayload.bin"}).status, 0);  // full-width p
    want["\uFF50ayload.bin"] = "abc";
    EXPECT_TRUE(same_tree(box.tree(), want)) << "a lookalike's namesake was read or written";
}

// A build without the manifest runs in the system's 8-bit code page. It must
// refuse a name that would reach it as a lookalike, and touch nothing.
TEST(Windows, WithoutTheManifestLookalikesAreRefused)
{
    WINDOWS_ONLY();
    const std::string exe = SWUG_NOMANIFEST_EXE;
    if (exe.empty())
        GTEST_SKIP() << "no build without the manifest: configure with SWUG_WINDOWS_NOMANIFEST_EXE";
    Sandbox box;
    box.put("abc.bin", img(3, "abc"));
    box.put("\uFF41bc.bin", img(2, "hi"));
    box.put("payload.bin", "keep");
    const Tree before = box.tree();
    for (const std::vector<std::string> &args : {std::vector<std::string>{"\uFF41bc.bin", "out.bin"},
                                                 {"abc.bin", "\uFF50ayload.bin"},
                                                 {"abc.bin", "\u56FA\u4EF6.bin"}}) {
        std::vector<std::string> cmd = windows_command(exe);
        cmd.insert(cmd.end(), args.begin(), args.end());
        EXPECT_EQ(box.run_command(cmd).status, 1) << args[0] << " " << args[1];
    }
    EXPECT_TRUE(same_tree(box.tree(), before));
}

TEST(Windows, NamesInAnyLanguage)
{
    WINDOWS_ONLY();
    Sandbox box;
    const std::string dir = "\u56FA\u4EF6/";  // firmware, in Chinese
    box.put(dir + "\u56FA\u4EF6.bin", HELLO);
    EXPECT_EQ(box.run({dir + "\u56FA\u4EF6.bin", dir + "\u8F7D\u8377.bin"}).status, 0);
    EXPECT_EQ(box.tree()[dir + "\u8F7D\u8377.bin"], "hello");

    // Started in that directory, "./" names join its name.
    EXPECT_EQ(box.run({"./\u56FA\u4EF6.bin", "./out.bin"}, dir).status, 0);
    EXPECT_EQ(box.tree()[dir + "out.bin"], "hello");
}

// Started in \\srv\share, "./in.bin" is //srv/share/in.bin, on the share.
// Wine serves \\srv\share from dosdevices/unc in its prefix.
TEST(Windows, ShareStartDirectory)
{
    WINDOWS_ONLY();
    const std::string prefix = wine_prefix(), probe = SWUG_PROBE_EXE;
    if (prefix.empty() || probe.empty())
        GTEST_SKIP() << "needs a WINEPREFIX in SWUG_CMD and the probe helper, as the Wine preset has them";
    Sandbox box;
    box.put("in.bin", HELLO);
    const fs::path share = fs::path(prefix) / "dosdevices/unc/swugsrv/share";
    fs::create_directories(share.parent_path());
    fs::remove(share);
    fs::create_directory_symlink(box.path(), share);

    std::vector<std::string> cmd = windows_command(probe);
    cmd.insert(cmd.end(), {"run", "\\\\swugsrv\\share", command().back(), "./in.bin", "./out.bin"});
    EXPECT_EQ(box.run_command(cmd).status, 0);
    fs::remove(share);
    EXPECT_EQ(box.tree()["out.bin"], "hello");
}

TEST(Windows, VersionAndManifest)
{
    WINDOWS_ONLY();
    const std::string probe = SWUG_PROBE_EXE;
    if (probe.empty())
        GTEST_SKIP() << "needs the probe helper, as the Wine preset builds it";
    const struct {
        std::string exe, name, description;
    } programs[] = {
        {command().back(), "swug", "Extracts the payload of a firmware upgrade image"},
        {companion_command().back(), "swugimg", "Inspects, verifies and builds firmware upgrade images"},
    };
    Sandbox box;
    for (const auto &p : programs) {
        std::vector<std::string> cmd = windows_command(probe);
        cmd.insert(cmd.end(), {"version", p.exe});
        const Result r = box.run_command(cmd);
        ASSERT_EQ(r.status, 0) << p.exe;
        const std::string lines[] = {"FileDescription=" + p.description,  "FileVersion=" SWUG_VERSION,
                                     "ProductName=swug",   "ProductVersion=" SWUG_VERSION,
                                     "InternalName=" + p.name, "OriginalFilename=" + p.name + ".exe"};
        for (const std::string &line : lines)
            EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line << " in:\n" << r.out;
        for (const std::string entry : {">UTF-8</activeCodePage>", ">true</longPathAware>", "level=\"asInvoker\"",
                                        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
            EXPECT_NE(r.out.find(entry), std::string::npos) << entry << " in:\n" << r.out;
    }
}

// swugimg writes to the console in UTF-16, so that names show as typed
// whatever the console's code page. tmux shows the screen as a user sees it.
TEST(Windows, NamesShowAsTypedOnTheConsole)
{
    WINDOWS_ONLY();
    if (system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs tmux (Debian package tmux)";
    Sandbox box;
    box.put("\u56FA\u4EF6.bin", sound_image(0, "", "abc"));  // firmware, in Chinese
    box.put("caf\u00E9.bin", img(1, ""));
    std::string script = "cd '" + box.path() + "' &&";
    for (const std::string &w : companion_command())
        script += " '" + w + "'";
    script += " check \u56FA\u4EF6.bin caf\u00E9.bin; echo status $?; sleep 60\n";
    std::ofstream(box.aside("console.sh")) << script;
    const std::string tmux = "tmux -L swug-test-" + std::to_string(getpid());
    ASSERT_EQ(system((tmux + " new-session -d -x 100 -y 20 'sh " + box.aside("console.sh") + "'").c_str()), 0);

    std::string screen;
    for (int i = 0; i < 600 && screen.find("status ") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        FILE *p = popen((tmux + " capture-pane -p").c_str(), "r");
        screen.clear();
        for (int c; p != nullptr && (c = fgetc(p)) != EOF;)
            screen += (char)c;
        if (p != nullptr)
            pclose(p);
    }
    (void)system((tmux + " kill-server").c_str());
    EXPECT_NE(screen.find("\u56FA\u4EF6.bin: OK"), std::string::npos) << screen;
    EXPECT_NE(screen.find("caf\u00E9.bin: FAILED (payload short by 1 bytes)"), std::string::npos) << screen;
    EXPECT_NE(screen.find("status 1"), std::string::npos) << screen;
}

}  // namespace
