// Certificates made by the tests themselves: a test CA and a server certificate it signed, as PEM files
// in a fresh temporary folder. Any thread; each call makes its own folder.
#pragma once

#include <string>

namespace tapline::test {

struct TestCertificates {
  std::string folder;
  std::string caFile;      // the test CA's certificate
  std::string serverCert;  // for localhost, 127.0.0.1 and ::1, signed by the test CA
  std::string serverKey;   // the server certificate's key
  std::string otherKey;    // a key that belongs to no certificate
  // With the server certificate's key and issuer, valid at fixed times: 2020 for localhost and its
  // addresses (expired), and 2020 to 2100 for other.example alone.
  std::string expiredCert;
  std::string otherNameCert;
};

// Empty paths when OpenSSL failed.
TestCertificates MakeTestCertificates();

}  // namespace tapline::test
