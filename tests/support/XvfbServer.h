#pragma once

// A private Xvfb for tests and benchmarks that need a real X server: it takes the first free
// display number from a per-process starting point, waits for its socket and is killed when
// the object goes. Header-only so that benchmarks can use it without the test libraries.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

class XvfbServer
{
public:
    XvfbServer(int width, int height)
    {
        // Whatever the tests start next talks to this server: in a Wayland session, programs
        // (and Qt) would otherwise pick the session's Wayland desktop.
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("XDG_SESSION_TYPE");
        const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        const int first = 200 + static_cast<int>(getpid() % 500) * 4;
        for (int number = first; number < first + 40 && m_pid < 0; ++number) {
            if (exists("/tmp/.X11-unix/X" + std::to_string(number))
                || exists("/tmp/.X" + std::to_string(number) + "-lock"))
                continue;
            start(number, screen);
        }
    }

    ~XvfbServer()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
    }

    XvfbServer(const XvfbServer &) = delete;
    XvfbServer &operator=(const XvfbServer &) = delete;

    bool running() const { return m_pid > 0; }
    // ":N", for XOpenDisplay.
    const std::string &name() const { return m_name; }

private:
    static bool exists(const std::string &path)
    {
        struct stat info;
        return stat(path.c_str(), &info) == 0;
    }

    // Accepting connections, not merely bound.
    static bool accepts(const std::string &path)
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        const bool connected =
            connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
        close(fd);
        return connected;
    }

    void start(int number, const std::string &screen)
    {
        const std::string display = ":" + std::to_string(number);
        std::vector<std::string> args{"Xvfb", display, "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int failed = posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed)
            return;

        // Ready once its socket accepts; an early exit means the number was taken after all.
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid)
                return;
            if (accepts(socket)) {
                m_pid = pid;
                m_name = display;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
    }

    pid_t m_pid = -1;
    std::string m_name;
};
