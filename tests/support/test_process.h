// Copies of a test program started as other processes, each in a role named
// on its command line ("PROGRAM --role ARGS..."), and the small helpers the
// tests that start them share.  Header-only: the programs that use it link
// nothing else of the test support.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace kvxtest {

// This program's file, as the copies are started from it.
inline const std::string &self_path()
{
    static const std::string path = [] {
#ifdef _WIN32
        char self[MAX_PATH * 2];
        const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
        return std::string(self, n);
#else
        return std::filesystem::read_symlink("/proc/self/exe").string();
#endif
    }();
    return path;
}

// This process's id, for names of its own in a shared temporary folder.
inline std::string process_id()
{
#ifdef _WIN32
    return std::to_string(GetCurrentProcessId());
#else
    return std::to_string(getpid());
#endif
}

// Sets an environment variable; an empty value removes it.
inline void set_env(const char *name, const std::string &value)
{
#ifdef _WIN32
    _putenv_s(name, value.c_str()); // empty: removed
#else
    if (value.empty()) unsetenv(name);
    else setenv(name, value.c_str(), 1);
#endif
}

inline std::vector<uint8_t> read_bytes(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whether `path` turns up within `tries` times 10 ms.
inline bool wait_for_file(const std::string &path, int tries = 3000)
{
    for (int i = 0; i < tries; ++i) {
        if (std::filesystem::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::filesystem::exists(path);
}

// --- Processes: copies of this program in a role ---------------------------

#ifdef _WIN32
using Process = HANDLE;

inline Process start(const std::vector<std::string> &args)
{
    std::string line = "\"" + self_path() + "\" --role";
    for (const std::string &a : args) line += " \"" + a + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// The exit code, once the process has ended; -1 if it never started.
inline int finish(Process p)
{
    if (p == nullptr) return -1;
    WaitForSingleObject(p, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(p, &code);
    CloseHandle(p);
    return static_cast<int>(code);
}

inline void kill_hard(Process p)
{
    TerminateProcess(p, 9);
}
#else
using Process = pid_t;

inline Process start(const std::vector<std::string> &args)
{
    std::vector<std::string> all{self_path(), "--role"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(all[0].c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

// The exit code, once the process has ended (128 + the signal that ended
// it); -1 if it never started.
inline int finish(Process p)
{
    int status = 0;
    if (p <= 0 || waitpid(p, &status, 0) != p) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline void kill_hard(Process p)
{
    kill(p, SIGKILL);
}
#endif

inline int run(const std::vector<std::string> &args)
{
    return finish(start(args));
}

} // namespace kvxtest
