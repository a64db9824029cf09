#include "transfer/OCertSenderFtp.h"

void TCertSenderFtp::OnControlTlsEstablished(const ssl_st* tls) {
    if (!_lCertWasRead && CaptureCertData(tls, _rCertData)) _lCertWasRead = true;
}
