// zelkotransfer: the transfer agent's entry point.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "foundation/VeltEnvironment.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "foundation/platform/Console.h"
#include "shell/ConfigurationExchange.h"
#include "shell/HeadlessFrontEnd.h"
#include "shell/ProgramBody.h"

namespace {

constexpr int kExitUnexpectedError = 3;

bool HasSwitch(const std::vector<std::string>& arguments, const std::string& name) {
    for (const std::string& raw : arguments) {
        const std::string argument = LowerCaseAscii(TrimBlanks(raw));
        if (argument == "/" + name || argument == "--" + name) return true;
    }
    return false;
}

// The value of "/name=VALUE" as typed: a file name keeps its case.
std::optional<std::string> SwitchValue(const std::vector<std::string>& arguments, const std::string& name) {
    const std::string prefix = "/" + name + "=";
    for (const std::string& raw : arguments) {
        const std::string argument = TrimBlanks(raw);
        if (LowerCaseAscii(argument.substr(0, prefix.size())) == prefix) return argument.substr(prefix.size());
    }
    return std::nullopt;
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
                 "  /help, --help         print this list, then exit\n"
                 "  /headless             run without windows: messages go to standard error, log lines\n"
                 "                        to standard output; SIGTERM or SIGINT ends the program\n"
                 "  /nosplash             show no start-up progress\n"
                 "  start_watch           start watching at once\n"
                 "  /exportconfig=FILE    write the stored configuration as an XML document to FILE\n"
                 "  /importconfig=FILE    check the XML document in FILE and store it as the configuration\n"
                 "\n"
                 "Export and import need an elevated user and ask for the administration password on\n"
                 "standard input.\n"
                 "Exit status: 0 normal end, 1 another copy is running, 2 no usable configuration\n"
                 "(or a refused export or import), 3 unexpected error.\n";
}

std::optional<std::string> AskPassword() { return platform::ReadSecretLine("administration password: "); }

int RunConfigurationCommand(const std::vector<std::string>& arguments) {
    TEnvironmentOptions options;
    options.lCreateCommonApplicationDataPath = true;
    const TEnvironment environment(options);
    if (const auto file = SwitchValue(arguments, "exportconfig")) {
        return ExportConfiguration(environment, *file, AskPassword, std::cout, std::cerr);
    }
    return ImportConfiguration(environment, *SwitchValue(arguments, "importconfig"), AskPassword, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    // These answer without a display and without taking the single-instance lock.
    if (HasSwitch(arguments, "version")) {
        PrintVersion();
        return 0;
    }
    if (HasSwitch(arguments, "help")) {
        PrintHelp();
        return 0;
    }
    try {
        if (SwitchValue(arguments, "exportconfig") || SwitchValue(arguments, "importconfig")) {
            return RunConfigurationCommand(arguments);
        }
        // Every run is headless until the windowed front end exists ("/headless" asks for it).
        THeadlessFrontEnd frontEnd(arguments, std::cout, std::cerr);
        return RunProgramBody(frontEnd);
    } catch (const std::exception& e) {
        std::cerr << "zelkotransfer: unexpected error: " << e.what() << std::endl;
        return kExitUnexpectedError;
    }
}
