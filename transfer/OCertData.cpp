#include "transfer/OCertData.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

#include "foundation/VeltUtilsStringOperations.h"

namespace {

struct TBioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct TX509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

std::string CertificateText(X509* certificate) {
    std::unique_ptr<BIO, TBioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_print(bio.get(), certificate) != 1) return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    std::string text;
    text.reserve(static_cast<std::size_t>(length) + 64);
    for (long i = 0; i < length; ++i) {
        if (data[i] == '\n' && (i == 0 || data[i - 1] != '\r')) text += '\r';
        text += data[i];
    }
    return text;
}

std::string Digest(X509* certificate, const EVP_MD* type) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, type, digest, &length) != 1) return {};
    return DigestBytesAsText(std::string(reinterpret_cast<const char*>(digest), length));
}

std::string NameOneLine(const X509_NAME* name) {
    if (name == nullptr) return {};
    char* text = X509_NAME_oneline(name, nullptr, 0);
    if (text == nullptr) return {};
    std::string result(text);
    OPENSSL_free(text);
    return result;
}

}  // namespace

bool CaptureCertData(const ssl_st* ssl, TCertData& certData) {
    if (ssl == nullptr) return false;
    const char* version = SSL_get_version(ssl);
    if (version == nullptr || *version == '\0' || !SSL_is_init_finished(ssl)) return false;
    std::unique_ptr<X509, TX509Free> certificate(SSL_get1_peer_certificate(ssl));
    if (!certificate) return false;
    TCertData captured;
    captured.sCert = TrimBlanks(CertificateText(certificate.get()));
    // Digest bytes are kept whole: trimming could cut a byte that happens to be a blank.
    captured.sFinger = Digest(certificate.get(), EVP_md5());
    captured.sFingerSha1 = Digest(certificate.get(), EVP_sha1());
    captured.sServerSubject = TrimBlanks(NameOneLine(X509_get_subject_name(certificate.get())));
    captured.sServerIssuer = TrimBlanks(NameOneLine(X509_get_issuer_name(certificate.get())));
    captured.iCertStatus = static_cast<std::int32_t>(SSL_get_verify_result(ssl));
    certData = std::move(captured);
    return true;
}

std::string DigestBytesAsText(const std::string& digest) {
    std::string text;
    for (const unsigned char byte : digest) {
        if (byte < 0x80) {
            text += static_cast<char>(byte);
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

std::string TextAsDigestBytes(const std::string& text) {
    std::string digest;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            digest += static_cast<char>(lead);
        } else if ((lead == 0xC2 || lead == 0xC3) && i + 1 < text.size() &&
                   (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
            digest += static_cast<char>(((lead & 0x03) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F));
            ++i;
        } else {
            digest += '?';
            while (i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) ++i;
        }
    }
    return digest;
}

std::string CertStatusText(std::int32_t iCertStatus) {
    switch (iCertStatus) {
        case 0: return "this is trusted certificate";
        case 9: return "yet not valid certificate";
        case 10: return "expired certificate";
        case 18: return "self signed untrusted certificate";
        case 20: return "this is trusted certificate - not in local repository of trusted certificates";
        default: return "certificate check code: " + IntToTrimmedStr(iCertStatus);
    }
}

bool CertStatusIsInvalid(std::int32_t iCertStatus) { return iCertStatus == 9 || iCertStatus == 10; }
