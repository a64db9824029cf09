#pragma once
// A helper program started as a real child process, with its standard input and output
// on pipes: the test reads the lines it prints and ends it by closing its input.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/WaitFor.h"

extern char** environ;

class THelperProcess {
public:
    THelperProcess(const std::string& program, const std::vector<std::string>& arguments) {
        int input[2], output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
            throw std::runtime_error("helper: pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        std::vector<std::string> words{program};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        const int error = posix_spawn(&_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        close(output[1]);
        _input = input[1];
        _output = output[0];
        if (error != 0) {
            CloseFds();
            throw std::runtime_error("helper: cannot start " + program);
        }
        fcntl(_output, F_SETFL, O_NONBLOCK);
    }
    ~THelperProcess() {
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            Wait();
        }
        CloseFds();
    }
    THelperProcess(const THelperProcess&) = delete;
    THelperProcess& operator=(const THelperProcess&) = delete;

    pid_t Pid() const { return _pid; }

    // Waits for the next line the helper prints; empty when none comes in time.
    std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        waitFor([this] { return Drain() || _buffer.find('\n') != std::string::npos; }, timeout);
        const auto end = _buffer.find('\n');
        if (end == std::string::npos) return {};
        std::string line = _buffer.substr(0, end);
        _buffer.erase(0, end + 1);
        return line;
    }
    // Everything the helper printed until it closed its output.
    std::string ReadToEnd() {
        waitFor([this] { return Drain(); });
        return std::exchange(_buffer, {});
    }

    void CloseInput() {
        if (_input >= 0) close(_input);
        _input = -1;
    }
    void Kill(int signal = SIGKILL) { kill(_pid, signal); }

    // The raw wait status, once the helper has ended.
    int Wait() {
        int status = 0;
        while (waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
        }
        _pid = -1;
        return status;
    }

private:
    // Reads what is available; True once the helper has closed its output.
    bool Drain() {
        char chunk[512];
        for (;;) {
            const ssize_t n = read(_output, chunk, sizeof chunk);
            if (n > 0) {
                _buffer.append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            return n == 0;
        }
    }
    void CloseFds() {
        CloseInput();
        if (_output >= 0) close(_output);
        _output = -1;
    }

    pid_t _pid = -1;
    int _input = -1;
    int _output = -1;
    std::string _buffer;
};
