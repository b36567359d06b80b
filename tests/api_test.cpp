// The shared library, loaded as a caller loads it: opening through the
// exported functions.
#include <gtest/gtest.h>

#include <string>

#include "kvx.h"
#include "kvx_gen.h"

TEST(Exports, OpenThroughTheLibrary)
{
    const kvxgen::File file{{}, {kvxgen::random_segment(1, 100, 5), kvxgen::random_segment(3, 100, 6)}};
    const std::string path = ::testing::TempDir() + "kvx-api.kvx", bad = path + ".bad";
    ASSERT_TRUE(kvxgen::write(path, kvxgen::build(file)));
    ASSERT_TRUE(kvxgen::write(bad, kvxgen::with_magic(kvxgen::build(file), "KVX")));
    uint32_t length = 0;
    uint16_t codecs = 0;
    ASSERT_EQ(KVXActiveFile(path.c_str(), &length, &codecs), 0u);
    EXPECT_EQ(length, 100u * 24 + 100u * 30);
    EXPECT_EQ(codecs, KVX_CODEC_SP | KVX_CODEC_LP);
    EXPECT_EQ(KVXActiveFile2(bad.c_str(), &length, &codecs), static_cast<uint32_t>(KVX_ERR_NOT_KVX));
}
