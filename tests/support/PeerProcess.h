#pragma once
// A local server (usually a Python script of tests/peers) run as a real child process for
// one test. It announces its port by printing "PORT <n>" on standard output; the test
// waits for that line. The process is ended when the object goes.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

struct TPeerCommand {
    std::string sProgram;  // absolute path
    std::vector<std::string> slArguments;
    bool lReadsPortLine = true;  // false: Port() stays 0, the test knows the port itself
};

class TPeerProcess {
public:
    static constexpr const char* kPython = "/usr/bin/python3";

    // /usr/bin/python3 tests/peers/<scriptName> arguments...
    static TPeerCommand PythonPeer(const std::string& scriptName, std::vector<std::string> arguments);
    // Path of a file in tests/peers.
    static std::string PeerFile(const std::string& name);

    // Raises std::runtime_error when the peer cannot start or prints no port in time.
    explicit TPeerProcess(const TPeerCommand& command,
                          std::chrono::milliseconds startTimeout = std::chrono::seconds(30));
    ~TPeerProcess();
    TPeerProcess(const TPeerProcess&) = delete;
    TPeerProcess& operator=(const TPeerProcess&) = delete;

    int Port() const { return _iPort; }
    pid_t Pid() const { return _pid; }
    // "127.0.0.1:<port>"
    std::string HostAndPort() const { return "127.0.0.1:" + std::to_string(_iPort); }
    // Ends the peer (SIGTERM, then SIGKILL after 5 s) and waits for it; idempotent.
    void Stop();

private:
    void ReadPortLine(std::chrono::milliseconds timeout);

    pid_t _pid = -1;
    int _iOutput = -1;
    int _iPort = 0;
    std::thread _thDrain;  // reads on after the port line, so the peer never blocks on a full pipe
};
