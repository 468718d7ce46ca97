// The closing key wait on a real terminal: one key, no echo, no Enter, the
// signal keys read as keys, and the terminal as it was afterwards with
// nothing left over for the shell, also when a signal ends the wait.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

// The end of the prompt. Wine's console draws text one character at a time,
// between escape sequences, and draws a space as a cursor move.
const std::string PROMPT = "exit!";

// Text without the terminal's escape sequences.
std::string shown(const std::string &screen)
{
    std::string text;
    for (size_t i = 0; i < screen.size(); i++) {
        if (screen[i] == '\x1b' && i + 1 < screen.size() && screen[i + 1] == '[') {
            for (i += 2; i < screen.size() && !isalpha((unsigned char)screen[i]); i++)
                ;
        } else {
            text += screen[i];
        }
    }
    return text;
}

// Reads the text the terminal shows until want appears, the child closes it, or
// quiet_ms pass without a byte.
std::string read_until(int master, const std::string &want, int quiet_ms = 10000)
{
    std::string seen;
    char buf[256];
    while (shown(seen).find(want) == std::string::npos) {
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0)
            break;
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        seen.append(buf, (size_t)n);
    }
    return shown(seen);
}

bool raw_mode(int tty)
{
    termios t{};
    return tcgetattr(tty, &t) == 0 && (t.c_lflag & (ECHO | ICANON | ISIG)) == 0;
}

// The program on a new terminal, started in an empty directory, so that it
// fails at once and goes to the prompt. stdin_null: standard input from
// /dev/null while the terminal stays the console. first_read_interrupted:
// under strace, which fails the first read of the terminal with EINTR, as a
// signal that interrupts the wait would.
struct OnTerminal {
    Sandbox box;
    int master = -1, slave = -1;
    pid_t pid = -1;
    termios before{};  // the terminal's modes before the program started

    explicit OnTerminal(bool stdin_null = false, bool first_read_interrupted = false)
    {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0 || tcgetattr(slave, &before) != 0)
            return;
        std::vector<std::string> cmd = command();
        if (first_read_interrupted)
            cmd.insert(cmd.begin(), {"strace", "-o", "/dev/null", "-P", name, "-e", "trace=read", "-e",
                                     "inject=read:error=EINTR:when=1"});
        std::vector<char *> argv = exec_argv(cmd);
        pid = fork();
        if (pid == 0) {
            close(master);
            if (login_tty(slave) != 0 || chdir(box.path().c_str()) != 0)
                _exit(126);
            if (stdin_null) {
                int fd = open("/dev/null", O_RDONLY);
                if (fd < 0 || dup2(fd, 0) < 0)
                    _exit(126);
            }
            execvp(argv[0], argv.data());
            _exit(127);
        }
    }
    ~OnTerminal()
    {
        close(master);
        close(slave);
    }
    // The exit status, or -1 when the program is still running after secs.
    int status_within(int secs) const
    {
        int status = 0;
        for (int i = 0; i < secs * 100; i++) {
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
};

// Every key ends the wait, the signal keys too, and so does a signal sent
// from outside (kill, a session manager), which also ends the program by
// that signal. Either way the terminal is left as it was, with nothing of
// the key left over for the shell.
TEST(KeyWait, AnyKeyOrSignalLeavesTheTerminalAsItWas)
{
    if (testing_windows())
        GTEST_SKIP() << "the Windows console is not a POSIX terminal";
    const struct {
        const char *what;
        std::string bytes;  // the key pressed, or none
        int sig;            // the signal sent, or 0
    } table[] = {
        {"plain key", "k", 0},
        {"Ctrl-C", "\x03", 0},
        {"Ctrl-Z", "\x1a", 0},
        {"arrow up", "\x1b[A", 0},
        {"F5", "\x1b[15~", 0},
        {"SIGTERM", "", SIGTERM},
        {"SIGHUP", "", SIGHUP},
        {"SIGQUIT", "", SIGQUIT},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(row.what);
        OnTerminal t;
        ASSERT_GT(t.pid, 0);
        EXPECT_NE(read_until(t.master, PROMPT).find(PROMPT), std::string::npos);

        for (int i = 0; i < 1000 && !raw_mode(t.slave); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(raw_mode(t.slave)) << "echo, line mode or signal keys still on";
        int status = 0;
        EXPECT_EQ(waitpid(t.pid, &status, WNOHANG), 0) << "ended before a key was pressed";

        if (row.sig != 0)
            ASSERT_EQ(kill(t.pid, row.sig), 0);
        else
            ASSERT_EQ(write(t.master, row.bytes.data(), row.bytes.size()), (ssize_t)row.bytes.size());  // no Enter
        EXPECT_EQ(t.status_within(10), row.sig == 0 ? 0 : 128 + row.sig);
        EXPECT_EQ(read_until(t.master, "\x01never", 100).find_first_of("k[~"), std::string::npos) << "echoed";

        termios after{};
        ASSERT_EQ(tcgetattr(t.slave, &after), 0);
        EXPECT_EQ(after.c_lflag, t.before.c_lflag) << "local modes not restored";
        EXPECT_EQ(after.c_iflag, t.before.c_iflag) << "input modes not restored";
        int left = -1;
        ASSERT_EQ(ioctl(t.slave, FIONREAD, &left), 0);
        EXPECT_EQ(left, 0) << "bytes of the key left for the shell";
    }
}

// A read the wait makes that a signal interrupts is made again, and the one
// key still ends the wait, not a second one.
TEST(KeyWait, InterruptedReadIsMadeAgain)
{
    NEEDS_STRACE();
    OnTerminal t(false, true);
    ASSERT_GT(t.pid, 0);
    EXPECT_NE(read_until(t.master, PROMPT).find(PROMPT), std::string::npos);
    for (int i = 0; i < 1000 && !raw_mode(t.slave); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int status = 0;
    EXPECT_EQ(waitpid(t.pid, &status, WNOHANG), 0) << "ended without a key";
    ASSERT_EQ(write(t.master, "k", 1), 1);
    EXPECT_EQ(t.status_within(10), 0) << "still waiting after the key";
}

// With standard input redirected there is nobody to press a key: the prompt
// shows and the program ends at once, with a terminal as its console.
TEST(KeyWait, NoWaitWhenStandardInputIsRedirected)
{
    OnTerminal t(true);
    ASSERT_GT(t.pid, 0);
    EXPECT_NE(read_until(t.master, PROMPT).find(PROMPT), std::string::npos);
    EXPECT_EQ(t.status_within(testing_windows() ? 60 : 10), 0) << "still waiting for a key";
}

// The Windows console itself: the real _getch waits for one key, no Enter.
TEST(KeyWait, WindowsConsoleWaitsForOneKey)
{
    if (!testing_windows())
        GTEST_SKIP() << "the POSIX terminal has a test of its own";
    OnTerminal t;
    ASSERT_GT(t.pid, 0);
    EXPECT_NE(read_until(t.master, PROMPT).find(PROMPT), std::string::npos);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int status = 0;
    ASSERT_EQ(waitpid(t.pid, &status, WNOHANG), 0) << "ended before a key was pressed";
    ASSERT_EQ(write(t.master, "k", 1), 1);
    EXPECT_EQ(t.status_within(60), 0);
}

}  // namespace
