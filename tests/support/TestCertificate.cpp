#include "tests/support/TestCertificate.h"

#include <cstdlib>
#include <stdexcept>

namespace {

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

void Run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("test certificate: command failed: " + command);
    }
}

// EC keys are quick to make; the tests make many.
const char* kNewKey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

}  // namespace

TTestCertificate MakeSelfSignedCertificate(const std::string& directory, const std::string& name,
                                           const std::string& subject) {
    const TTestCertificate made{directory + "/" + name + ".crt", directory + "/" + name + ".key"};
    Run(std::string("openssl req -x509") + kNewKey + " -days 365 -subj " + Quoted(subject) + " -keyout " +
        Quoted(made.sKeyFile) + " -out " + Quoted(made.sCertFile));
    return made;
}

TTestCertificate MakeCertificateSignedBy(const TTestCertificate& authority, const std::string& directory,
                                         const std::string& name, const std::string& subject) {
    const TTestCertificate made{directory + "/" + name + ".crt", directory + "/" + name + ".key"};
    const std::string request = directory + "/" + name + ".csr";
    Run(std::string("openssl req -new") + kNewKey + " -subj " + Quoted(subject) + " -keyout " +
        Quoted(made.sKeyFile) + " -out " + Quoted(request));
    Run("openssl x509 -req -days 365 -set_serial 2 -in " + Quoted(request) + " -CA " + Quoted(authority.sCertFile) +
        " -CAkey " + Quoted(authority.sKeyFile) + " -out " + Quoted(made.sCertFile));
    return made;
}
