#include "update/VeltHttpGetClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <utility>
#include <cstdlib>
#include <mutex>

namespace {

CURL* Handle(void* handle) { return static_cast<CURL*>(handle); }

void InitLibraryOnce() {
    // The library's global set-up is not thread-safe: once per process, before any handle.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text;
}

}  // namespace

THttpGetClient::THttpGetClient() {
    InitLibraryOnce();
    _hCurl = curl_easy_init();
    if (_hCurl == nullptr) throw EHttpGetClient("THttpGetClient error: cannot create HTTP client");
}

THttpGetClient::~THttpGetClient() { curl_easy_cleanup(Handle(_hCurl)); }

void THttpGetClient::SetProxy(const std::string& host, const std::string& port, const std::string& user,
                              const std::string& password) {
    _sProxyHost = host;
    _sProxyPort = port;
    _sProxyUser = user;
    _sProxyPassword = password;
}

bool THttpGetClient::HttpGet(const std::string& url) {
    char errorText[CURL_ERROR_SIZE] = {};
    // A reset keeps the open connection, so keep-alive survives between requests.
    curl_easy_reset(Handle(_hCurl));
    ApplyOptions(url, errorText);
    _sDocument.clear();
    _iResultCode = 0;
    _sResultString.clear();
    _lStatusLineSeen = false;
    _lDocumentTooLarge = false;

    _pCallbackError = nullptr;

    const CURLcode result = curl_easy_perform(Handle(_hCurl));
    curl_easy_setopt(Handle(_hCurl), CURLOPT_ERRORBUFFER, nullptr);
    if (_pCallbackError) std::rethrow_exception(std::exchange(_pCallbackError, nullptr));
    if (result == CURLE_OK) return true;
    SetFailureResult(result, errorText);
    return false;
}

std::int64_t THttpGetClient::DownloadSize() const {
    curl_off_t size = -1;
    if (curl_easy_getinfo(Handle(_hCurl), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size) != CURLE_OK) return 0;
    return std::max<curl_off_t>(size, 0);
}

void THttpGetClient::ApplyOptions(const std::string& url, char* errorText) {
    CURL* curl = Handle(_hCurl);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // A server that answers without a status line is still answered: its reply is the document.
    curl_easy_setopt(curl, CURLOPT_HTTP09_ALLOWED, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, _sUserAgent.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max(_iTimeout, 1)));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::max(_iTimeout / 1000, 1)));
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(_iMaxDocumentSize));

    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!_sCertificateAuthorityFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, _sCertificateAuthorityFile.c_str());
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    }

    curl_easy_setopt(curl, CURLOPT_PROXY, _sProxyHost.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
    if (!_sProxyHost.empty()) {
        curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        if (!_sProxyPort.empty()) {
            curl_easy_setopt(curl, CURLOPT_PROXYPORT, std::strtol(_sProxyPort.c_str(), nullptr, 10));
        }
        if (!_sProxyUser.empty()) {
            curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, _sProxyUser.c_str());
            curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, _sProxyPassword.c_str());
        }
        // The proxy's own "200 Connection established" is not the server's status line.
        curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    }

    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &THttpGetClient::OnHeaderLine);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &THttpGetClient::OnBodyData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
}

void THttpGetClient::SetFailureResult(int curlCode, const char* errorText) {
    if (_lDocumentTooLarge || curlCode == CURLE_FILESIZE_EXCEEDED) {
        _iResultCode = CURLE_FILESIZE_EXCEEDED;
        _sResultString = "answer larger than " + std::to_string(_iMaxDocumentSize) + " bytes refused";
    } else if (!_lStatusLineSeen) {
        _iResultCode = curlCode;
        _sResultString = errorText[0] != '\0' ? errorText : curl_easy_strerror(static_cast<CURLcode>(curlCode));
    }
    // Otherwise the status line's code and reason stay: the reply broke off after them.
}

std::size_t THttpGetClient::OnHeaderLine(char* data, std::size_t size, std::size_t count, void* self) {
    auto& client = *static_cast<THttpGetClient*>(self);
    const std::string line = WithoutLineEnd(std::string(data, size * count));
    if (line.rfind("HTTP/", 0) == 0) {
        // "HTTP/1.1 200 OK": the code after the first blank, the reason text after the second.
        const auto codeStart = line.find(' ');
        const auto reasonStart = codeStart == std::string::npos ? std::string::npos : line.find(' ', codeStart + 1);
        const std::string code = codeStart == std::string::npos ? "" : line.substr(codeStart + 1, reasonStart - codeStart - 1);
        client._iResultCode = static_cast<std::int32_t>(std::strtol(code.c_str(), nullptr, 10));
        client._sResultString = reasonStart == std::string::npos ? "" : line.substr(reasonStart + 1);
        client._lStatusLineSeen = true;
        client._sDocument.clear();
    }
    return size * count;
}

std::size_t THttpGetClient::OnBodyData(char* data, std::size_t size, std::size_t count, void* self) {
    auto& client = *static_cast<THttpGetClient*>(self);
    const std::size_t length = size * count;
    if (client._sDocument.size() + length > client._iMaxDocumentSize) {
        client._lDocumentTooLarge = true;
        return 0;  // ends the transfer with a write error
    }
    client._sDocument.append(data, length);
    if (client._fOnReceived) {
        // An exception must not cross the library's C frames: it is raised again after them.
        try {
            client._fOnReceived(length);
        } catch (...) {
            client._pCallbackError = std::current_exception();
            return 0;
        }
    }
    return length;
}
