// Runs the collector and the sender on one watching rule, as the program does while
// watching, until its standard input ends (or it is killed).
//   send_driver DATA_DIR BAK_DIR URL PORT QUEUE_MUTEX XDG_ROOT LOG_FILE
// XDG_ROOT holds the data, config and cache homes (xdg/data, ...). Prints "running" once
// both threads work, and "stopped" after a regular end.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "collect/OFileCollector.h"
#include "collect/OFileQueue.h"
#include "config/OCRSTypes.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltEnvironment.h"
#include "log/VeltStraightLogData.h"
#include "tests/support/HelperProgram.h"
#include "transfer/OFileSender.h"

namespace {

// Nothing else drains the log here; a full log would slow every writer down.
void DrainLog(TLogData& logData, const std::string& path, const std::atomic<bool>& stop) {
    std::ofstream out(path, std::ios::app);
    for (;;) {
        const bool last = stop.load();
        for (std::string line; logData.LineRead(line);) out << line << '\n';
        out.flush();
        if (last) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void Configure(TConfigurationData& configuration, char** argv) {
    TConfigurationDataRecord& data = configuration._rData;
    data.ptUploadProtocol = tptHttp;
    data.rSupport.lDebugModeInLog = true;
    data.rHttpTransfer.rBase.sUrl = argv[3];
    data.rHttpTransfer.rBase.sPort = argv[4];
    data.rHttpTransfer.rBase.sLogin = "agent";
    data.rHttpTransfer.rBase.sPassword = "secret";
    data.rWatchingRules.slCRSTypes = {"Amadeus"};
    data.rWatchingRules.slDataDirs = {argv[1]};
    data.rWatchingRules.slBakDirs = {argv[2]};
    data.rWatchingRules.slDataFileMask = {".*"};
    data.rWatchingRules.biDataFileMaskIncl.SetBit(0, true);
    data.rWatchingRules.iCollectorInterval = 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: send_driver DATA_DIR BAK_DIR URL PORT QUEUE_MUTEX XDG_ROOT LOG_FILE\n");
        return 2;
    }
    const std::string xdgRoot = argv[6];
    setenv("XDG_DATA_HOME", (xdgRoot + "/xdg/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (xdgRoot + "/xdg/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (xdgRoot + "/xdg/cache").c_str(), 1);

    TEnvironmentOptions options;
    options.lCreateUserLocalTempPath = true;
    TEnvironment environment(options);
    TConfigurationData configuration(environment);
    Configure(configuration, argv);
    asCRSTypeEncodings[1] = "iso-8859-1";

    TLogData logData(16384, 1024, 256, false);
    std::atomic<bool> stopDrain = false;
    std::thread drain([&] { DrainLog(logData, argv[7], stopDrain); });
    {
        TFileQueue queue(environment, argv[5]);
        TFileCollector collector(&configuration, &logData, &queue);
        TFileSender sender(environment, &configuration, &logData, &queue);
        collector.Start();
        sender.Start();
        Say("running");
        WaitForEndOfInput();
        collector.Stop();
        sender.Stop();
    }
    stopDrain = true;
    drain.join();
    Say("stopped");
    return 0;
}
