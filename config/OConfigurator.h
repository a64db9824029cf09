#pragma once
// Owner of the configuration: the data, its file, and the way to the configuration
// screen. Translates between the data and the configuration document (XML) inside the
// file. Used on the user-interface thread only.
#include <memory>
#include <string>

#include "config/ConfigurationScreenPort.h"
#include "config/OConfigurationData.h"
#include "config/OConfigurationFile.h"
#include "foundation/VeltExceptions.h"

class TEnvironment;
class TLogData;

VELT_DECLARE_EXCEPTION(EConfigurator);
// A data or backup directory of a rule cannot be written by the current user.
VELT_DECLARE_EXCEPTION(EConfiguratorDirAccess);

class TConfigurator {
public:
    // The configuration file is the common application data directory + the program base
    // name + ".cfg", sealed with the environment's machine key. logData may be null (no
    // log lines); screen may be null (no screen: ShowConfigurationScreen cancels). Both,
    // like the environment, must outlive the configurator.
    TConfigurator(const TEnvironment& environment, TLogData* logData, TConfigurationScreenPort* screen);
    TConfigurator(const TConfigurator&) = delete;
    TConfigurator& operator=(const TConfigurator&) = delete;

    TConfigurationData& ConfigurationData() { return *FConfigurationData; }
    TConfigurationFile& ConfigurationFile() { return *FConfigurationFile; }
    TConfigurationScreenPort* ConfigurationScreen() const { return FConfigurationScreen; }
    TLogData* LogData() const { return _oLogData; }

    // Fills the data from the file, then checks the rules' directories. Raises
    // EConfigurator (file or document unusable), EConfigurationData (unknown protocol
    // code) or EConfiguratorDirAccess. Data read before a failure stays.
    void ReadConfiguration();
    // Stores the data as a new document in the file.
    void WriteConfiguration();
    // The screen's answer; writes the configuration first when the administrator saved.
    int ShowConfigurationScreen();

private:
    void CheckDirectories() const;

    TLogData* _oLogData;
    // Declared before the file, so that the file goes first at destruction.
    std::unique_ptr<TConfigurationData> FConfigurationData;
    std::unique_ptr<TConfigurationFile> FConfigurationFile;
    TConfigurationScreenPort* FConfigurationScreen;
};
