// The main of every test program.  Each process works in a temporary folder
// of its own, so that tests running side by side (ctest -j, two builds on
// one machine) never share a file; the folder goes when the program ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    std::error_code error;
#ifdef _WIN32
    // The test framework's temporary folder is %TEMP% here.
    const fs::path folder = fs::temp_directory_path(error) / ("kvxtest-" + std::to_string(_getpid()));
    const bool made = fs::create_directories(folder, error);
    if (made) _putenv_s("TEMP", folder.string().c_str());
#else
    const char *given = std::getenv("TEST_TMPDIR");
    const fs::path base = given != nullptr && given[0] != '\0' ? fs::path(given) : fs::temp_directory_path(error);
    std::string pattern = (base / "kvxtest-XXXXXX").string();
    const bool made = mkdtemp(pattern.data()) != nullptr;
    const fs::path folder = pattern;
    if (made) {
        chmod(pattern.c_str(), 0755); // tests that drop their rights still read their files
        setenv("TEST_TMPDIR", pattern.c_str(), 1);
    }
#endif
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (made) fs::remove_all(folder, error);
    return result;
}
