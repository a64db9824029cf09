#pragma once
// A temporary folder for one test, with XDG data, config and cache homes inside it and
// a fake platform pointing there. Removed with everything in it at the end.
#include <filesystem>
#include <string>

#include "tests/support/FakePlatform.h"

class TSandbox {
public:
    TSandbox();
    ~TSandbox();
    TSandbox(const TSandbox&) = delete;
    TSandbox& operator=(const TSandbox&) = delete;

    const std::filesystem::path& Root() const { return _root; }
    // Root() / relative, as a string.
    std::string Path(const std::string& relative) const;
    // Writes a file (creating parent folders) and returns its path.
    std::string WriteFile(const std::string& relative, const std::string& content) const;
    static std::string ReadFile(const std::string& path);

    // XDG homes inside the sandbox; the fake platform answers with them.
    std::string DataHome() const { return Path("xdg/data"); }
    std::string ConfigHome() const { return Path("xdg/config"); }
    std::string CacheHome() const { return Path("xdg/cache"); }
    // Environment variables for a child process run inside the sandbox.
    void ExportXdgVariables() const;

    TFakePlatform platform;

private:
    std::filesystem::path _root;
};
