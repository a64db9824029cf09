#include "foundation/platform/Console.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace platform {

namespace {

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};

termios gSavedTerminal{};

// Ctrl+C while the password is typed must not leave the terminal without echo: put it
// back, then end as the signal would have.
void RestoreAndRaise(int signalNumber) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSavedTerminal);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// Echo is switched off for the life of the object and restored after.
class TEchoOff {
public:
    TEchoOff() {
        if (tcgetattr(STDIN_FILENO, &gSavedTerminal) != 0) return;
        struct sigaction restore {};
        restore.sa_handler = RestoreAndRaise;
        sigemptyset(&restore.sa_mask);
        for (std::size_t i = 0; i < std::size(kInterruptions); ++i) {
            sigaction(kInterruptions[i], &restore, &_aPrevious[i]);
        }
        termios quiet = gSavedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        _lActive = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        _lHandlers = true;
    }
    ~TEchoOff() {
        if (_lActive) tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSavedTerminal);
        if (!_lHandlers) return;
        for (std::size_t i = 0; i < std::size(kInterruptions); ++i)
            sigaction(kInterruptions[i], &_aPrevious[i], nullptr);
    }
    TEchoOff(const TEchoOff&) = delete;
    TEchoOff& operator=(const TEchoOff&) = delete;

private:
    struct sigaction _aPrevious[std::size(kInterruptions)]{};
    bool _lActive = false;
    bool _lHandlers = false;
};

}  // namespace

std::optional<std::string> ReadSecretLine(const std::string& prompt) {
    std::string line;
    bool gotLine = false;
    if (isatty(STDIN_FILENO)) {
        std::cerr << prompt << std::flush;
        TEchoOff echoOff;
        gotLine = static_cast<bool>(std::getline(std::cin, line));
    } else {
        gotLine = static_cast<bool>(std::getline(std::cin, line));
    }
    if (!gotLine && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace platform
