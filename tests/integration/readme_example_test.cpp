// The README's C example, taken from the README exactly as written, builds
// as strict C99 without a single warning.
#include "TestEnvironment.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <string>

namespace {

using namespace tavro::test;

// The first ```c block of the text.
std::string CExample(const std::string& readme) {
    size_t start = readme.find("```c\n");
    if (start == std::string::npos) return "";
    start += 5;
    size_t end = readme.find("```", start);
    return end == std::string::npos ? "" : readme.substr(start, end - start);
}

TEST(ReadmeExample, CompilesAsPedanticC99WithoutWarnings) {
    const std::string example = CExample(ReadFile(TAVRO_SOURCE_DIR "/README.md"));
    ASSERT_NE(example.find("TV_Attach"), std::string::npos) << "no C example in README.md";
    TempHome home;
    const std::string source = home.path() + "/client.c";
    const std::string log = home.path() + "/cc.log";
    WriteFile(source, example);
    const std::string command = "cc -std=c99 -pedantic -Wall -Wextra -Werror -I" TAVRO_SOURCE_DIR "/api -c " +
                                source + " -o " + home.path() + "/client.o >" + log + " 2>&1";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << ReadFile(log);
    EXPECT_EQ(ReadFile(log), "");
}

}  // namespace
