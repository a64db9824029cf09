#pragma once
// The configuration document on disk: hidden among random decoy blocks, encrypted with a
// key bound to the machine, and sealed with a digest. Reads the earlier container format
// as well and rewrites such a file in the current one.
#include <array>
#include <string>

#include "foundation/VeltExceptions.h"

VELT_DECLARE_EXCEPTION(EConfigurationFile);

class TConfigurationFile {
public:
    static constexpr const char* kHeader = "ZELKOTRABSFER_CFG01";
    // The earlier format's key is derived from this seed at run time, so that the key
    // text itself never appears in the program file. Every third byte from the fourth counts.
    static constexpr std::array<unsigned char, 61> kEarlierKeySeed = {
        0xFA, 0xD6, 0x62, 0xB5, 0x6E, 0x52, 0x00, 0x0A, 0x07, 0x85, 0x23, 0x75, 0x43, 0x9E, 0xE3, 0x3E,
        0xE4, 0xAD, 0xE9, 0xAD, 0x73, 0xF2, 0xC0, 0xC6, 0x4D, 0xAB, 0xAC, 0x3A, 0x6F, 0x51, 0x7F, 0x2B,
        0x54, 0x4A, 0x63, 0x6C, 0x52, 0xF0, 0x1D, 0x6E, 0xE4, 0xA0, 0x4B, 0x21, 0xE4, 0xE5, 0x33, 0x75,
        0xC7, 0x7E, 0x23, 0x94, 0xEE, 0x3E, 0x0E, 0xFE, 0xB2, 0xB4, 0xEF, 0xD6, 0x21};

    // machineKeyText: the 32-character machine key; programBaseName names the earlier
    // format's marker. Nothing is read yet.
    TConfigurationFile(const std::string& AFileName, const std::string& programBaseName,
                       const std::string& machineKeyText);
    TConfigurationFile(const TConfigurationFile&) = delete;
    TConfigurationFile& operator=(const TConfigurationFile&) = delete;

    const std::string& FileName() const { return FFileName; }
    // The document bytes: filled by Read, taken by Write.
    std::string& XMLStream() { return FXmlStream; }

    // Raises EConfigurationFile: " no file (...)" or " bad file (...)".
    void Read();
    // Replaces the file with a new container of XMLStream; lWithStreamClean empties the
    // stream once taken. Raises EConfigurationFile when the file cannot be created.
    void Write(bool lWithStreamClean);

    // The earlier format's key text, derived from a constant seed.
    static std::string MakeEarlierKey();

private:
    bool ReadEarlierFormat();
    std::string LoadFile() const;
    // The document from the current format's file content; raises " bad file".
    std::string OpenContainer(const std::string& content) const;
    std::string SealContainer(const std::string& document) const;
    void StoreFile(const std::string& content) const;
    [[noreturn]] void Fail(const std::string& what) const;

    std::string _saMarker03;
    std::string FFileName;
    std::string FXmlStream;
    std::string _sMachineKeyText;
};
