// scripts/demo as a person runs it, without a terminal: it must show the files arriving
// at the server and in the backup directories, and Ctrl+C (SIGINT to its process group)
// must end it cleanly with nothing left running.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/Sandbox.h"
#include "tests/support/WaitFor.h"

extern char** environ;

namespace {

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

TEST(DemoTest, ShowsTheMainJobAndEndsCleanlyOnCtrlC) {
    TSandbox sandbox;
    const std::string output = sandbox.Path("demo.out");
    std::vector<std::string> words = {"/bin/bash", std::string(ZELKO_SOURCE_DIR) + "/scripts/demo"};
    std::vector<std::string> variables = {std::string("ZELKO_BINARY=") + ZELKO_BINARY,
                                          "TMPDIR=" + sandbox.Root().string()};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("ZELKO_", 0) != 0 && variable.rfind("TMPDIR=", 0) != 0) variables.push_back(variable);
    }
    const auto pointers = [](std::vector<std::string>& list) {
        std::vector<char*> result;
        for (std::string& item : list) result.push_back(item.data());
        result.push_back(nullptr);
        return result;
    };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // Its own process group, with Ctrl+C acting as in a terminal.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    auto argv = pointers(words);
    auto envp = pointers(variables);
    ASSERT_EQ(posix_spawn(&pid, words[0].c_str(), &actions, &attributes, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);

    int status = 0;
    const bool arrived =
        waitFor([&] { return Occurrences(TSandbox::ReadFile(output), "backup ") >= 3; }, std::chrono::seconds(90));
    kill(-pid, SIGINT);
    const bool ended = waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(60));
    if (!ended) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    const std::string shown = TSandbox::ReadFile(output);
    ASSERT_TRUE(arrived) << shown;
    ASSERT_TRUE(ended) << shown;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;

    for (const char* line : {"server     server/files/ama_PNR0001", "server     server/files/ama_PNR0002",
                             "server     server/files/gali_GAL0001", "backup     bak/ama/ama_PNR0001",
                             "backup     bak/galileo/gali_GAL0001", "] program stop (from watch)"}) {
        EXPECT_NE(shown.find(line), std::string::npos) << line << "\n" << shown;
    }
    // Nothing of the demo is left: no process of its group, no temporary folder.
    EXPECT_TRUE(waitFor([&] { return kill(-pid, 0) != 0 && errno == ESRCH; }, std::chrono::seconds(5)));
    std::size_t leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(sandbox.Root())) {
        leftovers += entry.path().filename().string().rfind("zelko-demo-", 0) == 0;
    }
    EXPECT_EQ(leftovers, 0u);
}
