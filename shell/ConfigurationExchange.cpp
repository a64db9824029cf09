#include "shell/ConfigurationExchange.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>

#include "config/OConfigurationData.h"
#include "config/OConfigurationDocument.h"
#include "config/OConfigurationFile.h"
#include "config/OConfigurator.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltStartupOneInstanceOnFile.h"
#include "foundation/VeltUtilsRunElevateSupport.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "foundation/platform/LockFile.h"

namespace {

constexpr int kDone = 0;
constexpr int kOtherCopyRuns = 1;
constexpr int kRefused = 2;
const char* const kProgram = "zelkotransfer: ";

std::string ConfigurationFileName(const TEnvironment& environment) {
    return environment.Paths().sCommonApplicationData + environment.ProgramData().sProgramBaseName + ".cfg";
}

TConfigurationFile StoredFile(const TEnvironment& environment) {
    return TConfigurationFile(ConfigurationFileName(environment), environment.ProgramData().sProgramBaseName,
                              environment.ProgramData().sProgramLicenceb);
}

// The stored configuration's data; False (data half read or at defaults) when there is no
// readable one. The rules' directories are not looked at.
bool ReadStoredData(const TEnvironment& environment, TConfigurationData& data, std::string& problem) {
    TConfigurationFile file = StoredFile(environment);
    try {
        file.Read();
        std::string document;
        document.swap(file.XMLStream());
        ReadConfigurationDocument(document, data);
        return true;
    } catch (const EVeltError& e) {
        problem = e.what();
        return false;
    }
}

bool ElevatedOrTold(const TEnvironment& environment, const std::string& what, std::ostream& err) {
    const std::string& directory = environment.Paths().sCommonApplicationData;
    if (IsRunningElevated(directory, environment.Platform())) return true;
    err << kProgram << what << " needs an elevated user (root, or one who may write " << directory << ")" << std::endl;
    return false;
}

bool PasswordAccepted(const std::string& authorization, const TPasswordSource& readPassword, std::ostream& err) {
    const std::optional<std::string> password = readPassword ? readPassword() : std::nullopt;
    if (!password) {
        err << kProgram << "no administration password given" << std::endl;
        return false;
    }
    if (StampMd5(TrimBlanks(*password)) == authorization) return true;
    err << kProgram << "bad administration password" << std::endl;
    return false;
}

// Only the owner may read it: the document holds the passwords in clear text.
bool WritePrivateFile(const std::string& fileName, const std::string& content) {
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool written = ::fchmod(fd, 0600) == 0;
    for (std::size_t done = 0; written && done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            written = errno == EINTR;
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 && written;
}

// The configuration file as it was before an import, put back when the import fails.
class TStoredFileBackup {
public:
    explicit TStoredFileBackup(std::string fileName)
        : _sFileName(std::move(fileName)), _sContent(platform::ReadWholeFile(_sFileName)) {}
    void Restore() const {
        if (_sContent) {
            WritePrivateFile(_sFileName, *_sContent);
        } else {
            ::unlink(_sFileName.c_str());
        }
    }

private:
    std::string _sFileName;
    std::optional<std::string> _sContent;
};

// Releases the single-instance lock on every way out.
class TInstanceLock {
public:
    TInstanceLock(const TEnvironment& environment, std::ostream& err) {
        try {
            StartupOneInstanceOnFile(
                environment.Paths().sCommonApplicationData + environment.ProgramData().sProgramBaseName + ".lck",
                environment.CurrentUserData().sUserName);
            _lHeld = true;
        } catch (const EStartupOneInstanceOnFile& e) {
            err << kProgram << "stop the running program before importing a configuration:"
                << ReplaceAll(ReplaceAll(e.what(), "\t", ""), "\r\n", "\n") << std::endl;
        }
    }
    ~TInstanceLock() {
        if (_lHeld) ShutdownOneInstanceOnFile();
    }
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;
    bool Held() const { return _lHeld; }

private:
    bool _lHeld = false;
};

int StoreImported(const TEnvironment& environment, const std::string& document, std::ostream& err) {
    TConfigurator configurator(environment, nullptr, nullptr);
    try {
        ReadConfigurationDocument(document, configurator.ConfigurationData());
    } catch (const EVeltError& e) {
        err << kProgram << "bad configuration document: " << e.what() << std::endl;
        return kRefused;
    }
    const TStoredFileBackup backup(ConfigurationFileName(environment));
    try {
        configurator.WriteConfiguration();
        // Read back exactly as the program does at start, directories included.
        TConfigurator(environment, nullptr, nullptr).ReadConfiguration();
    } catch (const EVeltError& e) {
        backup.Restore();
        err << kProgram << "configuration not imported: " << e.what() << std::endl;
        return kRefused;
    }
    return kDone;
}

}  // namespace

int ExportConfiguration(const TEnvironment& environment, const std::string& fileName,
                        const TPasswordSource& readPassword, std::ostream& out, std::ostream& err) {
    if (!ElevatedOrTold(environment, "exporting the configuration", err)) return kRefused;
    TConfigurationData data(environment);
    std::string problem;
    if (!ReadStoredData(environment, data, problem)) {
        err << kProgram << "no readable configuration to export ( " << problem << " )" << std::endl;
        return kRefused;
    }
    if (!PasswordAccepted(data._rData.sSetupAuthorization, readPassword, err)) return kRefused;
    if (fileName.empty() || !WritePrivateFile(fileName, ComposeConfigurationDocument(data))) {
        err << kProgram << "cannot write " << fileName << std::endl;
        return kRefused;
    }
    out << kProgram << "configuration exported to " << fileName << std::endl;
    return kDone;
}

int ImportConfiguration(const TEnvironment& environment, const std::string& fileName,
                        const TPasswordSource& readPassword, std::ostream& out, std::ostream& err) {
    if (!ElevatedOrTold(environment, "importing a configuration", err)) return kRefused;
    const TInstanceLock lock(environment, err);
    if (!lock.Held()) return kOtherCopyRuns;
    const std::optional<std::string> document = fileName.empty() ? std::nullopt : platform::ReadWholeFile(fileName);
    if (!document) {
        err << kProgram << "cannot read " << fileName << std::endl;
        return kRefused;
    }
    // Without a readable configuration the defaults hold, the password among them.
    TConfigurationData stored(environment);
    std::string problem;
    if (!ReadStoredData(environment, stored, problem)) stored._rData = TConfigurationData(environment)._rData;
    if (!PasswordAccepted(stored._rData.sSetupAuthorization, readPassword, err)) return kRefused;
    const int status = StoreImported(environment, *document, err);
    if (status == kDone) out << kProgram << "configuration imported from " << fileName << std::endl;
    return status;
}
