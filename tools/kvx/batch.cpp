/*
 * kvx decode IN... -d FOLDER [-j N] [--force]: the library keeps one
 * decoding session per process, so every file is decoded by a process of
 * its own, the tool run again as "kvx decode IN -o OUT ...", its standard
 * error caught in a temporary file and passed on as the file's status when
 * it ends.  One process a file (also at -j 1) keeps each file's decode as
 * a decode of that file alone.
 */
#include "batch.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

#include <CLI/CLI.hpp>

#include "audio.h"
#include "common.h"

namespace {

#ifndef _WIN32
/* The temporary file of the decode in this process, removed when a signal
 * ends the process. */
char g_part[4096];

void remove_part(int signal)
{
    if (g_part[0] != '\0') unlink(g_part);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}
#endif

bool is_folder(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFDIR) != 0;
}

bool exists(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool make_folder(const std::string &path)
{
#ifdef _WIN32
    return _mkdir(path.c_str()) == 0;
#else
    return mkdir(path.c_str(), 0777) == 0;
#endif
}

/* "dir/A.kvx" gives "A". */
std::string stem_of(const std::string &path)
{
    std::string name = place_of(path).name;
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

/* Two names for one file: Windows does not tell case apart. */
std::string file_key(const std::string &path)
{
#ifdef _WIN32
    std::string key = path;
    for (char &c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
#else
    return path;
#endif
}

/* The child's command line: every decode option that the parent was given
 * and that applies to one file.  A new decode option is passed on here. */
std::vector<std::string> child_args(const DecodeOptions &options, const std::string &input, const std::string &output)
{
    std::vector<std::string> args = {"decode", input, "-o", output, "--status"};
    if (options.startMs != 0) args.insert(args.end(), {"--start", std::to_string(options.startMs)});
    if (options.haveEnd) args.insert(args.end(), {"--end", std::to_string(options.endMs)});
    if (options.postfilter) args.push_back("--postfilter");
    if (options.nativeRate) args.push_back("--native-rate");
    if (options.rate != 0) args.insert(args.end(), {"--rate", std::to_string(options.rate)});
    if (options.f32) args.insert(args.end(), {"--format", "f32"});
    return args;
}

/* A file's decode in a process of its own. */
struct Job {
    std::string input;
    std::string output;
#ifdef _WIN32
    HANDLE process = nullptr;
    HANDLE log = INVALID_HANDLE_VALUE;
#else
    pid_t pid = -1;
    std::FILE *log = nullptr;
#endif
};

#ifdef _WIN32
std::string quoted(const std::string &arg)
{
    /* As the C runtime splits a command line: backslashes are literal
     * except before a quote. */
    std::string out = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        slashes = 0;
        out += c;
    }
    out.append(2 * slashes, '\\');
    return out + "\"";
}

bool start_job(Job *job, const std::vector<std::string> &args)
{
    char self[MAX_PATH];
    const DWORD got = GetModuleFileNameA(nullptr, self, sizeof self);
    if (got == 0 || got >= sizeof self) return false;
    std::string line = quoted(self);
    for (const std::string &arg : args) line += " " + quoted(arg);
    char folder[MAX_PATH], name[MAX_PATH];
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "kvx", 0, name) == 0) return false;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    job->log = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (job->log == INVALID_HANDLE_VALUE) return false;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = job->log;
    PROCESS_INFORMATION process{};
    std::vector<char> text(line.begin(), line.end());
    text.push_back('\0');
    if (!CreateProcessA(self, text.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(job->log);
        return false;
    }
    CloseHandle(process.hThread);
    job->process = process.hProcess;
    return true;
}

/* The job that ends next, its exit status in *status; -1 when none can
 * be waited for. */
int wait_job(std::vector<Job> &jobs, int *status)
{
    std::vector<HANDLE> handles;
    for (const Job &job : jobs) handles.push_back(job.process);
    const DWORD which = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
    if (which >= WAIT_OBJECT_0 + handles.size()) return -1;
    DWORD code = 1;
    GetExitCodeProcess(handles[which - WAIT_OBJECT_0], &code);
    *status = static_cast<int>(code);
    return static_cast<int>(which - WAIT_OBJECT_0);
}

std::string job_log(Job *job)
{
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    SetFilePointer(job->log, 0, nullptr, FILE_BEGIN);
    while (ReadFile(job->log, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(job->log);
    CloseHandle(job->process);
    return text;
}
#else
bool start_job(Job *job, const std::vector<std::string> &args)
{
    job->log = std::tmpfile();
    if (job->log == nullptr) return false;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>("kvx"));
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fileno(job->log), 2);
    const int failed = posix_spawn(&job->pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed == 0) return true;
    std::fclose(job->log);
    errno = failed;
    return false;
}

int wait_job(std::vector<Job> &jobs, int *status)
{
    for (;;) {
        int state = 0;
        const pid_t pid = waitpid(-1, &state, 0);
        if (pid < 0) return -1;
        for (size_t i = 0; i < jobs.size(); ++i) {
            if (jobs[i].pid != pid) continue;
            /* A signal's end reads as 128 + its number, as shells say it. */
            *status = WIFEXITED(state) ? WEXITSTATUS(state) : 128 + WTERMSIG(state);
            return static_cast<int>(i);
        }
    }
}

std::string job_log(Job *job)
{
    std::string text;
    char buffer[4096];
    std::rewind(job->log);
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, job->log)) > 0) text.append(buffer, got);
    std::fclose(job->log);
    return text;
}
#endif

/* The job's messages on stderr, each line without the tool's "kvx: ", so
 * that every line begins with the input's name. */
void pass_on(const Job &job, const std::string &log, int status)
{
    size_t lines = 0;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(at, end - at);
        at = end + 1;
        if (line.compare(0, 5, "kvx: ") == 0) line.erase(0, 5);
        if (line.empty()) continue;
        std::fprintf(stderr, "%s\n", line.c_str());
        ++lines;
    }
    if (lines == 0 && status != 0) std::fprintf(stderr, "%s: failed (exit status %d)\n", job.input.c_str(), status);
}

} // namespace

PartFile::PartFile(const std::string &name) : name_(name), part_(name)
{
    if (name == "-") return;
    const Place place = place_of(name);
#ifdef _WIN32
    const unsigned long id = GetCurrentProcessId();
#else
    const unsigned long id = static_cast<unsigned long>(getpid());
#endif
    part_ = (name.find_first_of("/\\") == std::string::npos ? "" : place.folder + "/") + "." + place.name + "." +
            std::to_string(id) + ".part";
#ifndef _WIN32
    if (part_.size() < sizeof g_part) {
        std::memcpy(g_part, part_.c_str(), part_.size() + 1);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(signal, remove_part);
    }
#endif
}

PartFile::~PartFile()
{
    if (done_ || part_ == name_) return;
    std::remove(part_.c_str());
#ifndef _WIN32
    g_part[0] = '\0';
#endif
}

bool PartFile::commit()
{
    if (part_ == name_) return done_ = true;
#ifdef _WIN32
    done_ = MoveFileExA(part_.c_str(), name_.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    done_ = std::rename(part_.c_str(), name_.c_str()) == 0;
    if (done_) g_part[0] = '\0';
#endif
    if (!done_) std::fprintf(stderr, "kvx: %s: cannot be given its name (%s): %s\n", part_.c_str(), name_.c_str(),
                             std::strerror(errno));
    return done_;
}

int decode_batch(const CLI::App *command, const DecodeOptions &options)
{
    if (!options.labels.empty() || !options.json.empty())
        return usage_error(command, "--labels and --json name one file: decode one input with -o for them");
    if (options.f32 && options.type == "flac")
        return usage_error(command, "--format f32: FLAC holds 16-bit samples here; --type wav or raw");
    /* Every output name first: two inputs of one name would write one file. */
    std::vector<Job> plan;
    std::map<std::string, std::string> taken;
    for (const std::string &input : options.inputs) {
        Job job;
        job.input = input;
        job.output = options.folder + "/" + stem_of(input) + "." + options.type;
        const auto seen = taken.emplace(file_key(job.output), input);
        if (!seen.second)
            return usage_error(command, seen.first->second + " and " + input + " would both be written to " + job.output);
        plan.push_back(job);
    }
    if (!is_folder(options.folder) && !make_folder(options.folder)) {
        std::fprintf(stderr, "kvx: %s: no such folder, and it cannot be made: %s\n", options.folder.c_str(),
                     std::strerror(errno));
        return kExitFailure;
    }

    int worst = 0; /* 1 beats 3 beats 0 */
    auto count = [&worst](int status) {
        if (status == 3 && worst == 0) worst = 3;
        else if (status != 0 && status != 3) worst = kExitFailure;
    };
    std::vector<Job> running;
    size_t next = 0;
    const size_t most = options.jobs > 0 ? options.jobs : 1;
    while (next < plan.size() || !running.empty()) {
        while (next < plan.size() && running.size() < most) {
            Job job = plan[next++];
            if (!options.force && exists(job.output)) {
                std::fprintf(stderr, "%s: %s exists already (--force replaces it)\n", job.input.c_str(),
                             job.output.c_str());
                count(kExitFailure);
                continue;
            }
            if (!start_job(&job, child_args(options, job.input, job.output))) {
                std::fprintf(stderr, "%s: cannot start a decode: %s\n", job.input.c_str(), std::strerror(errno));
                count(kExitFailure);
                continue;
            }
            running.push_back(job);
        }
        if (running.empty()) continue;
        int status = kExitFailure;
        const int ended = wait_job(running, &status);
        if (ended < 0) {
            std::fprintf(stderr, "kvx: lost track of the decodes: %s\n", std::strerror(errno));
            return kExitFailure;
        }
        Job job = running[static_cast<size_t>(ended)];
        running.erase(running.begin() + ended);
        pass_on(job, job_log(&job), status);
        count(status);
    }
    return worst;
}
