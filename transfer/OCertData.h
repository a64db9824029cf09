#pragma once
// The server certificate as captured from a TLS session, shared by the HTTPS and FTPS
// clients, the configuration screen and the certificate dialog.
#include <cstdint>
#include <string>

struct ssl_st;

struct TCertData {
    std::string sCert;           // X509_print text, CR LF line breaks, trimmed
    std::string sFinger;         // MD5 digest of the DER form, one character per byte
    std::string sFingerSha1;     // SHA-1 digest of the DER form, one character per byte
    std::string sServerSubject;  // "/C=DE/O=Acme/CN=host", trimmed
    std::string sServerIssuer;
    std::int32_t iCertStatus = 0;  // X.509 verification result of the handshake

    bool operator==(const TCertData&) const = default;
};

// Fills the record from the peer certificate of an established TLS session. False, with
// the record untouched, when the session is not up or the peer sent no certificate.
bool CaptureCertData(const ssl_st* ssl, TCertData& certData);

// Each byte of a raw digest held as the character with that code (U+0000..U+00FF in
// UTF-8), so that "one character is one byte" holds and the text survives conversion.
std::string DigestBytesAsText(const std::string& digest);
// The inverse; characters above U+00FF or broken UTF-8 become '?'.
std::string TextAsDigestBytes(const std::string& text);

// The status text the configuration screen shows for a verification code.
std::string CertStatusText(std::int32_t iCertStatus);
// Not yet valid (9) or expired (10): shown, but never accepted.
bool CertStatusIsInvalid(std::int32_t iCertStatus);
