// The companion swugimg, black-box: images it builds match images built here
// independently and give back their payload through swug; its verdicts on
// sound and broken images; its refusals and usage errors touch nothing.
#include <fstream>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

constexpr uint32_t PAYLOAD_MAX = 1048536;

Result swugimg(const Sandbox &box, const std::vector<std::string> &args)
{
    std::vector<std::string> cmd = companion_command();
    cmd.insert(cmd.end(), args.begin(), args.end());
    return box.run_command(cmd);
}

// swugimg run by sh, with `redirect` (such as "< img.bin") after its words
// and `feed` (such as "cat img.bin |") before them.
Result swugimg_sh(const Sandbox &box, const std::vector<std::string> &args, const std::string &redirect,
                  const std::string &feed = "")
{
    std::string line = feed + " ";
    std::vector<std::string> words = companion_command();
    words.insert(words.end(), args.begin(), args.end());
    for (const std::string &w : words)
        line += "'" + w + "' ";
    return box.run_command({"sh", "-c", line + redirect});
}

TEST(Swugimg, CreateThenExtractGivesThePayloadBack)
{
    for (size_t n : {0u, 1u, 5u, 513u, PAYLOAD_MAX}) {
        SCOPED_TRACE(n);
        Sandbox box;
        const std::string payload = pattern(n);
        box.put("payload.bin", payload);

        Result r = swugimg(box, {"create", "-m", "0x02", "-v", "FW 2.0", "payload.bin", "img.bin"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_TRUE(same_content(box.tree()["img.bin"], sound_image(2, "FW 2.0", payload)))
            << "the image differs from the one built here";

        EXPECT_EQ(swugimg(box, {"check", "img.bin"}).out, "img.bin: OK\n");
        ASSERT_EQ(box.run({"img.bin", "out.bin"}).status, 0);
        EXPECT_TRUE(same_content(box.tree()["out.bin"], payload)) << "swug gave a different payload";
    }
}

TEST(Swugimg, CreateDefaultsAndMarkers)
{
    const std::pair<std::vector<std::string>, std::string> table[] = {
        {{}, sound_image(0, "", "abc")},
        {{"-m", "255"}, sound_image(255, "", "abc")},
        {{"-m", "0xfF", "-v", std::string(31, 'v')}, sound_image(255, std::string(31, 'v'), "abc")},
        {{"-v", "a", "-v", "b", "--"}, sound_image(0, "b", "abc")},  // the last one counts
        {{"-m", "0X1f"}, sound_image(31, "", "abc")},
        {{"-m", "007"}, sound_image(7, "", "abc")},
    };
    for (const auto &[options, want] : table) {
        Sandbox box;
        box.put("p.bin", "abc");
        std::vector<std::string> args = {"create"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"p.bin", "img.bin"});
        EXPECT_EQ(swugimg(box, args).status, 0);
        EXPECT_TRUE(same_content(box.tree()["img.bin"], want)) << testing::PrintToString(options);
    }
}

struct Verdict {
    std::string name, image, fault;  // fault: "" for a sound image
    std::vector<std::string> info;    // lines info must show
};

void PrintTo(const Verdict &v, std::ostream *os) { *os << v.name; }

std::vector<Verdict> verdicts()
{
    const std::string sound = sound_image(1, "QUILMO SW 1.0.0", "hello world");
    std::string mismatch = sound;
    mismatch[36] ^= 1;
    return {
        {"sound", sound, "",
         {"marker:   0x01", "version:  QUILMO SW 1.0.0", "length:   11",
          "checksum: 0xDC47F249 stored, 0xDC47F249 computed, match", "size:     51",
          "payload:  11 present, 0 padded with 0xFF", "trailing: 0", "verdict:  OK"}},
        {"trailing_bytes", sound + "junk", "", {"trailing: 4", "size:     55"}},
        {"checksum_mismatch", mismatch, "checksum mismatch",
         {"checksum: 0xDC47F248 stored, 0xDC47F249 computed, mismatch"}},
        {"short_payload", img(10, "abcd"), "payload short by 6 bytes", {"payload:  4 present, 6 padded with 0xFF"}},
        {"length_past_record", img(PAYLOAD_MAX + 1, "abc"), "payload length 1048537 exceeds 1048536",
         {"checksum: 0xDEADBEEF stored, none computed"}},
        {"over_1MiB", img(PAYLOAD_MAX + 1, pattern(PAYLOAD_MAX + 1)), "larger than 1048576 bytes",
         {"size:     1048577"}},
        {"under_40_bytes", sound.substr(0, 39), "shorter than the 40-byte header", {"size:     39"}},
        {"empty", "", "shorter than the 40-byte header", {"length:   4294967295"}},
        {"escaped_version", sound_image(0, "v1\\\x01\xE9", ""), "", {"version:  v1\\\\\\x01\\xE9"}},
        // Each end of what prints as itself; all 31 bytes, with the length
        // (65: "A") after them.
        {"version_edges", sound_image(0, "\x1F ~\x7F", ""), "", {"version:  \\x1F ~\\x7F"}},
        {"version_of_31_bytes", sound_image(0, std::string(31, 'V'), pattern(65)), "", {"version:  " + std::string(31, 'V')}},
        // Payloads longer than the blocks images are read in, ending within
        // a word, with and without padding after it.
        {"sound_across_blocks", sound_image(1, "big", pattern(200003)), "", {"length:   200003"}},
        {"padded_across_blocks", img(70001, pattern(65499)), "payload short by 4502 bytes",
         {"payload:  65499 present, 4502 padded with 0xFF"}},
    };
}

class SwugimgVerdict : public testing::TestWithParam<Verdict> {};

TEST_P(SwugimgVerdict, CheckAndInfoAgree)
{
    const Verdict &v = GetParam();
    Sandbox box;
    box.put("img.bin", v.image);
    const Tree before = box.tree();
    const int status = v.fault.empty() ? 0 : 1;

    Result r = swugimg(box, {"check", "img.bin"});
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, v.fault.empty() ? "img.bin: OK\n" : "img.bin: FAILED (" + v.fault + ")\n");
    EXPECT_EQ(r.err, "");

    r = swugimg(box, {"info", "img.bin"});
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.err, "");
    for (const std::string &line : v.info)
        EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line << " in:\n" << r.out;
    EXPECT_NE(r.out.find(v.fault.empty() ? "verdict:  OK\n" : "verdict:  FAILED (" + v.fault + ")\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(same_tree(box.tree(), before));

    // The JSON form, read back by a JSON parser, says what the text says, and
    // its digests are hashlib's: of the image, and of the bytes swug writes
    // (the payload padded with 0xFF), none where swug refuses.
    if (system("command -v python3 >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 reads the JSON back (Debian package python3)";
    const Result text = swugimg(box, {"info", "img.bin"});
    r = swugimg(box, {"info", "--json", "img.bin"});
    EXPECT_EQ(r.status, status);
    box.put("info.json", r.out);
    const Result parsed = box.run_command(
        {"python3", "-c",
         "import hashlib,json,sys; d=json.load(open('info.json')); assert len(d)==13 and sys.stdin.read()=='', d\n"
         "img=open('img.bin','rb').read(); head=(img[:40]+b'\\xff'*40)[:40]; n=int.from_bytes(head[32:36],'little')\n"
         "whole=len(img)<=1048576; swug_writes=0<len(img) and whole and n<=1048536\n"
         "assert d['sha256']==(hashlib.sha256(img).hexdigest() if whole else None), d\n"
         "assert d['payload_sha256']==(hashlib.sha256((img[40:]+b'\\xff'*n)[:n]).hexdigest() if swug_writes else None), d\n"
         "p=(img[40:]+b'\\xff'*n)[:n] if n<=1048536 else b''; p+=b'\\0'*(-len(p)%4)\n"
         "assert d['computed_checksum']==(sum(int.from_bytes(p[i:i+4],'little') for i in range(0,len(p),4))%2**32 if n<=1048536 else None), d\n"
         "none='none (swug writes no payload for this image)' if whole else 'none (the image is not read past 1048577 bytes)'\n"
         "c='none computed' if d['computed_checksum'] is None else '0x%08X computed, %s' % "
         "(d['computed_checksum'], 'match' if d['computed_checksum']==d['stored_checksum'] else 'mismatch')\n"
         "print('marker:   0x%02X' % d['marker']); print('version:  ' + d['version'])\n"
         "print('length:   %d' % d['length']); print('checksum: 0x%08X stored, %s' % (d['stored_checksum'], c))\n"
         "print('size:     %d' % d['size'])\n"
         "print('payload:  %d present, %d padded with 0xFF' % (d['present'], d['padded']))\n"
         "print('trailing: %d' % d['trailing'])\n"
         "print('image sha256:   ' + (d['sha256'] or none)); print('payload sha256: ' + (d['payload_sha256'] or none))\n"
         "print('verdict:  ' + d['verdict'] + ('' if d['fault'] is None else ' (%s)' % d['fault']))"});
    EXPECT_EQ(parsed.out, text.out) << r.out << parsed.err;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
}

INSTANTIATE_TEST_SUITE_P(Images, SwugimgVerdict, testing::ValuesIn(verdicts()),
                         [](const testing::TestParamInfo<Verdict> &i) { return i.param.name; });

// One line on standard output for every name, whatever became of it, so
// that a script reading a line an image never loses count; a file that
// cannot be read makes the status 2, and the rest still get their verdict.
TEST(Swugimg, CheckGivesEveryNameALine)
{
    Sandbox box;
    box.put("a.bin", sound_image(0, "", "a"));
    box.put("b.bin", img(1, ""));
    box.put("dir/");
    Result r = swugimg(box, {"check", "a.bin", "b.bin", "a.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a.bin: OK\nb.bin: FAILED (payload short by 1 bytes)\na.bin: OK\n");

    r = swugimg(box, {"check", "missing.bin", "a.bin", "dir", "b.bin"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "missing.bin: FAILED (cannot open: No such file or directory)\na.bin: OK\n" +
                         std::string(testing_windows() ? "dir: FAILED (cannot open: Permission denied)\n"
                                                       : "dir: FAILED (cannot read: Is a directory)\n") +
                         "b.bin: FAILED (payload short by 1 bytes)\n");
    EXPECT_NE(r.err.find("swugimg: missing.bin: cannot open: No such file or directory\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(swugimg(box, {"info", "missing.bin"}).status, 2);
}

// A name holding a backslash or a control byte is escaped, with a leading
// backslash, on standard output and in messages alike: no name can forge a
// verdict line or paint over one.
TEST(Swugimg, NamesCannotForgeALine)
{
    if (testing_windows())
        GTEST_SKIP() << "Windows file names hold no control bytes, and a backslash separates";
    const std::pair<std::string, std::string> table[] = {
        {"x.bin: OK\nfirmware.bin", "\\x.bin: OK\\nfirmware.bin"},
        {"a\rb", "\\a\\rb"},
        {"back\\slash", "\\back\\\\slash"},
        {"\x1b[2Kfirmware.bin\b\b", "\\\\x1B[2Kfirmware.bin\\x08\\x08"},
        {"tab\there", "\\tab\\x09here"},
        {"del\x7f", "\\del\\x7F"},
        {"plain \u56FA\u4EF6 name", "plain \u56FA\u4EF6 name"},
    };
    for (const auto &[name, shown] : table) {
        Sandbox box;
        box.put(name, sound_image(0, "", "abc"));
        Result r = swugimg(box, {"check", name});
        EXPECT_EQ(r.out, shown + ": OK\n") << shown;
        r = swugimg(box, {"check", name + ".missing"});
        EXPECT_EQ(r.out, shown + ".missing: FAILED (cannot open: No such file or directory)\n");
        EXPECT_EQ(r.err, "swugimg: " + shown + ".missing: cannot open: No such file or directory\n");
    }
}

// In JSON a name is escaped only where JSON needs it: a quote, a backslash,
// a control byte; a space and DEL stay as they are, and a byte that is not
// UTF-8 becomes \udcXX.
TEST(Swugimg, JsonNamesEscapedWhereJsonNeedsIt)
{
    if (testing_windows())
        GTEST_SKIP() << "Windows file names hold no control bytes";
    Sandbox box;
    const std::string name = "a b\t\x1f\x7f\xff\"\\.img";
    box.put(name, sound_image(0, "", "abc"));
    const Result r = swugimg(box, {"check", "--json", name});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("{\"name\":\"a b\\u0009\\u001f\x7f\\udcff\\\"\\\\.img\",\"verdict\":\"OK\",\"fault\":null,", 0), 0u)
        << r.out;
}

// On Windows a backslash is a separator, never part of a name: a path is
// shown as typed.
TEST(Swugimg, WindowsPathsShowAsTyped)
{
    if (!testing_windows())
        GTEST_SKIP() << "Windows only; elsewhere a backslash is part of a name";
    Sandbox box;
    box.put("sub/a.bin", sound_image(0, "", "abc"));
    EXPECT_EQ(swugimg(box, {"check", "sub\\a.bin", "sub\\none.bin"}).out,
              "sub\\a.bin: OK\nsub\\none.bin: FAILED (cannot open: No such file or directory)\n");
}

// Inputs are read to their end, whatever size the system claims: pipes,
// FIFOs, standard input ("-"), /proc files. "./-" is a file named "-".
TEST(Swugimg, StreamsAndStandardInput)
{
    const std::string image = sound_image(1, "S", pattern(70000));
    Sandbox box;
    box.put("img.bin", image);
    box.put("-", img(1, ""));
    EXPECT_EQ(swugimg_sh(box, {"check", "-"}, "< img.bin").out, "-: OK\n");
    EXPECT_EQ(swugimg_sh(box, {"check", "-", "./-"}, "< img.bin").out,
              "-: OK\n./-: FAILED (payload short by 1 bytes)\n");
    // Past the largest image, a file tells its size; a stream only that it
    // goes on.
    box.put("long.bin", std::string(1048576 + 1000, 'x'));
    Result longer = swugimg(box, {"info", "--json", "long.bin"});
    EXPECT_NE(longer.out.find("\"size\":1049576,"), std::string::npos) << longer.out;
    longer = swugimg_sh(box, {"info", "--json", "-"}, "< long.bin");
    EXPECT_NE(longer.out.find("\"size\":1049576,"), std::string::npos) << longer.out;
    if (testing_windows())
        return;  // a Unix pipe into Wine is a pipe all the same, but FIFOs and /proc are not Windows'
    EXPECT_EQ(swugimg_sh(box, {"check", "-"}, "< /dev/null").out, "-: FAILED (shorter than the 40-byte header)\n");
    Result r = swugimg_sh(box, {"info", "--json", "-"}, "", "cat img.bin |");
    EXPECT_NE(r.out.find("\"size\":70040,"), std::string::npos) << r.out;
    EXPECT_EQ(swugimg_sh(box, {"check", "-"}, "", "cat img.bin img.bin |").out, "-: OK\n")
        << "trailing bytes do not make an image unsound";
    r = swugimg_sh(box, {"info", "--json", "-"}, "", "cat long.bin |");
    EXPECT_NE(r.out.find("\"size\":1048577,"), std::string::npos) << r.out;

    ASSERT_EQ(box.run_command({"mkfifo", "fifo"}).status, 0);
    r = swugimg_sh(box, {"check", "fifo"}, "", "cat img.bin > fifo &");
    EXPECT_EQ(r.out, "fifo: OK\n");
    std::remove((box.path() + "/fifo").c_str());  // reading the tree would wait on it

    // A /proc file says it is empty and is not.
    std::ifstream f("/proc/version", std::ios::binary);
    const std::string version(std::istreambuf_iterator<char>(f), {});
    ASSERT_EQ(swugimg(box, {"create", "/proc/version", "v.img"}).status, 0);
    EXPECT_TRUE(same_content(box.tree()["v.img"], sound_image(0, "", version)));
    r = swugimg_sh(box, {"create", "-", "p.img"}, "", "cat /proc/version |");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_content(box.tree()["p.img"], sound_image(0, "", version)));

    // Past the largest payload, a stream is refused and nothing written.
    r = swugimg_sh(box, {"create", "-", "big.img"}, "", "head -c 1048537 /dev/zero |");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "swugimg: -: payload larger than 1048536 bytes\n");
    EXPECT_EQ(box.tree().count("big.img"), 0u);
}

// Standard output as gnulib's close_stdout checks it: a result that cannot
// be written is an error, status 2; a closed standard output that nothing
// was meant for is none.
TEST(Swugimg, StatusesSayWhatHappened)
{
    if (testing_windows())
        GTEST_SKIP() << "/dev/full and a closed standard output are POSIX matters";
    Sandbox box;
    box.put("img.bin", sound_image(0, "", "abc"));
    box.put("p.bin", "abc");
    const struct {
        std::vector<std::string> args;
        std::string redirect;
        int status;
        std::string reason;  // why standard output could not be written
    } table[] = {
        {{"create", "p.bin", "new.img"}, ">&-", 0, ""},
        {{"create", "p.bin", "new.img"}, ">/dev/full", 0, ""},
        {{"create", "-m", "1", "p.bin", "new.img"}, "<&-", 0, ""},  // a closed input leaves no error behind
        {{"check", "img.bin"}, ">&-", 2, "Bad file descriptor"},
        {{"check", "img.bin"}, ">/dev/full", 2, "No space left on device"},
        {{"info", "--json", "img.bin"}, ">/dev/full", 2, "No space left on device"},
        {{"--help"}, ">&-", 2, "Bad file descriptor"},
        {{"check", "img.bin"}, ">/dev/null", 0, ""},
    };
    for (const auto &row : table) {
        const Result r = swugimg_sh(box, row.args, row.redirect);
        EXPECT_EQ(r.status, row.status) << testing::PrintToString(row.args) << " " << row.redirect << "\n" << r.err;
        EXPECT_EQ(r.err, row.reason.empty() ? "" : "swugimg: standard output: cannot write: " + row.reason + "\n");
    }
}

// -- ends the options, so that a name may begin with "-".
TEST(Swugimg, DoubleDashEndsOptions)
{
    Sandbox box;
    box.put("-x.img", sound_image(0, "", "abc"));
    EXPECT_EQ(swugimg(box, {"check", "--", "-x.img"}).out, "-x.img: OK\n");
    EXPECT_EQ(swugimg(box, {"info", "--json", "--", "-x.img"}).status, 0);
    EXPECT_EQ(swugimg(box, {"create", "--", "-x.img", "-y.img"}).status, 0);
    EXPECT_EQ(swugimg(box, {"check", "--", "--", "-y.img"}).out,
              "--: FAILED (cannot open: No such file or directory)\n-y.img: OK\n");
}

// Every failure to write names the system's reason.
TEST(Swugimg, WriteErrorsSayWhy)
{
    Sandbox box;
    box.put("p.bin", "abc");
    box.put("dir/");
    struct Row {
        std::string image, reason;
    };
    std::vector<Row> table = {{"nodir/x.img", "No such file or directory"}};
    if (!testing_windows())
        table.push_back({"/dev/full", "No space left on device"});
    for (const Row &row : table) {
        const Result r = swugimg(box, {"create", "p.bin", row.image});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "swugimg: " + row.image + ": cannot write: " + row.reason + "\n");
    }
}

// A create that is refused leaves an existing image as it was, and makes no
// file at all.
TEST(Swugimg, RefusedCreateTouchesNothing)
{
    const std::string marker = "swugimg: the marker is a number from 0 to 255, or 0x00 to 0xFF\n";
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string message;  // the first line on standard error
    };
    const Row table[] = {
        {{"create", "big.bin", "img.bin"}, 1, "swugimg: big.bin: payload larger than 1048536 bytes\n"},
        {{"create", "-v", std::string(32, 'v'), "p.bin", "img.bin"}, 2, "swugimg: the version text is at most 31 bytes\n"},
        {{"create", "-m", "256", "p.bin", "img.bin"}, 2, marker},
        {{"create", "-m", "0x100", "p.bin", "img.bin"}, 2, marker},
        {{"create", "-m", "-1", "p.bin", "img.bin"}, 2, marker},
        {{"create", "-m", " 5", "p.bin", "img.bin"}, 2, marker},
        {{"create", "-m", "0x", "p.bin", "img.bin"}, 2, marker},
        {{"create", "-m", "5x", "p.bin", "img.bin"}, 2, marker},
        {{"create", "-m", "0x0x5", "p.bin", "img.bin"}, 2, marker},
        {{"create", "-m", "0xx5", "p.bin", "img.bin"}, 2, marker},
        {{"create", "-m", "+5", "p.bin", "img.bin"}, 2, marker},
        {{"create", "missing.bin", "img.bin"}, 2, "swugimg: missing.bin: cannot open: No such file or directory\n"},
        {{"create", "dir", "img.bin"}, 2,
         testing_windows() ? "swugimg: dir: cannot open: Permission denied\n" : "swugimg: dir: cannot read: Is a directory\n"},
        {{"create", "p.bin", "nodir/img.bin"}, 1, "swugimg: nodir/img.bin: cannot write: No such file or directory\n"},
    };
    Sandbox box;
    box.put("big.bin", pattern(PAYLOAD_MAX + 1));
    box.put("p.bin", "abc");
    box.put("dir/");
    box.put("img.bin", "keep");
    const Tree before = box.tree();
    for (const Row &row : table) {
        const Result r = swugimg(box, row.args);
        EXPECT_EQ(r.status, row.status) << testing::PrintToString(row.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), row.message) << testing::PrintToString(row.args);
        EXPECT_TRUE(same_tree(box.tree(), before)) << testing::PrintToString(row.args);
    }
}

TEST(Swugimg, UsageErrors)
{
    const struct {
        std::vector<std::string> args;
        std::string why;  // the line before the usage, or none
    } table[] = {
        {{}, ""},
        {{"frob", "img.bin"}, "unknown command"},
        {{"info"}, "info takes one image"},
        {{"info", "img.bin", "img.bin"}, "info takes one image"},
        {{"check"}, "check takes one image or more"},
        {{"create", "p.bin"}, "create takes a payload and an image"},
        {{"create", "p.bin", "img.bin", "more"}, "create takes a payload and an image"},
        {{"create", "-x", "p.bin", "img.bin"}, "unknown option"},
        {{"create", "-m"}, "an option lacks its value"},
        {{"check", "-x.img"}, "unknown option"},
        {{"info", "-x.img"}, "unknown option"},
        {{"info", "--json"}, "info takes one image"},
        {{"info", "--jsonx", "img.bin"}, "unknown option"},
    };
    Sandbox box;
    box.put("p.bin", "abc");
    box.put("img.bin", sound_image(0, "", "abc"));
    const Tree before = box.tree();
    for (const auto &row : table) {
        const Result r = swugimg(box, row.args);
        EXPECT_EQ(r.status, 2) << testing::PrintToString(row.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind((row.why.empty() ? "" : "swugimg: " + row.why + "\n") + "usage: swugimg", 0), 0u)
            << r.err;
    }
    EXPECT_TRUE(same_tree(box.tree(), before));

    const Result help = swugimg(box, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: swugimg", 0), 0u);
    EXPECT_EQ(help.err, "");
    const Result version = swugimg(box, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "swugimg " SWUG_VERSION "\n");
    EXPECT_EQ(version.err, "");
}

}  // namespace
