#pragma once
// The configuration from the command line, for machines without the configuration window
// and for setting up many workstations alike: export the stored configuration as its
// plain document, or import such a document into the encrypted file. Both need an
// elevated user and the administration password.
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

class TEnvironment;

// Answers the password question; none when nothing could be read.
using TPasswordSource = std::function<std::optional<std::string>()>;

// Writes the stored configuration's document to the file (readable by its owner only).
// The exit status: 0 done, 2 refused or failed, with the reason on err.
int ExportConfiguration(const TEnvironment& environment, const std::string& fileName,
                        const TPasswordSource& readPassword, std::ostream& out, std::ostream& err);

// Reads the document, checks it as the program checks its configuration at start (the
// rules' directories included) and stores it in the encrypted file. The password is the
// stored configuration's, or the default one when there is no readable configuration.
// Takes the single-instance lock, so that no running copy keeps an outdated configuration.
// The exit status: 0 done, 1 another copy runs, 2 refused or failed; then the stored
// configuration is as it was.
int ImportConfiguration(const TEnvironment& environment, const std::string& fileName,
                        const TPasswordSource& readPassword, std::ostream& out, std::ostream& err);
