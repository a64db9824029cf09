// Owns a named mutex for the tests.
//   mutex_holder NAME              get it, print "held", wait for the end of input, release it
//   mutex_holder NAME die          get it, print "held", then die by SIGKILL while owning it
//   mutex_holder NAME count FILE N at the end of input, open the mutex and N times add 1
//                                  to the number in FILE while owning it; print "done"
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "foundation/VeltIPCMutex.h"
#include "tests/support/HelperProgram.h"

namespace {

void AddOne(const std::string& file) {
    long value = 0;
    std::ifstream(file) >> value;
    std::ofstream(file, std::ios::trunc) << value + 1;
}

int Count(const std::string& name, const std::string& file, int rounds) {
    char go;
    if (read(STDIN_FILENO, &go, 1) < 0) return 2;  // the end of input is the start signal
    TMutex mutex(name);  // all copies create it at about the same moment
    for (int i = 0; i < rounds; ++i) {
        if (!mutex.Get(10000)) return 3;
        AddOne(file);
        if (!mutex.Release()) return 4;
    }
    Say("done");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string mode = argc > 2 ? argv[2] : "";
    if (mode == "count" && argc == 5) return Count(argv[1], argv[3], std::stoi(argv[4]));
    TMutex mutex(argv[1]);
    if (!mutex.Get(10000)) {
        Say("not acquired");
        return 3;
    }
    Say("held");
    if (mode == "die") raise(SIGKILL);
    WaitForEndOfInput();
    const bool released = mutex.Release();
    Say(released ? "released" : "release failed");
    return released ? 0 : 4;
}
