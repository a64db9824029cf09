#pragma once
// The FTP client that remembers the server certificate of its control connection: the
// first TLS session after ResetCertCheck is captured, for the caller to compare with
// the pinned one.
#include "transfer/OCertData.h"
#include "transfer/OFtpClient.h"

class TCertSenderFtp : public TFtpClient {
public:
    TCertSenderFtp() = default;

    // The next TLS session's certificate is captured again; the record stays until then.
    void ResetCertCheck() { _lCertWasRead = false; }
    bool CertWasRead() const { return _lCertWasRead; }
    const TCertData& CertData() const { return _rCertData; }

protected:
    void OnControlTlsEstablished(const ssl_st* tls) override;

private:
    bool _lCertWasRead = false;
    TCertData _rCertData;
};
