// A certificate described in one line for the log: subject, names, issuer and validity, in OpenSSL's
// own notation. Any thread.
#pragma once

#include <string>

struct x509_st;

namespace tapline::platform {

// "subject CN=example.org; names DNS:example.org, DNS:www.example.org; issuer O=Some CA, CN=Some CA;
// valid 2026-01-01 00:00:00Z to 2027-01-01 00:00:00Z" ("names none" without a subject alternative name).
std::string DescribeCertificate(x509_st* certificate);

}  // namespace tapline::platform
