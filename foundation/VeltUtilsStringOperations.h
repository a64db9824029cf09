#pragma once
// Text routines. Texts are UTF-8; "code units" are UTF-16 code units, as the
// configuration document stores them.
#include <string>

std::u16string Utf8ToUtf16(const std::string& text);  // invalid bytes become U+FFFD
std::string Utf16ToUtf8(const std::u16string& text);  // lone surrogates become U+FFFD

// Each UTF-16 code unit as 4 upper-case hex digits ("AB" -> "00410042").
std::string StringToHexCodes(const std::string& text);
// Inverse; a trailing group shorter than 4 is ignored; a non-hex group raises EConvertError.
std::string HexCodesToString(const std::string& hexCodes);

std::string PadLeftTo(const std::string& text, char fill, std::size_t length);
std::string PadRightTo(const std::string& text, char fill, std::size_t length);
std::string TrimLeadingChar(const std::string& text, char c);
std::string TrimTrailingChar(const std::string& text, char c);
std::string TrimBlanks(const std::string& text);  // blanks and control characters at both ends
std::string LowerCaseAscii(std::string text);
std::string UpperCaseAscii(std::string text);
// False for an empty text; otherwise True when every character is a letter (Unicode-aware
// for the Latin, Greek and Cyrillic blocks, ASCII otherwise).
bool IsAlphabeticOnly(const std::string& text);
std::string IntToTrimmedStr(long long value);
// Every occurrence of `from` replaced by `to`, case-sensitive.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);
