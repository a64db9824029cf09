// Holds the single-instance lock for the tests until its standard input ends.
//   lock_holder FILE USER          take the lock, print "locked", wait, release
//   lock_holder FILE USER COMMAND  the same, but first start COMMAND as a detached process
//   lock_holder idle               print "idle" and wait (the COMMAND the tests use)
#include <unistd.h>

#include <cstdio>
#include <string>

#include "foundation/VeltStartupOneInstanceOnFile.h"
#include "foundation/platform/Process.h"
#include "tests/support/HelperProgram.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "idle") {
        Say("idle");
        WaitForEndOfInput();
        return 0;
    }
    if (argc < 3) return 2;
    try {
        StartupOneInstanceOnFile(argv[1], argv[2]);
    } catch (const EStartupOneInstanceOnFile&) {
        Say("refused");
        return 3;
    }
    if (argc > 3 && platform::StartDetachedProcess(argv[3]) != 0) return 4;
    Say("locked");
    WaitForEndOfInput();
    ShutdownOneInstanceOnFile();
    Say("released");
    return 0;
}
