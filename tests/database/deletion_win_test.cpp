// Deleting recordings through the Windows shell, whose confirmation is a
// modal dialog: a watcher thread answers it as a user would.
#include "../header/header_fixture.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using ShellDeleting = DatabaseFolder;

std::string list(const std::vector<std::string> &paths)
{
    std::string out;
    for (const std::string &p : paths) out += p + '\0';
    return out + '\0';
}

// Clicks `button` in every visible dialog of this process until stopped.
class Answerer {
public:
    explicit Answerer(int button) : button_(button), thread_([this] { run(); }) {}
    ~Answerer()
    {
        stop_ = true;
        thread_.join();
    }
    int answered() const { return answered_; }

private:
    static BOOL CALLBACK visit(HWND window, LPARAM self)
    {
        auto *me = reinterpret_cast<Answerer *>(self);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        char name[16] = {};
        GetClassNameA(window, name, sizeof name);
        if (pid != GetCurrentProcessId() || !IsWindowVisible(window) || std::string(name) != "#32770") return TRUE;
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(me->button_, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, me->button_)));
        ++me->answered_;
        return TRUE;
    }
    void run()
    {
        while (!stop_) {
            EnumWindows(visit, reinterpret_cast<LPARAM>(this));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    int button_;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

// Declined: the files stay, a locked one read-only now, an unlocked one
// untouched, and the answer is 1.  Confirmed: they go, and it is 0.
TEST_F(ShellDeleting, ConfirmedFilesGoDeclinedOnesStay)
{
    kvxgen::Bytes bytes = recording(10);
    bytes[68] = 0; // locked
    const std::string locked = write("locked.kvx", bytes);
    bytes[68] = 0xFF;
    const std::string a = write("a.kvx", bytes), b = write("b.kvx", bytes);
    {
        Answerer no(IDNO);
        EXPECT_EQ(KVXDeleteFiles(list({a, locked, b}).c_str()), 1);
    }
    EXPECT_TRUE(exists("a.kvx") && exists("b.kvx") && exists("locked.kvx"));
    EXPECT_EQ(GetFileAttributesA(a.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_NE(GetFileAttributesA(locked.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    set_read_only("locked.kvx", false);
    {
        Answerer yes(IDYES);
        EXPECT_EQ(KVXDeleteFiles(list({a, b}).c_str()), 0);
    }
    EXPECT_FALSE(exists("a.kvx") || exists("b.kvx"));
}

} // namespace
