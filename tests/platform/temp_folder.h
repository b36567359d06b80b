// A folder of its own for each test, made under /tmp and removed after it.
#ifndef KVX_TESTS_PLATFORM_TEMP_FOLDER_H
#define KVX_TESTS_PLATFORM_TEMP_FOLDER_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace kvxtest {

class TempFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kvx-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        const std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    std::string dir_;
};

} // namespace kvxtest

#endif
