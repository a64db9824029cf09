#pragma once
// The real zelkotransfer program run for one test, with its XDG homes in the test's
// sandbox: standard output and error go to files there, standard input comes from a
// text the test gives. The process is killed if the test leaves it running.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Sandbox.h"
#include "tests/support/WaitFor.h"

extern char** environ;

// Where the program keeps its files in the sandbox's XDG homes.
struct TAgentHome {
    explicit TAgentHome(const TSandbox& sandbox)
        : sAppDir(sandbox.DataHome() + "/ZELKO KMR Transfer/ZELKO KMR Transfer/"),
          sTempDir(sandbox.CacheHome() + "/Temp/ZELKO KMR Transfer/ZELKO KMR Transfer/") {}
    std::string LogFile() const { return sAppDir + "zelkotransfer.log"; }
    std::string LockFile() const { return sAppDir + "zelkotransfer.lck"; }
    std::string ConfigurationFile() const { return sAppDir + "zelkotransfer.cfg"; }
    std::string Log() const { return TSandbox::ReadFile(LogFile()); }
    bool LogHolds(const std::string& text) const { return Log().find(text) != std::string::npos; }

    std::string sAppDir;
    std::string sTempDir;
};

class TAgentProcess {
public:
    // Runs ZELKO_BINARY with the arguments; name tells its output files apart.
    TAgentProcess(const TSandbox& sandbox, const std::vector<std::string>& arguments, const std::string& name = "agent",
                  const std::string& input = "")
        : _sOutFile(sandbox.Path(name + ".out")), _sErrFile(sandbox.Path(name + ".err")) {
        const std::string inFile = sandbox.WriteFile(name + ".in", input);
        std::vector<std::string> words{ZELKO_BINARY};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<std::string> variables = {"XDG_DATA_HOME=" + sandbox.DataHome(),
                                              "XDG_CONFIG_HOME=" + sandbox.ConfigHome(),
                                              "XDG_CACHE_HOME=" + sandbox.CacheHome()};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string variable = *entry;
            if (variable.rfind("XDG_", 0) != 0) variables.push_back(variable);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inFile.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, _sOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, _sErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        const int error =
            posix_spawn(&_pid, words[0].c_str(), &actions, nullptr, Pointers(words).data(), Pointers(variables).data());
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) throw std::runtime_error("cannot start " + words[0]);
    }
    ~TAgentProcess() {
        if (_pid > 0 && !_iStatus) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
    }
    TAgentProcess(const TAgentProcess&) = delete;
    TAgentProcess& operator=(const TAgentProcess&) = delete;

    pid_t Pid() const { return _pid; }
    void Signal(int signalNumber) const { kill(_pid, signalNumber); }
    // The exit status, or none when the program still runs after the time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        waitFor([this] { return Ended(); }, timeout);
        return _iStatus;
    }
    bool Ended() {
        if (_iStatus) return true;
        int status = 0;
        if (waitpid(_pid, &status, WNOHANG) != _pid) return false;
        _iStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }
    std::string Output() const { return TSandbox::ReadFile(_sOutFile); }
    std::string Errors() const { return TSandbox::ReadFile(_sErrFile); }

private:
    static std::vector<char*> Pointers(std::vector<std::string>& words) {
        std::vector<char*> pointers;
        for (std::string& word : words) pointers.push_back(word.data());
        pointers.push_back(nullptr);
        return pointers;
    }

    std::string _sOutFile;
    std::string _sErrFile;
    pid_t _pid = -1;
    std::optional<int> _iStatus;
};

// Imports the document with the default administration password; the exit status. The
// file name has capitals: the program must take it as typed.
inline int ImportWithDefaultPassword(const TSandbox& sandbox, const std::string& document) {
    const std::string file = sandbox.WriteFile("Agency Config.XML", document);
    TAgentProcess import(sandbox, {"/importconfig=" + file}, "import", "opalgrey\n");
    return import.Wait().value_or(-1);
}
