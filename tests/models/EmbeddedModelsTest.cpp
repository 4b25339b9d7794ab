#include "EmbeddedModels.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace
{

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file.good()) << path;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(EmbeddedModels, TableHoldsTheFilesInCaptureOrder)
{
    // capture order: Dist 0.2, 0.35, 0.5, 0.7, 0.8, 1.0
    const char* const files[] = {"dist-0.20.nam", "dist-0.35.nam", "dist-0.50.nam",
                                 "dist-0.70.nam", "dist-0.80.nam", "dist-1.00.nam"};
    static_assert(kEmbeddedModelCount == 6, "one entry per capture");
    static_assert(sizeof(kEmbeddedModels) / sizeof(kEmbeddedModels[0]) == kEmbeddedModelCount, "");

    for (size_t i = 0; i < kEmbeddedModelCount; ++i)
    {
        SCOPED_TRACE(files[i]);
        const std::string expected = readFile(std::string(KORVANE_SOURCE_DIR) + "/plugin/resources/" + files[i]);
        const EmbeddedModel& entry = kEmbeddedModels[i];
        ASSERT_NE(entry.json, nullptr);
        ASSERT_EQ(entry.length, expected.size());
        EXPECT_EQ(std::memcmp(entry.json, expected.data(), entry.length), 0);
        EXPECT_EQ(entry.json[entry.length], '\0') << "one NUL follows each text";
        EXPECT_EQ(std::strlen(entry.json), entry.length) << "no NUL inside a text";
    }
}

} // namespace
