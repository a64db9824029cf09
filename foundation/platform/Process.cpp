#include "foundation/platform/Process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

extern char** environ;

namespace platform {

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < commandLine.size(); ++i) {
        const char c = commandLine[i];
        if (c == '\\' && i + 1 < commandLine.size() && (commandLine[i + 1] == '"' || commandLine[i + 1] == '\\')) {
            word += commandLine[++i];
            inWord = true;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;  // "" is an empty word of its own
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

namespace {

// The started program is a process of its own: it gets none of our descriptors (a
// kept lock file would otherwise stay locked after we end), and neither our blocked
// signals nor our signal dispositions.
struct TSpawnSettings {
    posix_spawn_file_actions_t rActions;
    posix_spawnattr_t rAttributes;

    TSpawnSettings() {
        posix_spawn_file_actions_init(&rActions);
        posix_spawn_file_actions_addclosefrom_np(&rActions, STDERR_FILENO + 1);
        posix_spawnattr_init(&rAttributes);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&rAttributes, &none);
        posix_spawnattr_setsigdefault(&rAttributes, &all);
        posix_spawnattr_setflags(&rAttributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~TSpawnSettings() {
        posix_spawnattr_destroy(&rAttributes);
        posix_spawn_file_actions_destroy(&rActions);
    }
    TSpawnSettings(const TSpawnSettings&) = delete;
    TSpawnSettings& operator=(const TSpawnSettings&) = delete;
};

// Nobody waits for the program we start, so a thread of ours collects its exit status;
// when we end first, the system adopts it.
void ReapWhenDone(pid_t pid) {
    try {
        std::thread([pid] {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the program still runs; it stays a zombie until we end.
    }
}

}  // namespace

int StartDetachedProcess(const std::string& commandLine) {
    const std::vector<std::string> words = SplitCommandLine(commandLine);
    if (words.empty()) return ENOENT;
    std::vector<char*> arguments;
    for (const std::string& word : words) arguments.push_back(const_cast<char*>(word.c_str()));
    arguments.push_back(nullptr);

    TSpawnSettings settings;
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, arguments[0], &settings.rActions, &settings.rAttributes,
                                   arguments.data(), environ);
    if (error != 0) return error;
    ReapWhenDone(pid);
    return 0;
}

}  // namespace platform
