// Black-box cases: each runs the program in a fresh directory and checks the
// exit status, the whole console text, the output file, and that no other
// file was created, changed or removed.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

constexpr uint32_t BODY = 1048576, HDR = 40;  // image record body, header
const std::string PROMPT = "Press any key to exit!";
const std::string IN = "data/QUILMO_SW.bin", OUT = "out/QUILMO_UPGRADE_SW.bin";
const std::optional<std::string> ABSENT = std::nullopt;
const std::string HELLO = img(5, "hello");

enum Only { ANY, POSIX, WINDOWS };

struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::string>> files;  // laid out before the run
    std::vector<std::string> args;
    int status;
    std::string console;
    std::string out_path;              // the one file the run may create or change
    std::optional<std::string> out;    // its content afterwards, or ABSENT
    Only only = ANY;
    std::string cwd = "";              // where the program starts, below the sandbox
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::string sample()
{
    std::ifstream f(SWUG_SOURCE_DIR "/data/QUILMO_SW.bin", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<Case> cases()
{
    const std::string big = pattern(BODY - HDR);
    return {
        // Interactive mode: fixed names, messages, the prompt, status 0.
        {"interactive_sample", {{IN, sample()}, {"out/", ""}}, {}, 0,
         IN + " len= " + std::to_string(sample().size()) + "\n" + PROMPT, OUT, sample().substr(40)},
        {"interactive_no_out_directory", {{IN, HELLO}}, {}, 0,
         IN + " len= 45\nWrite file " + OUT + " failed\n" + PROMPT, "out/", ABSENT},
        {"interactive_missing_input", {{"out/", ""}}, {}, 0,
         "Open file (" + IN + ") failed\n" + PROMPT, OUT, ABSENT},
        {"interactive_empty_input", {{IN, ""}, {OUT, "keep"}}, {}, 0,
         IN + " len= 0\n" + PROMPT, OUT, "keep"},
        {"interactive_input_over_1MiB", {{IN, img(BODY - HDR + 1, big + "x")}, {OUT, "keep"}}, {}, 0,
         IN + " len= 1048577\nLength of " + IN + " exceed limition\n" + PROMPT, OUT, "keep"},
        {"interactive_length_past_record", {{IN, img(1048537, "abc")}, {OUT, "keep"}}, {}, 0,
         IN + " len= 43\nPayload length 1048537 of " + IN + " exceeds 1048536\n" + PROMPT, OUT, "keep"},
        {"interactive_input_shorter_than_length_field", {{IN, "0123456789"}, {"out/", ""}}, {}, 0,
         IN + " len= 10\nPayload length 4294967295 of " + IN + " exceeds 1048536\n" + PROMPT, OUT, ABSENT},
        {"one_argument", {{"in.bin", HELLO}}, {"in.bin"}, 0, "Parameter Error [2]\n" + PROMPT, "x", ABSENT},
        {"three_arguments", {{"in.bin", HELLO}}, {"in.bin", "out.bin", "x"}, 0,
         "Parameter Error [4]\n" + PROMPT, "out.bin", ABSENT},

        // Command mode: silent, status 0 or 1.
        {"payload", {{"in.bin", HELLO}}, {"in.bin", "out.bin"}, 0, "", "out.bin", "hello"},
        {"length_zero_gives_empty_file", {{"in.bin", img(0, "trailing")}}, {"in.bin", "out.bin"}, 0, "",
         "out.bin", ""},
        {"length_shorter_than_data", {{"in.bin", img(3, "abcdef")}}, {"in.bin", "out.bin"}, 0, "",
         "out.bin", "abc"},
        {"length_beyond_data_padded_with_ff", {{"in.bin", img(8, "abc")}}, {"in.bin", "out.bin"}, 0, "",
         "out.bin", "abc" + fill(5)},
        {"header_only", {{"in.bin", header(4)}}, {"in.bin", "out.bin"}, 0, "", "out.bin", fill(4)},
        {"file_of_36_bytes_has_whole_length", {{"in.bin", header(2).substr(0, 36)}}, {"in.bin", "out.bin"},
         0, "", "out.bin", fill(2)},
        {"largest_image", {{"in.bin", img(BODY - HDR, big)}}, {"in.bin", "out.bin"}, 0, "", "out.bin", big},
        {"largest_length_padded", {{"in.bin", img(BODY - HDR, "abc")}}, {"in.bin", "out.bin"}, 0, "",
         "out.bin", "abc" + fill(BODY - HDR - 3)},
        {"input_over_1MiB", {{"in.bin", img(BODY - HDR + 1, big + "x")}, {"out.bin", "keep"}},
         {"in.bin", "out.bin"}, 1, "", "out.bin", "keep"},
        {"length_past_record", {{"in.bin", img(BODY - HDR + 1, "abc")}, {"out.bin", "keep"}},
         {"in.bin", "out.bin"}, 1, "", "out.bin", "keep"},
        {"length_ffffffff", {{"in.bin", img(0xFFFFFFFF, big)}}, {"in.bin", "out.bin"}, 1, "", "out.bin",
         ABSENT},
        {"file_of_1_byte", {{"in.bin", "\x01"}}, {"in.bin", "out.bin"}, 1, "", "out.bin", ABSENT},
        {"file_of_32_bytes", {{"in.bin", header(0).substr(0, 32)}}, {"in.bin", "out.bin"}, 1, "", "out.bin",
         ABSENT},
        {"file_of_33_bytes", {{"in.bin", header(0).substr(0, 33)}}, {"in.bin", "out.bin"}, 1, "", "out.bin",
         ABSENT},
        {"file_of_35_bytes", {{"in.bin", header(0).substr(0, 35)}}, {"in.bin", "out.bin"}, 1, "", "out.bin",
         ABSENT},
        {"missing_input", {{"out.bin", "keep"}}, {"in.bin", "out.bin"}, 1, "", "out.bin", "keep"},
        {"empty_input", {{"in.bin", ""}, {"out.bin", "keep"}}, {"in.bin", "out.bin"}, 1, "", "out.bin",
         "keep"},
        {"input_is_directory", {{"in.bin/", ""}}, {"in.bin", "out.bin"}, 1, "", "out.bin", ABSENT},
        {"existing_output_replaced", {{"in.bin", img(2, "hi")}, {"out.bin", "older and longer"}},
         {"in.bin", "out.bin"}, 0, "", "out.bin", "hi"},
        {"same_file_in_and_out", {{"in.bin", HELLO}}, {"in.bin", "in.bin"}, 0, "", "in.bin", "hello"},
        {"output_directory_missing", {{"in.bin", HELLO}}, {"in.bin", "nodir/out.bin"}, 1, "", "nodir/",
         ABSENT},

        // "./" names start from the directory the program was started in.
        {"dot_slash_names", {{"in.bin", HELLO}}, {"./in.bin", "./out.bin"}, 0, "", "out.bin", "hello"},
        {"dot_slash_subdirectory", {{"sub/in.bin", HELLO}}, {"./sub/in.bin", "./sub/out.bin"}, 0, "",
         "sub/out.bin", "hello"},
        {"only_dot_slash_is_resolved", {{"sub/in.bin", HELLO}}, {"in.bin", "../out.bin"}, 0, "",
         "out.bin", "hello", ANY, "sub"},
        {"dot_slash_alone_is_a_directory", {{"in.bin", HELLO}}, {"in.bin", "./"}, 1, "", "x", ABSENT},

        // What a name means differs between the two systems.
        {"dev_null_input", {}, {"/dev/null", "out.bin"}, 1, "", "out.bin", ABSENT, POSIX},
        {"dev_full_output", {{"in.bin", HELLO}}, {"in.bin", "/dev/full"}, 1, "", "x", ABSENT, POSIX},
        {"backslash_in_start_directory", {{"fw\\v2/a.bin", HELLO}}, {"./a.bin", "./p.bin"}, 0, "",
         "fw\\v2/p.bin", "hello", POSIX, "fw\\v2"},
        {"backslash_is_part_of_posix_name", {{"sub/in.bin", HELLO}}, {"sub\\in.bin", "out.bin"}, 1, "",
         "out.bin", ABSENT, POSIX},
        {"backslash_is_windows_separator", {{"sub/in.bin", HELLO}}, {"sub\\in.bin", "sub\\out.bin"}, 0, "",
         "sub/out.bin", "hello", WINDOWS},
        {"nul_device_output", {{"in.bin", HELLO}}, {"in.bin", "NUL"}, 0, "", "x", ABSENT, WINDOWS},
        {"dot_backslash_is_windows_relative", {{"in.bin", HELLO}}, {".\\in.bin", ".\\out.bin"}, 0, "",
         "out.bin", "hello", WINDOWS},
    };
}

void check(const Case &c)
{
    if (c.only == POSIX && testing_windows())
        GTEST_SKIP() << "POSIX only: /dev devices and backslashes in file names do not exist on Windows";
    if (c.only == WINDOWS && !testing_windows())
        GTEST_SKIP() << "Windows only: backslash is a separator there";

    Sandbox box;
    for (const auto &[path, content] : c.files)
        box.put(path, content);
    if (!c.cwd.empty())
        box.put(c.cwd + "/");
    Tree expected = box.tree();
    if (c.out)
        expected[c.out_path] = c.out;
    else
        expected.erase(c.out_path);

    Result r = box.run(c.args, c.cwd);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.console);
    EXPECT_EQ(r.err, "");
    Tree got = box.tree();
    EXPECT_TRUE(same_content(got.count(c.out_path) ? got[c.out_path] : ABSENT, c.out)) << c.out_path;
    EXPECT_TRUE(same_tree(got, expected));
}

class Cli : public testing::TestWithParam<Case> {};

TEST_P(Cli, Run) { check(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Table, Cli, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case> &i) { return i.param.name; });

// Names of exactly 299 characters work; 300 are refused before anything is
// read, never cut short to another name.
std::string name_of_length(size_t n)
{
    std::string s;
    while (n > 100) {
        s += std::string(99, 'd') + "/";
        n -= 100;
    }
    return s + std::string(n, 'f');
}

TEST(CliNames, LengthLimit)
{
    if (testing_windows())
        GTEST_SKIP() << "Windows paths stop at 260 characters";
    for (size_t n : {299, 300}) {
        SCOPED_TRACE(n);
        const std::string in = name_of_length(n), out = name_of_length(n - 3) + "out";
        const int want = n == 299 ? 0 : 1;
        {
            Sandbox box;
            box.put(in, HELLO);
            EXPECT_EQ(box.run({in, "out.bin"}).status, want);
            EXPECT_EQ(box.tree().count("out.bin"), n == 299 ? 1u : 0u);
        }
        {
            Sandbox box;
            box.put("in.bin", HELLO);
            box.put(out.substr(0, out.rfind('/') + 1));
            EXPECT_EQ(box.run({"in.bin", out}).status, want);
            EXPECT_EQ(box.tree().count(out), n == 299 ? 1u : 0u);
        }
        {
            // "./" + rest resolves to start directory + "/" + rest.
            Sandbox box;
            const std::string rest = name_of_length(n - box.path().size() - 1);
            box.put(rest, HELLO);
            EXPECT_EQ(box.run({"./" + rest, "out.bin"}).status, want);
            EXPECT_EQ(box.tree().count("out.bin"), n == 299 ? 1u : 0u);
        }
    }
}

// A start directory too long to capture: "./" names are refused rather than
// resolved against the root, and nothing is written.
TEST(CliNames, StartDirectoryTooLong)
{
    Sandbox box;
    const std::string deep = name_of_length(320 - box.path().size()) + "/";
    box.put(deep + "in.bin", HELLO);
    EXPECT_EQ(box.run({"./in.bin", "out.bin"}, deep).status, 1);
    EXPECT_EQ(box.run({"in.bin", "./out.bin"}, deep).status, 1);
    EXPECT_EQ(box.tree().count(deep + "out.bin"), 0u);
    if (testing_windows())
        return;  // Windows cannot start a program in so long a directory at all
    EXPECT_EQ(box.run({"in.bin", "out.bin"}, deep).status, 0);
    EXPECT_EQ(box.tree()[deep + "out.bin"], "hello");
}

// An input whose size does not fit 32 bits must not pass as a small one.
TEST(CliSize, InputOf4GiBAndMore)
{
    Sandbox box;
    const std::string in = box.path() + "/in.bin";
    box.put("in.bin", HELLO);
    ASSERT_EQ(truncate(in.c_str(), (off_t(1) << 32) + 45), 0);
    EXPECT_EQ(box.run({"in.bin", "out.bin"}).status, 1);
    EXPECT_FALSE(std::filesystem::exists(box.path() + "/out.bin"));
}

}  // namespace
