#pragma once
// The HTTP client of the filekey exchanges, over libcurl with OpenSSL. It keeps one
// connection alive between requests and captures the server's certificate from the
// first TLS session after ResetCertCheck, also when that session is a reused one.
// Peer verification is off on purpose: the certificate is pinned by the caller.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/VeltExceptions.h"
#include "transfer/OCertData.h"

VELT_DECLARE_EXCEPTION(ECertSenderHttp);

// The proxy of one exchange; an empty host means a direct connection.
struct THttpProxy {
    std::string sHost;
    std::string sPort;
    std::string sUser;  // empty: no credentials are sent
    std::string sPassword;
};

class TCertSenderHttp {
public:
    // Larger answers are refused: a filekey answer is a small document.
    static constexpr std::size_t kMaxDocumentSize = std::size_t{64} << 20;

    TCertSenderHttp();
    virtual ~TCertSenderHttp();
    TCertSenderHttp(const TCertSenderHttp&) = delete;
    TCertSenderHttp& operator=(const TCertSenderHttp&) = delete;

    // The next TLS session's certificate is captured again; the record stays until then.
    void ResetCertCheck() { _lCertWasRead = false; }
    bool CertWasRead() const { return _lCertWasRead; }
    const TCertData& CertData() const { return _rCertData; }

    // Connect time-out and the longest silence of a running exchange, in milliseconds.
    void SetTimeout(std::int32_t milliseconds) { _iTimeout = milliseconds; }
    std::int32_t Timeout() const { return _iTimeout; }
    void SetUserAgent(const std::string& userAgent) { _sUserAgent = userAgent; }
    const std::string& UserAgent() const { return _sUserAgent; }
    void SetProxy(const THttpProxy& proxy) { _rProxy = proxy; }
    void SetMaxDocumentSize(std::size_t size) { _iMaxDocumentSize = size; }

    // Empties the response document and sets the request's content type back to "text/html".
    void Clear();
    // POSTs the body (HTTP/1.1, keep-alive); True when a response arrived, whatever its
    // HTTP status. The response body is then in Document().
    bool HttpMethodPost(const std::string& url, const std::string& body);

    // The response body of the last exchange; parsers empty it once they have read it.
    std::string& Document() { return _sDocument; }
    // 0 when the last exchange got a response, else the transfer library's error code.
    std::int32_t ResultCode() const { return _iResultCode; }
    std::string ResultText() const { return _sResultText; }
    long HttpStatus() const { return _iHttpStatus; }

private:
    static std::size_t OnHeaderData(char* data, std::size_t size, std::size_t count, void* self);
    // Ends an exchange that has moved no byte for the time-out: the library's own
    // low-speed check averages over seconds and would wait far longer.
    static int OnProgress(void* self, std::int64_t downloaded, std::int64_t uploaded);
    static std::size_t OnBodyData(char* data, std::size_t size, std::size_t count, void* self);
    // Called for every response header line: the TLS session of the transfer is
    // reachable only while it runs.
    void OnSocketStatus();
    void ApplyOptions(const std::string& url, const std::string& body, void* headers);

    void* _hCurl = nullptr;
    TCertData _rCertData;
    bool _lCertWasRead = false;
    std::int32_t _iTimeout = 90000;
    std::string _sUserAgent;
    std::string _sMimeType = "text/html";
    THttpProxy _rProxy;
    std::size_t _iMaxDocumentSize = kMaxDocumentSize;
    bool _lDocumentTooLarge = false;
    bool _lIdleTimedOut = false;
    std::int64_t _iBytesMoved = 0;
    std::chrono::steady_clock::time_point _tLastActivity;
    std::string _sDocument;
    std::int32_t _iResultCode = 0;
    std::string _sResultText;
    long _iHttpStatus = 0;
};
