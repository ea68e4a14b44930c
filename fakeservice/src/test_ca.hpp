#pragma once
// Throw-away certificates for the fake service, made with OpenSSL's C API.
#include <string>
#include <vector>

namespace fakeservice::detail {

struct Credentials {
    std::string caCertPem;      // the issuing CA
    std::string serverCertPem;  // leaf signed by that CA
    std::string serverKeyPem;
};

// A fresh CA (EC P-256) named caName and a server certificate it signs for
// names (DNS names, or IP literals which become IP entries).
// Throws std::runtime_error on any OpenSSL failure.
Credentials makeCredentials(const std::string& caName, const std::vector<std::string>& names);

}  // namespace fakeservice::detail
