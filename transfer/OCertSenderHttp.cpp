#include "transfer/OCertSenderHttp.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace {

CURL* Handle(void* handle) { return static_cast<CURL*>(handle); }

void InitLibraryOnce() {
    // Not thread-safe in the library itself, so once per process before any handle.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Peer verification is off, so the library need not load the trusted certificates; we
// load them anyway, so that the verification result we capture means what it says.
CURLcode LoadTrustedCertificates(CURL*, void* sslContext, void*) {
    SSL_CTX_set_default_verify_paths(static_cast<SSL_CTX*>(sslContext));
    return CURLE_OK;
}

struct TSlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

TCertSenderHttp::TCertSenderHttp() {
    InitLibraryOnce();
    _hCurl = curl_easy_init();
    if (_hCurl == nullptr) throw ECertSenderHttp("TCertSenderHttp error: cannot create HTTP client");
}

TCertSenderHttp::~TCertSenderHttp() { curl_easy_cleanup(Handle(_hCurl)); }

void TCertSenderHttp::Clear() {
    _sDocument.clear();
    _sMimeType = "text/html";
}

bool TCertSenderHttp::HttpMethodPost(const std::string& url, const std::string& body) {
    std::unique_ptr<curl_slist, TSlistFree> headers;
    for (const std::string& line : {"Content-Type: " + _sMimeType, std::string("Connection: keep-alive"),
                                   std::string("Expect:")}) {
        curl_slist* extended = curl_slist_append(headers.get(), line.c_str());
        if (extended == nullptr) throw ECertSenderHttp("TCertSenderHttp error: out of memory");
        headers.release();
        headers.reset(extended);
    }
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_reset(Handle(_hCurl));
    ApplyOptions(url, body, headers.get());
    curl_easy_setopt(Handle(_hCurl), CURLOPT_ERRORBUFFER, errorText);
    _sDocument.clear();
    _lDocumentTooLarge = false;
    _lIdleTimedOut = false;
    _iBytesMoved = 0;
    _tLastActivity = std::chrono::steady_clock::now();
    _iHttpStatus = 0;

    const CURLcode result = curl_easy_perform(Handle(_hCurl));
    curl_easy_getinfo(Handle(_hCurl), CURLINFO_RESPONSE_CODE, &_iHttpStatus);
    // Nothing of this call may stay referenced by the handle.
    curl_easy_setopt(Handle(_hCurl), CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(Handle(_hCurl), CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(Handle(_hCurl), CURLOPT_POSTFIELDS, nullptr);
    _iResultCode = static_cast<std::int32_t>(_lIdleTimedOut ? CURLE_OPERATION_TIMEDOUT : result);
    if (result == CURLE_OK) {
        _sResultText.clear();
        return true;
    }
    // What was received of a failed exchange is no response.
    _sDocument.clear();
    if (_lIdleTimedOut) {
        _sResultText = "no data for " + std::to_string(_iTimeout) + " ms, timed out";
    } else if (_lDocumentTooLarge || result == CURLE_FILESIZE_EXCEEDED) {
        _sResultText = "response larger than " + std::to_string(_iMaxDocumentSize) + " bytes refused";
    } else {
        _sResultText = errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
    }
    return false;
}

void TCertSenderHttp::ApplyOptions(const std::string& url, const std::string& body, void* headers) {
    CURL* curl = Handle(_hCurl);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(headers));
    curl_easy_setopt(curl, CURLOPT_USERAGENT, _sUserAgent.c_str());

    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, std::max<long>(_iTimeout, 1));
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_xferinfo_callback progress = [](void* self, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
        return TCertSenderHttp::OnProgress(self, downloaded, uploaded);
    };
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);

    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &LoadTrustedCertificates);

    // An empty proxy also keeps the library from taking one from the environment.
    curl_easy_setopt(curl, CURLOPT_PROXY, _rProxy.sHost.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
    if (!_rProxy.sHost.empty()) {
        curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        if (!_rProxy.sPort.empty()) {
            curl_easy_setopt(curl, CURLOPT_PROXYPORT, std::strtol(_rProxy.sPort.c_str(), nullptr, 10));
        }
        if (!_rProxy.sUser.empty()) {
            curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, _rProxy.sUser.c_str());
            curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, _rProxy.sPassword.c_str());
        }
    }

    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &TCertSenderHttp::OnHeaderData);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &TCertSenderHttp::OnBodyData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(_iMaxDocumentSize));
}

int TCertSenderHttp::OnProgress(void* self, std::int64_t downloaded, std::int64_t uploaded) {
    auto* sender = static_cast<TCertSenderHttp*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (downloaded + uploaded != sender->_iBytesMoved) {
        sender->_iBytesMoved = downloaded + uploaded;
        sender->_tLastActivity = now;
        return 0;
    }
    if (now - sender->_tLastActivity < std::chrono::milliseconds(sender->_iTimeout)) return 0;
    sender->_lIdleTimedOut = true;
    return 1;  // ends the transfer
}

std::size_t TCertSenderHttp::OnHeaderData(char*, std::size_t size, std::size_t count, void* self) {
    static_cast<TCertSenderHttp*>(self)->OnSocketStatus();
    return size * count;
}

std::size_t TCertSenderHttp::OnBodyData(char* data, std::size_t size, std::size_t count, void* self) {
    auto* sender = static_cast<TCertSenderHttp*>(self);
    const std::size_t length = size * count;
    if (length > sender->_iMaxDocumentSize - sender->_sDocument.size()) {
        sender->_lDocumentTooLarge = true;
        return 0;  // ends the transfer with a write error
    }
    sender->_sDocument.append(data, length);
    return length;
}

void TCertSenderHttp::OnSocketStatus() {
    if (_lCertWasRead) return;
    curl_tlssessioninfo* session = nullptr;
    if (curl_easy_getinfo(Handle(_hCurl), CURLINFO_TLS_SSL_PTR, &session) != CURLE_OK || session == nullptr) return;
    if (session->backend != CURLSSLBACKEND_OPENSSL || session->internals == nullptr) return;
    if (CaptureCertData(static_cast<const SSL*>(session->internals), _rCertData)) _lCertWasRead = true;
}
