#pragma once
// The CRS table: the 21 kinds of booking data the agent knows, their short codes, and the
// character encoding of each, which the filekey server supplies as a dictionary.
// Rows are numbered 1 to 21 as everywhere else in the program (the queue stores the row);
// entry 0 of each array is no row and stays empty.
#include <array>
#include <string>

class TConfigurationData;
class TLogData;

inline constexpr int kCRSTypeCount = 21;
inline constexpr int kKnownEncodingCount = 17;

using TCRSTypeColumn = std::array<std::string, kCRSTypeCount + 1>;

extern const TCRSTypeColumn asCRSTypeNames;
extern const TCRSTypeColumn asCRSTypeCodes;
// Empty until a dictionary has been read. Written only while no collector runs.
extern TCRSTypeColumn asCRSTypeEncodings;
extern const std::array<std::string, kKnownEncodingCount> asKnownEncodings;

// The first row (1..21) with this display name or code, exact comparison; 0 when none.
int CRSTypeRowOfName(const std::string& name);
int CRSTypeRowOfCode(const std::string& code);

// Checks the server's encoding dictionary (its credentials must match the configured
// ones) and fills asCRSTypeEncodings from it: every row at once, rows the dictionary
// lacks become empty. False, with a debug line, and the table untouched when the
// response is not a valid dictionary. Empties the response. logData may be null.
bool ReadEncodingDictionary(std::string& response, const TConfigurationData& configuration, TLogData* logData);
