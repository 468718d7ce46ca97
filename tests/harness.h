// Runs the built program the way a user does: in a fresh directory, with
// files laid out beforehand, capturing the console, the exit status and what
// the directory holds afterwards.
#ifndef SWUG_HARNESS_H
#define SWUG_HARNESS_H

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Image bytes: a 40-byte header followed by the payload. The CRC field is
// deliberately wrong; the program must not care.
std::string le32(uint32_t v);
std::string header(uint32_t length);
std::string img(uint32_t length, const std::string &payload);
std::string pattern(size_t n);  // n bytes of every value, repeating
std::string fill(size_t n);     // n bytes of 0xFF
// The payload checksum by its definition: the sum of the bytes as
// little-endian 32-bit words, the last word zero-padded.
uint32_t word_sum(const std::string &payload);
// A sound image, built here independently of the programs under test.
std::string sound_image(uint8_t marker, const std::string &version, const std::string &payload);

// Whether the program under test is the Windows build, swug.exe.
bool testing_windows();
// Whether a program of that name is on PATH.
bool on_path(const std::string &tool);
// Why faults cannot be injected into the program under test by strace, or "".
std::string why_not_traceable();
#define NEEDS_STRACE()                               \
    do {                                             \
        const std::string why = why_not_traceable(); \
        if (!why.empty())                            \
            GTEST_SKIP() << why;                     \
    } while (0)

// The command that starts the program: SWUG_CMD split on spaces (for example
// "wine build-windows/swug.exe"), or else the program built beside the tests.
std::vector<std::string> command();
// The same for the companion swugimg, which is built beside swug.
std::vector<std::string> companion_command();

// words as an argument vector for exec, ending in nullptr; it points into words.
std::vector<char *> exec_argv(std::vector<std::string> &words);

// A file's content, or nullopt for a directory.
using Tree = std::map<std::string, std::optional<std::string>>;

// Whether two contents (nullopt: no file) are equal; when not, the failure
// says how, as cmp does: both sizes and the first byte that differs.
testing::AssertionResult same_content(const std::optional<std::string> &got, const std::optional<std::string> &want);
// Whether two trees are equal; when not, the failure names every file that
// changed, appeared or vanished.
testing::AssertionResult same_tree(const Tree &got, const Tree &want);

struct Result {
    int status;
    std::string out;  // standard output, line ends made "\n"
    std::string err;  // standard error, the same
};

// A fresh directory for one case, removed afterwards.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    std::string path() const { return root_ + "/work"; }
    // Beside path(), for files that are not part of the case (logs).
    std::string aside(const std::string &name) const { return root_ + "/" + name; }
    // Paths are relative to path(); one ending in '/' is a directory.
    // Parent directories are made as needed.
    void put(const std::string &rel, const std::string &content = "");
    // Runs the program in path()/cwd with standard input from /dev/null,
    // through the command `via` when one is given (such as setpriv).
    Result run(const std::vector<std::string> &args, const std::string &cwd = "",
               const std::vector<std::string> &via = {}) const;
    // Runs any command, word by word, the same way.
    Result run_command(const std::vector<std::string> &cmd, const std::string &cwd = "") const;
    Tree tree() const;

private:
    std::string root_;
};

#endif
