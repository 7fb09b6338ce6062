// What the benchmarks that run the real programs share: a temporary folder, child processes, their CPU
// time, and an X server without a screen.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

inline std::string make_folder()
{
    char name[] = "/tmp/quillon-bench-XXXXXX";
    return mkdtemp(name) != nullptr ? name : "/tmp";
}

// Starts the program in the folder: standard input from /dev/null, standard output to output_fd (or
// /dev/null), standard error to a file ".NAME.err" there. With set_display the display is set, or unset
// when empty; without it the environment is inherited.
inline pid_t spawn_in(const std::vector<std::string>& arguments, const std::string& folder, bool set_display,
                      const std::string& display, int output_fd)
{
    pid_t child = fork();
    if (child == 0) {
        if (chdir(folder.c_str()) != 0)
            _exit(126);
        int null = open("/dev/null", O_RDWR);
        std::string err = folder + "/." + std::filesystem::path(arguments[0]).filename().string() + ".err";
        int errors = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, 0);
        dup2(output_fd >= 0 ? output_fd : null, 1);
        dup2(errors, 2);
        if (set_display && display.empty())
            unsetenv("DISPLAY");
        else if (set_display)
            setenv("DISPLAY", display.c_str(), 1);
        std::vector<char*> argv;
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

inline pid_t spawn(const std::vector<std::string>& arguments, const std::string& folder)
{
    return spawn_in(arguments, folder, false, "", -1);
}

inline pid_t spawn(const std::vector<std::string>& arguments, const std::string& folder, const std::string& display,
                   int output_fd = -1)
{
    return spawn_in(arguments, folder, true, display, output_fd);
}

// SIGTERM, then SIGKILL if it has not ended within five seconds. Returns the exit code (128 + signal).
inline int stop(pid_t child)
{
    if (child <= 0)
        return -1;
    kill(child, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && waitpid(child, &status, WNOHANG) == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (waitpid(child, &status, WNOHANG) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Starts Xvfb on a free display; returns its name (":N") or an empty string.
inline std::string start_xvfb(pid_t* server)
{
    if (access("/usr/bin/Xvfb", X_OK) != 0)
        return "";
    int ends[2];
    if (pipe(ends) != 0)
        return "";
    *server = spawn({"/usr/bin/Xvfb", "-displayfd", "1", "-noreset", "-screen", "0", "1280x1024x24",
                     "-nolisten", "tcp"},
                    "/tmp", "", ends[1]);
    close(ends[1]);
    std::string number;
    char c;
    while (read(ends[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(ends[0]);
    return number.empty() ? "" : ":" + number;
}

} // namespace bench
