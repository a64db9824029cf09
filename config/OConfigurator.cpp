#include "config/OConfigurator.h"

#include "config/OConfigurationDocument.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltUtilsMiscellaneous.h"

namespace {

constexpr std::size_t kMachineKeyLength = 32;

std::string ConfigurationFileName(const TEnvironment& environment) {
    return environment.Paths().sCommonApplicationData + environment.ProgramData().sProgramBaseName + ".cfg";
}

}  // namespace

TConfigurator::TConfigurator(const TEnvironment& environment, TLogData* logData, TConfigurationScreenPort* screen)
    : _oLogData(logData), FConfigurationScreen(screen) {
    // Without the machine key the file can be neither sealed nor opened, and without the
    // program name it has no name.
    if (environment.ProgramData().sProgramLicenceb.size() != kMachineKeyLength) {
        throw EConfigurator("TConfigurator error: cannot create object, machine key not defined");
    }
    if (environment.ProgramData().sProgramBaseName.empty()) {
        throw EConfigurator("TConfigurator error: cannot create object, program name not defined");
    }
    FConfigurationData = std::make_unique<TConfigurationData>(environment);
    FConfigurationFile = std::make_unique<TConfigurationFile>(
        ConfigurationFileName(environment), environment.ProgramData().sProgramBaseName,
        environment.ProgramData().sProgramLicenceb);
}

void TConfigurator::ReadConfiguration() {
    try {
        FConfigurationFile->Read();
    } catch (const EConfigurationFile&) {
        throw EConfigurator("TConfigurator error: cannot read configuration");
    }
    // The document holds passwords in clear text: keep it no longer than needed.
    std::string document;
    document.swap(FConfigurationFile->XMLStream());
    ReadConfigurationDocument(document, *FConfigurationData);
    CheckDirectories();
}

void TConfigurator::WriteConfiguration() {
    FConfigurationFile->XMLStream() = ComposeConfigurationDocument(*FConfigurationData);
    FConfigurationFile->Write(true);
}

int TConfigurator::ShowConfigurationScreen() {
    if (FConfigurationScreen == nullptr) return TConfigurationScreenPort::kCancelled;
    const int result = FConfigurationScreen->Show(*FConfigurationData);
    if (result == TConfigurationScreenPort::kSaved) WriteConfiguration();
    return result;
}

void TConfigurator::CheckDirectories() const {
    const auto& rules = FConfigurationData->_rData.rWatchingRules;
    const auto crsTypeOf = [&rules](std::size_t rule) {
        return rule < rules.slCRSTypes.size() ? rules.slCRSTypes[rule] : std::string();
    };
    for (std::size_t rule = 0; rule < rules.slDataDirs.size(); ++rule) {
        if (!IsDirectoryWritable(rules.slDataDirs[rule])) {
            throw EConfiguratorDirAccess("for CRS type: " + crsTypeOf(rule) +
                                         " no read/write permission in data directory: " + rules.slDataDirs[rule]);
        }
    }
    for (std::size_t rule = 0; rule < rules.slBakDirs.size(); ++rule) {
        if (!IsDirectoryWritable(rules.slBakDirs[rule])) {
            throw EConfiguratorDirAccess("for CRS type: " + crsTypeOf(rule) +
                                         " no read/write permission in backup directory: " + rules.slBakDirs[rule]);
        }
    }
}
