#include "tests/support/PeerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

extern char** environ;

TPeerCommand TPeerProcess::PythonPeer(const std::string& scriptName, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), PeerFile(scriptName));
    return {kPython, std::move(arguments), true};
}

std::string TPeerProcess::PeerFile(const std::string& name) {
    return (std::filesystem::path(__FILE__).parent_path().parent_path() / "peers" / name).string();
}

TPeerProcess::TPeerProcess(const TPeerCommand& command, std::chrono::milliseconds startTimeout) {
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("peer: pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::vector<std::string> words{command.sProgram};
    words.insert(words.end(), command.slArguments.begin(), command.slArguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int error = posix_spawn(&_pid, command.sProgram.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    _iOutput = output[0];
    if (error != 0) {
        _pid = -1;
        close(_iOutput);
        throw std::runtime_error("peer: cannot start " + command.sProgram);
    }
    try {
        if (command.lReadsPortLine) ReadPortLine(startTimeout);
    } catch (...) {
        Stop();
        throw;
    }
    _thDrain = std::thread([fd = _iOutput] {
        char chunk[4096];
        while (read(fd, chunk, sizeof chunk) > 0) {
        }
    });
}

TPeerProcess::~TPeerProcess() { Stop(); }

void TPeerProcess::ReadPortLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string buffer;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw std::runtime_error("peer: no port announced in time");
        pollfd waiting{_iOutput, POLLIN, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        // One byte at a time: nothing after the port line may be swallowed here.
        char c;
        const ssize_t n = read(_iOutput, &c, 1);
        if (n <= 0) throw std::runtime_error("peer: ended before announcing its port");
        if (c != '\n') {
            buffer += c;
            continue;
        }
        if (buffer.rfind("PORT ", 0) == 0) {
            _iPort = std::stoi(buffer.substr(5));
            return;
        }
        buffer.clear();
    }
}

void TPeerProcess::Stop() {
    if (_pid > 0) {
        kill(_pid, SIGTERM);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        pid_t ended = 0;
        while ((ended = waitpid(_pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (ended == 0) {
            kill(_pid, SIGKILL);
            while (waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        _pid = -1;
    }
    // The drain thread sees the end of the pipe once the peer is gone.
    if (_thDrain.joinable()) _thDrain.join();
    if (_iOutput >= 0) close(_iOutput);
    _iOutput = -1;
}
