// The one-line description of a certificate that follows a refused one in the log.
#include "platform/certificate_text.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

namespace tapline::platform {
namespace {

TEST(CertificateText, LineBreaksInAHostileCertificateStayOnItsOneLine) {
  // A remote's certificate holds what it likes: here a name that would start a forged log line.
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  ASSERT_TRUE(key != nullptr && x != nullptr);
  X509_set_version(x, 2);
  ASN1_TIME_set_string_X509(X509_getm_notBefore(x), "20200101000000Z");
  ASN1_TIME_set_string_X509(X509_getm_notAfter(x), "20210101000000Z");
  X509_set_pubkey(x, key);
  X509_NAME* subject = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("a\nb"), -1, -1, 0);
  X509_set_issuer_name(x, subject);
  GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
  GENERAL_NAME* name = GENERAL_NAME_new();
  ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
  ASN1_STRING_set(dns, "evil\n12: Server certificate: forged", -1);
  GENERAL_NAME_set0_value(name, GEN_DNS, dns);
  sk_GENERAL_NAME_push(names, name);
  ASSERT_EQ(X509_add1_ext_i2d(x, NID_subject_alt_name, names, 0, 0), 1);
  GENERAL_NAMES_free(names);

  const std::string text = DescribeCertificate(x);
  EXPECT_EQ(text, "subject CN=a\\0Ab; names DNS:evil?12: Server certificate: forged; issuer CN=a\\0Ab; "
                  "valid 2020-01-01 00:00:00Z to 2021-01-01 00:00:00Z");
  X509_free(x);
  EVP_PKEY_free(key);
}

}  // namespace
}  // namespace tapline::platform
