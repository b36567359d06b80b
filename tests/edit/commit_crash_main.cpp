// A commit killed at random moments.  A child process opens a session on a
// file of more than 20 chunks, inserts ten seconds in the middle and
// commits in place; the parent kills it with SIGKILL after a delay drawn
// uniformly from the commit's measured duration.  After every kill the
// file must be the old one or the whole new one (its end date and time
// aside, which are the commit's), never anything between; a session in the
// same folder afterwards, with what the killed ones left lying about, must
// work.
//
//   kvx_commit_crash [kills] [seed] [folder]
//
// Prints how many kills found the old file, with or without a partly
// written output beside it, how many the new one, with or without the
// session's files still there, and how many came after the child had
// finished.  Exits 1 on any file that is neither.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "kvx.h"
#include "kvx_frames.h"
#include "kvx_gen.h"

namespace {

using kvxgen::Bytes;
using Clock = std::chrono::steady_clock;

constexpr size_t kInserted = 417;  // 10 s of SP

Bytes read_whole(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The file without its end date and time.
Bytes masked(Bytes b)
{
    if (b.size() >= 62) std::memset(b.data() + 50, 0, 12);
    return b;
}

std::vector<std::string> session_named(const std::string &folder)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strncmp(e->d_name, "~kvx", 4) == 0) names.push_back(folder + e->d_name);
        closedir(d);
    }
    return names;
}

bool any_ends_with(const std::vector<std::string> &names, const char *end)
{
    for (const std::string &n : names)
        if (n.size() >= std::strlen(end) && n.find(end) != std::string::npos) return true;
    return false;
}

// Opens, edits and commits; tells the parent through `ready` just before
// the commit.  Returns the process's exit code.
int child(const std::string &target, int ready)
{
    uint32_t r = 99;
    WriteHandle *h = KVXCreateFile(target.c_str(), 1, &r);
    if (h == nullptr) return 10;
    uint8_t mode = 0;
    if (KVXSetWritePointer(h, 3600000, &mode, 1, 0) != 0) return 11;
    WriteStatus status{};
    for (size_t i = 0; i < kInserted; ++i) {
        const Bytes frame = kvxgen::sp_full(static_cast<uint32_t>(900000 + i), false);
        if (KVXWriteFile(h, frame.data(), i + 1 == kInserted, &status) != 0) return 12;
    }
    const char go = 'g';
    if (write(ready, &go, 1) != 1) return 13;
    r = KVXCloseFile(h, "");
    return r == 0 ? 0 : 20;
}

// Runs a child; kills it `delay` seconds after it reports being ready (a
// negative delay: never).  *finished whether it had exited by itself.
bool run_child(const std::string &target, double delay, bool *finished, double *seconds, double *outputAt = nullptr)
{
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        close(fds[0]);
        _exit(child(target, fds[1]));
    }
    close(fds[1]);
    char go = 0;
    const bool ready = read(fds[0], &go, 1) == 1;
    close(fds[0]);
    const auto start = Clock::now();
    int status = 0;
    if (ready && delay >= 0) {
        timespec t{static_cast<time_t>(delay), static_cast<long>((delay - static_cast<time_t>(delay)) * 1e9)};
        nanosleep(&t, nullptr);
        *finished = waitpid(pid, &status, WNOHANG) == pid;
        if (!*finished) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    } else {
        // Watched: when the output appears beside the target.
        const std::string folder = target.substr(0, target.rfind('/') + 1);
        while (waitpid(pid, &status, WNOHANG) == 0)
            if (outputAt != nullptr && *outputAt < 0 && any_ends_with(session_named(folder), "out.tmp"))
                *outputAt = std::chrono::duration<double>(Clock::now() - start).count();
        *finished = true;
    }
    *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ready || (*finished && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))) {
        std::fprintf(stderr, "the child failed: ready %d, status %d\n", int(ready), status);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int kills = argc > 1 ? std::atoi(argv[1]) : 20;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1;
    std::string folder;
    if (argc > 3) {
        folder = argv[3];
    } else {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kvx-crash-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return 2;
        folder = pattern;
    }
    if (folder.back() != '/') folder += '/';
    mkdir(folder.c_str(), 0700);
    const std::string target = folder + "long.kvx";

    // 22 chunks of SP, about 54 minutes.
    kvxgen::File file;
    for (size_t done = 0; done < 22 * 6160; done += 506)
        file.segments.push_back(kvxgen::random_segment(0, 506, static_cast<uint32_t>(seed * 1000 + done)));
    const Bytes old = kvxgen::build(file);
    const size_t oldFrames = kvxgen::read_file(old).frames.size();
    kvxgen::write(target, old);

    // The commit's duration, and the complete new file.
    bool finished = false;
    double duration = 0, outputAt = -1;
    if (!run_child(target, -1, &finished, &duration, &outputAt)) return 2;
    const Bytes fresh = read_whole(target);
    if (kvxgen::read_file(fresh).frames.size() != oldFrames + kInserted || fresh.size() < old.size()) {
        std::fprintf(stderr, "the uninterrupted commit made a wrong file\n");
        return 2;
    }
    const Bytes oldMasked = masked(old), newMasked = masked(fresh);
    std::printf("file %zu bytes, new file %zu bytes; the commit takes %.3f s, its output appears after %.3f s\n",
                old.size(), fresh.size(), duration, outputAt);

    // Half the kills anywhere in the commit, half while its output is
    // written and put in place (the commit may wait for its dialog first).
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> anywhere(0.0, duration), writing(std::max(0.0, outputAt - 0.002), duration);
    int oldClean = 0, oldPartial = 0, newLeft = 0, newClean = 0, done = 0, bad = 0;
    for (int k = 0; k < kills; ++k) {
        for (const std::string &path : session_named(folder)) std::remove(path.c_str());
        kvxgen::write(target, old);
        const double wait = k % 2 == 0 ? anywhere(rng) : writing(rng);
        if (!run_child(target, wait, &finished, &duration)) {
            ++bad;
            continue;
        }
        const Bytes now = masked(read_whole(target));
        const std::vector<std::string> left = session_named(folder);
        if (std::getenv("KVX_CRASH_VERBOSE") != nullptr) {
            std::printf("kill %d after %.4f s: %s%s;", k, wait, finished ? "finished, " : "",
                        now == oldMasked ? "old" : now == newMasked ? "new" : "neither");
            for (const std::string &n : left) std::printf(" %s", n.c_str() + folder.size());
            std::printf("\n");
        }
        if (finished) {
            ++done;
            if (now != newMasked) ++bad, std::fprintf(stderr, "kill %d: finished, yet not the new file\n", k);
        } else if (now == oldMasked) {
            ++(any_ends_with(left, "out.tmp") ? oldPartial : oldClean);
        } else if (now == newMasked) {
            ++(left.empty() ? newClean : newLeft);
        } else {
            ++bad;
            std::fprintf(stderr, "kill %d: the file is neither (%zu bytes)\n", k, now.size());
        }
    }
    std::printf("%d kills: old file %d (%d with a partial output beside it), new file %d (%d with session files "
                "left), after the child finished %d; wrong %d\n",
                kills, oldClean + oldPartial, oldPartial, newClean + newLeft, newLeft, done, bad);

    // A later session in the folder, among what the last kill left.
    uint32_t r = 99;
    const Bytes before = read_whole(target);
    const size_t frames = kvxgen::read_file(before).frames.size();
    WriteHandle *h = KVXCreateFile(target.c_str(), 1, &r);
    uint8_t mode = 0;
    bool later = h != nullptr && KVXSetWritePointer(h, 1000, &mode, 1, 0) == 0;
    WriteStatus status{};
    for (size_t i = 0; later && i < 50; ++i)
        later = KVXWriteFile(h, kvxgen::sp_full(static_cast<uint32_t>(i), false).data(), i + 1 == 50, &status) == 0;
    later = later && KVXCloseFile(h, "") == 0 && kvxgen::read_file(read_whole(target)).frames.size() == frames + 50;
    std::printf("a later session in the folder: %s\n", later ? "works" : "FAILS");

    for (const std::string &path : session_named(folder)) std::remove(path.c_str());
    std::remove(target.c_str());
    std::remove((folder + "KVXMANAGEMENT.DAT").c_str());
    if (argc <= 3) rmdir(folder.c_str());
    return bad == 0 && later ? 0 : 1;
}
