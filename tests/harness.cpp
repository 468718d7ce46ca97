#include "harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

std::string le32(uint32_t v)
{
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return std::string(b, 4);
}

std::string header(uint32_t length)
{
    std::string version = "TEST 0.1";
    version.resize(31, '\0');
    return "\x02" + version + le32(length) + le32(0xDEADBEEF);
}

std::string img(uint32_t length, const std::string &payload) { return header(length) + payload; }

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char(i * 7 + i / 256);
    return s;
}

std::string fill(size_t n) { return std::string(n, '\xFF'); }

uint32_t word_sum(const std::string &payload)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < payload.size(); i++)
        sum += (uint32_t)(uint8_t)payload[i] << (8 * (i % 4));
    return sum;
}

std::string sound_image(uint8_t marker, const std::string &version, const std::string &payload)
{
    std::string v = version;
    v.resize(31, '\0');
    return std::string(1, char(marker)) + v + le32((uint32_t)payload.size()) + le32(word_sum(payload)) + payload;
}

bool testing_windows()
{
    const std::string program = command().back();
    return program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
}

bool on_path(const std::string &tool)
{
    return system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string why_not_traceable()
{
    if (testing_windows())
        return "strace works on Linux system calls, not on the Windows program's";
#if defined(__SANITIZE_ADDRESS__)
    return "the sanitizer runtime makes system calls of its own, which the faults would hit";
#endif
    if (!on_path("strace"))
        return "needs strace (Debian package strace)";
    static const bool traces = system("strace -o /dev/null true >/dev/null 2>&1") == 0;
    return traces ? "" : "strace cannot trace here (no ptrace)";
}

std::vector<std::string> command()
{
    const char *env = std::getenv("SWUG_CMD");
    std::istringstream words(env != nullptr && *env != '\0' ? env : SWUG_DEFAULT_CMD);
    std::vector<std::string> cmd;
    for (std::string w; words >> w;)
        cmd.push_back(w);
    return cmd;
}

std::vector<std::string> companion_command()
{
    std::vector<std::string> cmd = command();
    std::string &program = cmd.back();
    const size_t slash = program.find_last_of("/\\");
    program.insert(slash == std::string::npos ? 4 : slash + 5, "img");  // swug -> swugimg
    return cmd;
}

std::vector<char *> exec_argv(std::vector<std::string> &words)
{
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}

static std::string described(const std::optional<std::string> &c)
{
    return c ? std::to_string(c->size()) + " bytes" : "no file";
}

testing::AssertionResult same_content(const std::optional<std::string> &got, const std::optional<std::string> &want)
{
    if (got == want)
        return testing::AssertionSuccess();
    if (!got || !want)
        return testing::AssertionFailure() << "got " << described(got) << ", want " << described(want);
    size_t i = 0;
    while (i < got->size() && i < want->size() && (*got)[i] == (*want)[i])
        i++;
    char bytes[64] = "";
    if (i < got->size() && i < want->size())
        snprintf(bytes, sizeof bytes, ": got 0x%02X, want 0x%02X", (uint8_t)(*got)[i], (uint8_t)(*want)[i]);
    else
        snprintf(bytes, sizeof bytes, ": end of the %s", i == got->size() ? "file got" : "file wanted");
    return testing::AssertionFailure() << "got " << got->size() << " bytes, want " << want->size()
                                       << "; first difference at byte " << i + 1 << bytes;
}

testing::AssertionResult same_tree(const Tree &got, const Tree &want)
{
    std::string changes;
    for (const auto &[name, content] : got) {
        auto w = want.find(name);
        if (w == want.end())
            changes += " appeared: " + name + ";";
        else if (!same_content(content, w->second))
            changes += " changed: " + name + " (" + same_content(content, w->second).message() + ");";
    }
    for (const auto &[name, content] : want)
        if (got.count(name) == 0)
            changes += " vanished: " + name + ";";
    if (changes.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the files differ:" << changes;
}

static std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

Sandbox::Sandbox()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/swug-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    fs::create_directory(path());
}

Sandbox::~Sandbox()
{
    std::error_code ec;
    fs::remove_all(root_, ec);
}

void Sandbox::put(const std::string &rel, const std::string &content)
{
    fs::path p = fs::path(path()) / rel;
    if (!rel.empty() && rel.back() == '/') {
        fs::create_directories(p);
        return;
    }
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
}

Result Sandbox::run(const std::vector<std::string> &args, const std::string &cwd,
                    const std::vector<std::string> &via) const
{
    std::vector<std::string> cmd = via;
    for (const std::string &w : command())
        cmd.push_back(w);
    cmd.insert(cmd.end(), args.begin(), args.end());
    return run_command(cmd, cwd);
}

Result Sandbox::run_command(const std::vector<std::string> &words, const std::string &cwd) const
{
    std::vector<std::string> cmd = words;
    std::vector<char *> argv = exec_argv(cmd);

    const std::string out = root_ + "/stdout", err = root_ + "/stderr";
    const std::string dir = cwd.empty() ? path() : path() + "/" + cwd;
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || o < 0 || e < 0 || chdir(dir.c_str()) != 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 ||
            dup2(e, 2) < 0)
            _exit(126);
        close_range(3, ~0u, 0);  // the program starts with the three standard descriptors only
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    Result r{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus), slurp(out), slurp(err)};
    // Windows text streams write "\r\n"; compare lines, not line ends.
    for (std::string *s : {&r.out, &r.err})
        for (size_t i; (i = s->find("\r\n")) != std::string::npos;)
            s->erase(i, 1);
    return r;
}

Tree Sandbox::tree() const
{
    Tree t;
    for (const auto &e : fs::recursive_directory_iterator(path())) {
        std::string rel = fs::relative(e.path(), path()).generic_string();
        if (e.is_directory())
            t[rel + "/"] = std::nullopt;
        else
            t[rel] = slurp(e.path().string());
    }
    return t;
}
