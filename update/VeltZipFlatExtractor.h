#pragma once
// Extraction of a downloaded program archive (zip) into one directory, dropping the
// archive's folder names. The archive is untrusted: entries without a usable file name
// are skipped, nothing is written outside the directory, no link is created, and the
// bytes written are bounded.
#include <cstdint>
#include <functional>
#include <string>

enum class TZipExtractOutcome { Extracted, NotOpened, Failed };

struct TZipExtractResult {
    TZipExtractOutcome tOutcome = TZipExtractOutcome::Extracted;
    int iErrorCode = 0;      // the archive library's error code (Failed)
    std::string sErrorText;  // its message, with the system's reason where there is one
};

class TZipFlatExtractor {
public:
    // Total progress of an extraction, 0 to 100.
    using TOnPercent = std::function<void(std::int32_t percent)>;

    static constexpr std::uint64_t kDefaultMaxUnpackedSize = std::uint64_t{1} << 30;

    // The name an entry gets in the target directory: the part after its last folder
    // separator ("/" or "\"); empty when the entry is to be skipped (a folder, an empty
    // name, "." or "..").
    static std::string FlatName(const std::string& entryName);

    // Extracts every file entry into targetDirectory, overwriting files of the same name.
    // Unix permission bits stored in the archive are kept (within the umask); entries
    // stored as links or devices are skipped. Stops with Failed once more than
    // maxUnpackedSize bytes would be written.
    static TZipExtractResult Extract(const std::string& archiveFile, const std::string& targetDirectory,
                                     const TOnPercent& onPercent,
                                     std::uint64_t maxUnpackedSize = kDefaultMaxUnpackedSize);
};
