#include "tests/support/Sandbox.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

TSandbox::TSandbox() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zelko-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("sandbox: mkdtemp failed");
    _root = pattern;
    for (const char* d : {"xdg/data", "xdg/config", "xdg/cache", "bin"}) std::filesystem::create_directories(_root / d);
    platform.sProgramFile = Path("bin/zelkotransfer");
    platform.sCommonAppDataBase = DataHome();
    platform.sUserAppDataBase = ConfigHome();
    platform.sUserLocalAppDataBase = CacheHome();
    platform.sCommonFilesBase = Path("common-files");
}

TSandbox::~TSandbox() {
    std::error_code ec;
    // Tests may leave read-only folders behind; make them writable so removal works.
    for (auto it = std::filesystem::recursive_directory_iterator(_root, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(_root, ec);
}

std::string TSandbox::Path(const std::string& relative) const { return (_root / relative).string(); }

std::string TSandbox::WriteFile(const std::string& relative, const std::string& content) const {
    const std::filesystem::path path = _root / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("sandbox: cannot write " + path.string());
    return path.string();
}

std::string TSandbox::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void TSandbox::ExportXdgVariables() const {
    setenv("XDG_DATA_HOME", DataHome().c_str(), 1);
    setenv("XDG_CONFIG_HOME", ConfigHome().c_str(), 1);
    setenv("XDG_CACHE_HOME", CacheHome().c_str(), 1);
}
