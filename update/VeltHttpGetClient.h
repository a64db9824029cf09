#pragma once
// The HTTP(S) client of the update download: GET requests over libcurl, HTTP/1.1 with
// keep-alive, an optional proxy, and the server certificate verified against the
// trusted certificates, because what it fetches is run afterwards.
// One thread at a time uses an object.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "foundation/VeltExceptions.h"

VELT_DECLARE_EXCEPTION(EHttpGetClient);

class THttpGetClient {
public:
    // Called with the count of every run of body bytes received.
    using TOnReceived = std::function<void(std::size_t count)>;

    static constexpr std::int32_t kDefaultTimeoutMilliseconds = 90000;

    THttpGetClient();
    ~THttpGetClient();
    THttpGetClient(const THttpGetClient&) = delete;
    THttpGetClient& operator=(const THttpGetClient&) = delete;

    void SetUserAgent(const std::string& userAgent) { _sUserAgent = userAgent; }
    // An empty host means a direct connection, whatever the environment says.
    void SetProxy(const std::string& host, const std::string& port, const std::string& user,
                  const std::string& password);
    // A larger answer fails the request instead of filling the memory.
    void SetMaxDocumentSize(std::size_t size) { _iMaxDocumentSize = size; }
    // Trusted certificates from this PEM file instead of the system's; empty: the system's.
    void SetCertificateAuthorityFile(const std::string& path) { _sCertificateAuthorityFile = path; }
    // Connect time-out, and the longest silence of a running request.
    void SetTimeout(std::int32_t milliseconds) { _iTimeout = milliseconds; }
    void SetOnReceived(TOnReceived onReceived) { _fOnReceived = std::move(onReceived); }

    // Empties the document of the last request.
    void Clear() { _sDocument.clear(); }
    // True when the request completed, whatever its status. Then ResultCode and
    // ResultString hold the status line's code and reason text (0 and "" for a reply
    // without a status line, whose whole bytes are then the document). False when it did
    // not complete: the status line's code and text when one had arrived, else the
    // transfer library's error code and message.
    bool HttpGet(const std::string& url);

    std::int32_t ResultCode() const { return _iResultCode; }
    const std::string& ResultString() const { return _sResultString; }
    std::string& Document() { return _sDocument; }
    // The size the server announced for the running or last reply; 0 when none.
    std::int64_t DownloadSize() const;

private:
    static std::size_t OnHeaderLine(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t OnBodyData(char* data, std::size_t size, std::size_t count, void* self);
    void ApplyOptions(const std::string& url, char* errorText);
    void SetFailureResult(int curlCode, const char* errorText);

    void* _hCurl = nullptr;
    std::string _sUserAgent;
    std::string _sProxyHost, _sProxyPort, _sProxyUser, _sProxyPassword;
    std::string _sCertificateAuthorityFile;
    std::size_t _iMaxDocumentSize = std::size_t{256} << 20;
    std::int32_t _iTimeout = kDefaultTimeoutMilliseconds;
    TOnReceived _fOnReceived;

    std::string _sDocument;
    std::int32_t _iResultCode = 0;
    std::string _sResultString;
    bool _lStatusLineSeen = false;
    bool _lDocumentTooLarge = false;
    std::exception_ptr _pCallbackError;
};
