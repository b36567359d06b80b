// Device link libraries found by name where a Linux host puts them, and the
// host's window found by its class.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "helpers.h"

namespace {

namespace fs = std::filesystem;

// The file behind a loaded module ("" when there is none).
std::string file_of(HMODULE module)
{
    FARPROC symbol = GetProcAddress(module, "StopTZ440V");
    Dl_info info{};
    if (symbol == nullptr || dladdr(reinterpret_cast<void *>(symbol), &info) == 0) return "";
    return info.dli_fname;
}

class Modules : public kvxtest::TempFolder {
protected:
    void TearDown() override
    {
        unsetenv("KVX_LIBRARY_PATH");
        TempFolder::TearDown();
    }
    // Places the test module as `folder`/`name`.
    std::string place(const std::string &folder, const std::string &name)
    {
        fs::create_directories(path(folder));
        fs::copy_file(KVX_TEST_MODULE, path(folder + "/" + name), fs::copy_options::overwrite_existing);
        return path(folder + "/" + name);
    }
};

// In each folder of KVX_LIBRARY_PATH in turn, the name itself and then the
// Linux library of its stem; a name with a slash only as given.
TEST_F(Modules, NamesAreLookedForInTheFoldersOfThePathExactFirst)
{
    const struct {
        std::vector<const char *> files; // folder/name
        const char *name;
        const char *loaded; // folder/name, or null: not found
    } cases[] = {
        {{"a/libcomm.so", "b/COMM.DLL"}, "COMM.DLL", "a/libcomm.so"},
        {{"a/libcomm.so", "a/COMM.DLL"}, "COMM.DLL", "a/COMM.DLL"},
        {{"b/libcomm.so"}, "COMM.DLL", "b/libcomm.so"},
        {{"b/libcomm.so"}, "Comm.Dll", "b/libcomm.so"},
        {{"b/libcomm.so"}, "COMM", "b/libcomm.so"},
        {{"b/libzozuvu.so", "a/COMM.DLL"}, "ZOZUVU.DLL", "b/libzozuvu.so"},
        {{"c/libcomm.so", "a/comm.dll"}, "COMM.DLL", nullptr}, // c is not on the path; names are exact
        {{"a/libcomm.so.1", "a/libCOMM.so"}, "COMM.DLL", nullptr},
        {{}, "", nullptr},
    };
    for (const auto &c : cases) {
        const std::string folder = path(std::to_string(&c - cases));
        setenv("KVX_LIBRARY_PATH", (folder + "/a::" + folder + "/b").c_str(), 1);
        for (const char *file : c.files) place(std::to_string(&c - cases) + "/" + fs::path(file).parent_path().string(),
                                              fs::path(file).filename().string());
        SetLastError(0);
        HMODULE module = LoadLibraryA(c.name);
        if (c.loaded == nullptr) {
            EXPECT_EQ(module, nullptr) << &c - cases;
            EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND) << &c - cases;
            continue;
        }
        EXPECT_EQ(file_of(module), folder + "/" + c.loaded) << &c - cases;
        EXPECT_TRUE(FreeLibrary(module));
    }
    // A path is not searched for; a file that is no library does not load,
    // and the search passes it by, as Windows passes a DLL of another kind.
    const std::string given = place("given", "libcomm.so");
    HMODULE module = LoadLibraryA(given.c_str());
    EXPECT_EQ(file_of(module), given);
    EXPECT_TRUE(FreeLibrary(module));
    std::ofstream(path("given/COMM.DLL")) << "not a library";
    EXPECT_EQ(LoadLibraryA(path("given/COMM.DLL").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    setenv("KVX_LIBRARY_PATH", path("given").c_str(), 1);
    module = LoadLibraryA("COMM.DLL");
    EXPECT_EQ(file_of(module), given);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// After the path, the folder of the kvx library: here the test program,
// which links it.
TEST_F(Modules, LastInTheFolderOfTheLibraryItself)
{
    const std::string stem = "kvxprobe" + std::to_string(getpid());
    const fs::path beside = fs::read_symlink("/proc/self/exe").parent_path() / ("lib" + stem + ".so");
    fs::copy_file(KVX_TEST_MODULE, beside, fs::copy_options::overwrite_existing);
    setenv("KVX_LIBRARY_PATH", path("empty").c_str(), 1);
    HMODULE module = LoadLibraryA((stem + ".DLL").c_str());
    const std::string file = file_of(module);
    fs::remove(beside);
    EXPECT_EQ(file, beside.string());
    EXPECT_TRUE(FreeLibrary(module));
}

// The same library twice is one handle counted twice; a handle that is no
// module, or no more, is refused; entry points are found by name only.
TEST_F(Modules, HandlesAreCountedAndCheckedAndEntriesFoundByName)
{
    const std::string file = place("m", "COMM.DLL");
    HMODULE first = LoadLibraryA(file.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(LoadLibraryA(file.c_str()), first);
    EXPECT_NE(GetProcAddress(first, "ReadKVXFile"), nullptr);
    const struct {
        LPCSTR name;
        DWORD error;
    } missing[] = {{"ReadKVXFileX", ERROR_PROC_NOT_FOUND}, {"", ERROR_PROC_NOT_FOUND},
                   {reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(3)), ERROR_PROC_NOT_FOUND},
                   {nullptr, ERROR_PROC_NOT_FOUND}};
    for (const auto &m : missing) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(first, m.name), nullptr) << &m - missing;
        EXPECT_EQ(GetLastError(), m.error) << &m - missing;
    }
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_NE(GetProcAddress(first, "ReadKVXFile"), nullptr); // one reference left
    EXPECT_TRUE(FreeLibrary(first));
    int notAModule = 0;
    for (HMODULE bad : {first, static_cast<HMODULE>(nullptr), reinterpret_cast<HMODULE>(&notAModule)}) {
        SetLastError(0);
        EXPECT_FALSE(FreeLibrary(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(GetProcAddress(bad, "ReadKVXFile"), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

LRESULT CALLBACK quiet_proc(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

// FindWindowA sees the windows made with a class, by class and title without
// regard to case, the last made first, and not once they are gone.
TEST(FindWindow, FindsLiveClassWindowsByClassAndTitle)
{
    EXPECT_EQ(KVXPosixCreateClassWindow(nullptr, "t", quiet_proc, nullptr), nullptr);
    EXPECT_EQ(KVXPosixCreateClassWindow("Vantrex", "t", nullptr, nullptr), nullptr);
    HWND host = KVXPosixCreateClassWindow("Vantrex", "Main", quiet_proc, nullptr);
    HWND other = KVXPosixCreateClassWindow("Other", nullptr, quiet_proc, nullptr);
    HWND second = KVXPosixCreateClassWindow("vantrex", "Second", quiet_proc, nullptr);
    HWND plain = KVXPosixCreateWindow(quiet_proc, nullptr); // a message window: never found
    HWND elsewhere = nullptr;
    std::thread([&] { elsewhere = KVXPosixCreateClassWindow("Gone", "", quiet_proc, nullptr); }).join();
    const struct {
        const char *className, *title;
        HWND found;
    } cases[] = {
        {"Vantrex", nullptr, second}, {"VANTREX", "main", host}, {"Vantrex", "Second", second},
        {"Vantrex", "", nullptr},     {"Vantre", nullptr, nullptr}, {"Other", "", other},
        {nullptr, "MAIN", host},      {nullptr, nullptr, second},   {"Gone", nullptr, nullptr},
    };
    for (const auto &c : cases) EXPECT_EQ(FindWindowA(c.className, c.title), c.found) << &c - cases;
    EXPECT_NE(elsewhere, nullptr); // made, and gone with its thread
    EXPECT_TRUE(KVXPosixDestroyWindow(second));
    EXPECT_EQ(FindWindowA("Vantrex", nullptr), host);
    EXPECT_TRUE(KVXPosixDestroyWindow(host));
    EXPECT_EQ(FindWindowA("Vantrex", nullptr), nullptr);
    EXPECT_EQ(FindWindowA(nullptr, nullptr), other);
    EXPECT_TRUE(KVXPosixDestroyWindow(other));
    EXPECT_TRUE(KVXPosixDestroyWindow(plain));
    EXPECT_EQ(FindWindowA(nullptr, nullptr), nullptr);
}

} // namespace
