// The companion swugimg, black-box: images it builds match images built here
// independently and give back their payload through swug; its verdicts on
// sound and broken images; its refusals and usage errors touch nothing.
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
}

INSTANTIATE_TEST_SUITE_P(Images, SwugimgVerdict, testing::ValuesIn(verdicts()),
                         [](const testing::TestParamInfo<Verdict> &i) { return i.param.name; });

TEST(Swugimg, CheckReportsEveryImage)
{
    Sandbox box;
    box.put("a.bin", sound_image(0, "", "a"));
    box.put("b.bin", img(1, ""));
    Result r = swugimg(box, {"check", "a.bin", "b.bin", "a.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a.bin: OK\nb.bin: FAILED (payload short by 1 bytes)\na.bin: OK\n");

    // A file that cannot be read is trouble, status 2, and the rest still get
    // their verdict.
    r = swugimg(box, {"check", "missing.bin", "a.bin"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "a.bin: OK\n");
    EXPECT_NE(r.err.find("missing.bin"), std::string::npos) << r.err;
    EXPECT_EQ(swugimg(box, {"info", "missing.bin"}).status, 2);
}

// A create that is refused leaves an existing image as it was, and makes no
// file at all.
TEST(Swugimg, RefusedCreateTouchesNothing)
{
    struct Row {
        std::vector<std::string> args;
        int status;
    };
    const Row table[] = {
        {{"create", "big.bin", "img.bin"}, 1},
        {{"create", "-v", std::string(32, 'v'), "p.bin", "img.bin"}, 2},
        {{"create", "-m", "256", "p.bin", "img.bin"}, 2},
        {{"create", "-m", "0x100", "p.bin", "img.bin"}, 2},
        {{"create", "-m", "-1", "p.bin", "img.bin"}, 2},
        {{"create", "-m", " 5", "p.bin", "img.bin"}, 2},
        {{"create", "-m", "0x", "p.bin", "img.bin"}, 2},
        {{"create", "-m", "5x", "p.bin", "img.bin"}, 2},
        {{"create", "missing.bin", "img.bin"}, 2},
        {{"create", "dir", "img.bin"}, 2},
        {{"create", "p.bin", "nodir/img.bin"}, 1},
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
        EXPECT_NE(r.err, "");
        EXPECT_TRUE(same_tree(box.tree(), before)) << testing::PrintToString(row.args);
    }
}

TEST(Swugimg, UsageErrors)
{
    const std::vector<std::string> table[] = {
        {},
        {"frob", "img.bin"},
        {"info"},
        {"info", "img.bin", "img.bin"},
        {"check"},
        {"create", "p.bin"},
        {"create", "p.bin", "img.bin", "more"},
        {"create", "-x", "p.bin", "img.bin"},
        {"create", "-m"},
    };
    Sandbox box;
    box.put("p.bin", "abc");
    box.put("img.bin", sound_image(0, "", "abc"));
    const Tree before = box.tree();
    for (const auto &args : table) {
        const Result r = swugimg(box, args);
        EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: swugimg"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(same_tree(box.tree(), before));

    const Result help = swugimg(box, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: swugimg", 0), 0u);
    EXPECT_EQ(swugimg(box, {"--version"}).out, "swugimg " SWUG_VERSION "\n");
}

}  // namespace
