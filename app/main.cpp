// zelkotransfer: the transfer agent's entry point.
#include <cstdio>
#include <iostream>
#include <string>

#include "foundation/VeltEnvironment.h"
#include "foundation/VeltIPCMutex.h"
#include "foundation/VeltStartupOneInstanceOnFile.h"
#include "foundation/VeltUtilsStringOperations.h"

namespace {

bool HasSwitch(int argc, char** argv, const std::string& name) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = LowerCaseAscii(argv[i]);
        if (argument == "/" + name || argument == "--" + name) return true;
    }
    return false;
}

void PrintVersion() {
    const TEnvironment environment({});
    const TEnvironmentProgramData& program = environment.ProgramData();
    std::cout << "ZELKO KMR Transfer " << program.sProgramVersion << "\n"
              << "machine ID: " << program.sProgramLicence << "\n";
}

void PrintHelp() {
    std::cout << "usage: zelkotransfer [switches]\n"
                 "\n"
                 "  /version, --version   print the program version and the machine ID, then exit\n"
                 "  /help, --help         print this list, then exit\n";
}

}  // namespace

int main(int argc, char** argv) {
    // These two answer without a display and without taking the single-instance lock.
    if (HasSwitch(argc, argv, "version")) {
        PrintVersion();
        return 0;
    }
    if (HasSwitch(argc, argv, "help")) {
        PrintHelp();
        return 0;
    }

    TEnvironmentOptions options;
    options.lCreateCommonApplicationDataPath = true;
    options.lCreateUserLocalTempPath = true;
    const TEnvironment environment(options);
    CreateProcessNamedMutex("ZELKOTRANSFER");
    const TEnvironmentProgramData& program = environment.ProgramData();
    try {
        StartupOneInstanceOnFile(environment.Paths().sCommonApplicationData + program.sProgramBaseName + ".lck",
                                 environment.CurrentUserData().sUserName);
    } catch (const EStartupOneInstanceOnFile& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    }
    // The program body is built on top of this; until then the agent only starts and stops.
    std::cout << "ZELKO KMR Transfer " << program.sProgramVersion << " started\n";
    ShutdownOneInstanceOnFile();
    return 0;
}
