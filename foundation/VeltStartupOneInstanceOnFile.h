#pragma once
// Keeps a second copy of the program from running against the same data directory:
// the running copy holds a lock on a file that names its user and start time.
#include <string>

#include "foundation/VeltExceptions.h"

VELT_DECLARE_EXCEPTION(EStartupOneInstanceOnFile);

// Takes the lock and writes "user:<userName> started at:<now>" into the file. Raises
// EStartupOneInstanceOnFile, with the text to show the user, when the lock cannot be had.
void StartupOneInstanceOnFile(const std::string& lockFileName, const std::string& userName);
// Removes the lock file and releases the lock; does nothing unless this process holds it.
void ShutdownOneInstanceOnFile();
