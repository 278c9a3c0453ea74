#include "platform/certificate_text.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace tapline::platform {

namespace {

struct BioFree { void operator()(BIO* b) const { BIO_free(b); } };

std::string Take(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string text(data != nullptr ? data : "", length > 0 ? static_cast<std::size_t>(length) : 0);
  BIO_reset(bio);
  return text;
}

}  // namespace

std::string DescribeCertificate(X509* certificate) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || certificate == nullptr) return "not available";
  // One line, fields in the certificate's order, "=" without blanks so that "," and ";" read as separators.
  constexpr unsigned long kNameFlags = XN_FLAG_ONELINE & ~XN_FLAG_SPC_EQ;
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0, kNameFlags);
  std::string text = "subject " + Take(bio.get());
  std::string names = "none";
  const int at = X509_get_ext_by_NID(certificate, NID_subject_alt_name, -1);
  if (at >= 0 && X509V3_EXT_print(bio.get(), X509_get_ext(certificate, at), 0, 0) == 1) names = Take(bio.get());
  text += "; names " + names;
  X509_NAME_print_ex(bio.get(), X509_get_issuer_name(certificate), 0, kNameFlags);
  text += "; issuer " + Take(bio.get());
  ASN1_TIME_print_ex(bio.get(), X509_get0_notBefore(certificate), ASN1_DTFLGS_ISO8601);
  text += "; valid " + Take(bio.get());
  ASN1_TIME_print_ex(bio.get(), X509_get0_notAfter(certificate), ASN1_DTFLGS_ISO8601);
  text += " to " + Take(bio.get());
  // The names are the remote's to choose: a line break in one must not start a line of the log.
  for (char& ch : text) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
  }
  return text;
}

}  // namespace tapline::platform
