#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/VeltUtilsRunElevateSupport.h"
#include "foundation/platform/Process.h"
#include "tests/support/Sandbox.h"
#include "tests/support/WaitFor.h"

namespace {

// Children of this process still known to the system, zombies included.
int ChildrenOfThisProcess() {
    int children = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        if (!std::getline(stat, text)) continue;
        const auto afterName = text.rfind(')');  // the command name may hold blanks
        if (afterName == std::string::npos) continue;
        std::istringstream fields(text.substr(afterName + 1));
        char state = 0;
        pid_t parent = 0;
        if (fields >> state >> parent && parent == getpid()) ++children;
    }
    return children;
}

}  // namespace

TEST(ProcessTest, CommandLineSplitsAsAShellWould) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"prog a  b\tc", {"prog", "a", "b", "c"}},
        {"\"/opt/my dir/setup\" /verysilent start_idle", {"/opt/my dir/setup", "/verysilent", "start_idle"}},
        {"pre\"fix with\"post next", {"prefix withpost", "next"}},
        {"prog \"\" last", {"prog", "", "last"}},
        {"prog \"say \\\"hi\\\"\" back\\\\slash", {"prog", "say \"hi\"", "back\\slash"}},
        {"prog C:\\path", {"prog", "C:\\path"}},
        {"  \t ", {}},
    };
    for (const auto& [commandLine, words] : cases)
        EXPECT_EQ(platform::SplitCommandLine(commandLine), words) << commandLine;
}

TEST(ProcessTest, MissingProgramFailsWithErrorCode2) {
    for (const std::string commandLine : {"/nonexistent/zelko-no-such-program /verysilent",
                                          "zelko-no-such-program-on-path start_idle"}) {
        std::string errorText;
        EXPECT_FALSE(RunProcess(commandLine, errorText));
        EXPECT_EQ(errorText, "failed to execute:" + commandLine + ", error code:2");
    }
}

TEST(ProcessTest, StartedProgramRunsDetachedAndLeavesNoZombie) {
    TSandbox sandbox;
    const std::string script = sandbox.WriteFile("my programs/writer.sh", "#!/bin/sh\nprintf '%s' \"$1\" > \"$2\"\n");
    chmod(script.c_str(), 0755);
    const std::string output = sandbox.Path("out file.txt");

    std::string errorText = "left over";
    ASSERT_TRUE(RunProcess("\"" + script + "\" \"hello world\" \"" + output + "\"", errorText)) << errorText;
    EXPECT_EQ(errorText, "");

    EXPECT_TRUE(waitFor([&] { return TSandbox::ReadFile(output) == "hello world"; }));
    EXPECT_TRUE(waitFor([] { return ChildrenOfThisProcess() == 0; })) << "the ended program must be reaped";
}
