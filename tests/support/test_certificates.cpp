#include "tests/support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>

namespace tapline::test {

namespace {

bool AddExtension(X509* subject, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, subject, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  const bool ok = extension != nullptr && X509_add_ext(subject, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return ok;
}

// Fixed times (YYYYMMDDHHMMSSZ) for certificates whose description a test spells out.
struct Validity {
  const char* from = nullptr;  // null: from an hour ago for a week
  const char* to = nullptr;
};

// A certificate for `key` named `cn`, signed by `issuerKey` (itself when `issuer` is null); a server
// certificate has the alternative names `names`.
X509* Certificate(EVP_PKEY* key, const char* cn, long serial, X509* issuer, EVP_PKEY* issuerKey,
                  const char* names = "DNS:localhost,IP:127.0.0.1,IP:::1", Validity validity = {}) {
  X509* x = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
  X509_set_version(x, 2);
  if (validity.from != nullptr) {
    ASN1_TIME_set_string_X509(X509_getm_notBefore(x), validity.from);
    ASN1_TIME_set_string_X509(X509_getm_notAfter(x), validity.to);
  } else {
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 7L * 24 * 3600);
  }
  X509_set_pubkey(x, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(issuer != nullptr ? issuer : x));
  const bool ok =
      issuer == nullptr
          ? AddExtension(x, x, NID_basic_constraints, "critical,CA:TRUE") &&
                AddExtension(x, x, NID_key_usage, "critical,keyCertSign,cRLSign")
          : AddExtension(x, issuer, NID_subject_alt_name, names);
  if (!ok || X509_sign(x, issuerKey, EVP_sha256()) <= 0) {
    X509_free(x);
    return nullptr;
  }
  return x;
}

bool Save(const std::string& path, X509* certificate, EVP_PKEY* key) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const bool ok = certificate != nullptr ? PEM_write_X509(f, certificate) == 1
                                         : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

TestCertificates MakeTestCertificates() {
  char pattern[] = "/tmp/tapline-tls-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return {};
  const std::string folder = pattern;
  TestCertificates files{folder,
                         folder + "/ca.pem",
                         folder + "/server.pem",
                         folder + "/server-key.pem",
                         folder + "/other-key.pem",
                         folder + "/expired.pem",
                         folder + "/other-name.pem"};
  EVP_PKEY* caKey = EVP_EC_gen("P-256");
  EVP_PKEY* serverKey = EVP_EC_gen("P-256");
  EVP_PKEY* otherKey = EVP_EC_gen("P-256");
  X509* ca = Certificate(caKey, "Tapline Test CA", 1, nullptr, caKey);
  X509* server = ca != nullptr ? Certificate(serverKey, "localhost", 2, ca, caKey) : nullptr;
  X509* expired = ca != nullptr ? Certificate(serverKey, "localhost", 3, ca, caKey, "DNS:localhost,IP:127.0.0.1,IP:::1",
                                              {"20200101000000Z", "20210101000000Z"})
                                : nullptr;
  X509* otherName = ca != nullptr ? Certificate(serverKey, "other.example", 4, ca, caKey, "DNS:other.example",
                                                {"20200101000000Z", "21000101000000Z"})
                                  : nullptr;
  const bool ok = server != nullptr && expired != nullptr && otherName != nullptr && Save(files.caFile, ca, nullptr) &&
                  Save(files.serverCert, server, nullptr) && Save(files.serverKey, nullptr, serverKey) &&
                  Save(files.otherKey, nullptr, otherKey) && Save(files.expiredCert, expired, nullptr) &&
                  Save(files.otherNameCert, otherName, nullptr);
  X509_free(otherName);
  X509_free(expired);
  X509_free(server);
  X509_free(ca);
  EVP_PKEY_free(otherKey);
  EVP_PKEY_free(serverKey);
  EVP_PKEY_free(caKey);
  return ok ? files : TestCertificates{};
}

}  // namespace tapline::test
