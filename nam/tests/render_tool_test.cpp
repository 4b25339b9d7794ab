#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

namespace
{

int run(const std::string& arguments)
{
    const std::string command = std::string("\"") + NAM_RENDER_PATH + "\" " + arguments + " 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

} // namespace

TEST(RenderTool, RendersTheFixtureInAnyBlockSize)
{
    const std::string out = std::string(KORVANE_BINARY_DIR) + "/tests/nam-render-fixture.f64";
    const std::vector<double> expected = namtest::readSamples(namtest::fixturePath("a2-output.f64"));
    for (const char* block : {"", " --block 1000"})
    {
        ASSERT_EQ(run(quoted(namtest::fixturePath("A2.nam")) + " " + quoted(namtest::fixturePath("a2-input.f64")) + " "
                      + quoted(out) + block),
                  0);
        const std::vector<double> got = namtest::readSamples(out);
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_NEAR(got[i], expected[i], 1e-5) << "sample " << i;
    }
    std::remove(out.c_str());
}

TEST(RenderTool, FailsClearlyOnBadArgumentsOrFiles)
{
    const std::string model = quoted(namtest::fixturePath("A2.nam"));
    const std::string input = quoted(namtest::fixturePath("a2-input.f64"));
    const std::string out = quoted(std::string(KORVANE_BINARY_DIR) + "/tests/nam-render-bad.f64");
    EXPECT_EQ(run(""), 2);
    EXPECT_EQ(run(model + " " + input), 2);
    EXPECT_EQ(run(model + " " + input + " " + out + " --block 0"), 2);
    EXPECT_EQ(run(model + " " + input + " " + out + " --block 12x"), 2);
    EXPECT_EQ(run(model + " " + input + " " + out + " --frobnicate"), 2);
    EXPECT_EQ(run(quoted(namtest::fixturePath("missing.nam")) + " " + input + " " + out), 1);
    EXPECT_EQ(run(quoted(namtest::fixturePath("README.md")) + " " + input + " " + out), 1);
    EXPECT_EQ(run(model + " " + quoted(namtest::fixturePath("README.md")) + " " + out), 1);
}
