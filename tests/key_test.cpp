// The closing key wait on a real terminal: one key, no echo, no Enter, and
// the terminal as it was afterwards.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

// Reads what the terminal shows until want appears or the child closes it.
std::string read_until(int master, const std::string &want)
{
    std::string seen;
    char buf[256];
    while (seen.find(want) == std::string::npos) {
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        seen.append(buf, (size_t)n);
    }
    return seen;
}

bool echo_is_off(int master)
{
    termios t{};
    return tcgetattr(master, &t) == 0 && (t.c_lflag & ECHO) == 0 && (t.c_lflag & ICANON) == 0;
}

TEST(KeyWait, OneKeyWithoutEchoOnATerminal)
{
    if (testing_windows())
        GTEST_SKIP() << "the Windows console is not a POSIX terminal";
    Sandbox box;
    std::vector<std::string> cmd = command();
    std::vector<char *> argv = exec_argv(cmd);

    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(box.path().c_str()) == 0)
            execvp(argv[0], argv.data());
        _exit(127);
    }
    EXPECT_NE(read_until(master, "Press any key to exit!").find("Press any key to exit!"), std::string::npos);

    // The program turns echo and line mode off, then waits for a key.
    for (int i = 0; i < 1000 && !echo_is_off(master); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(echo_is_off(master));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "ended before a key was pressed";

    ASSERT_EQ(write(master, "k", 1), 1);  // no Enter
    std::string after = read_until(master, "\x01never");
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(after.find('k'), std::string::npos) << "the key was echoed";

    termios t{};
    ASSERT_EQ(tcgetattr(master, &t), 0);
    EXPECT_NE(t.c_lflag & ECHO, 0u) << "echo not restored";
    EXPECT_NE(t.c_lflag & ICANON, 0u) << "line mode not restored";
    close(master);
}

}  // namespace
