#pragma once
// Certificates for the tests' TLS servers, made with the openssl command-line tool.
#include <string>

struct TTestCertificate {
    std::string sCertFile;  // PEM
    std::string sKeyFile;   // PEM, unencrypted
};

// A self-signed certificate (verification code 18) for the subject, valid for a year.
// Files are <directory>/<name>.crt and .key. Raises std::runtime_error on failure.
TTestCertificate MakeSelfSignedCertificate(const std::string& directory, const std::string& name,
                                           const std::string& subject = "/C=DE/O=Zelko Test/CN=127.0.0.1");

// A certificate signed by the given authority (itself made with MakeSelfSignedCertificate).
TTestCertificate MakeCertificateSignedBy(const TTestCertificate& authority, const std::string& directory,
                                         const std::string& name,
                                         const std::string& subject = "/C=DE/O=Zelko Test/CN=127.0.0.1");
