#pragma once
// Fetches the CRS encoding dictionary from the filekey server and applies it to the CRS
// table. This is the configurator's ReadCRSEncoding; it lives here because it drives the
// HTTPS client, which sits a layer above the configuration.
class TConfigurationData;
class TEnvironment;
class TLogData;

// True when the table was updated. Every failure gives False with its log lines and
// leaves the table as it was. The log data must be given (the HTTPS client needs it).
bool ReadCRSEncoding(const TEnvironment& environment, const TConfigurationData& configurationData,
                     TLogData* logData);
