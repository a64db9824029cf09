#pragma once
// The local update site (tests/peers/update_site.py) for one test: its own folder with
// the served files, the control file and the request log, a free port, plain HTTP unless
// a certificate is given. Program archives for it are made with MakeZipArchive.
#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/PeerProcess.h"
#include "tests/support/TestCertificate.h"

class TUpdateSitePeer {
public:
    // directory is created if needed and must be the site's own.
    explicit TUpdateSitePeer(const std::string& directory, const std::optional<TTestCertificate>& certificate = {});

    // "http://127.0.0.1:<port>" (or https), followed by path.
    std::string Url(const std::string& path = "") const;
    // Serves content at the URL path ("/a/b.nvf").
    void PutFile(const std::string& urlPath, const std::string& content) const;
    // Answers the URL path as the JSON rule says ({"status": 404}, {"reason": "ok"}...).
    void SetRule(const std::string& urlPath, const std::string& json);
    void ClearRules();
    // One line per request received: "GET <path> | ua: <user agent>".
    std::vector<std::string> Requests() const;

private:
    void WriteControl() const;

    std::string _sDirectory;
    std::map<std::string, std::string> _mRules;
    std::unique_ptr<TPeerProcess> _ocProcess;
    bool _lTls = false;
};

struct TZipEntry {
    std::string sName;
    std::string sContent;
    // Unix file type and permission bits as stored (0100755...); none: as the library stores it.
    std::optional<mode_t> iUnixMode;
};

// The bytes of a zip archive holding the entries; names ending in "/" are folders.
std::string MakeZipArchive(const std::vector<TZipEntry>& entries);

// A descriptor as the site publishes it.
std::string MakeDescriptor(const std::string& major, const std::string& minor, const std::string& release,
                           const std::string& appId = "ZELKOTRANSFER", const std::string& releaseDate = "2024-05-01");
