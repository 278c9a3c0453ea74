// OpenSSL contexts from the TLS settings, with every file checked before the start, and the making of
// Tapline's own self-signed certificate for clients.
#include "platform/tls_context.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace tapline::platform {

namespace {

struct BioFree { void operator()(BIO* b) const { BIO_free(b); } };
struct X509Free { void operator()(X509* x) const { X509_free(x); } };
struct KeyFree { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

// Reads a whole file; an empty answer with `reason` set when it cannot be read.
bool ReadFile(const std::string& path, std::string& content, std::string& reason) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    reason = std::strerror(errno);
    return false;
  }
  char chunk[16384];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, n);
  const bool failed = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (failed) {
    reason = std::strerror(err);
    return false;
  }
  return true;
}

BioPtr MemoryBio(const std::string& content) {
  return BioPtr(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
}

// Every PEM certificate in `content`, in order; other PEM blocks (a key) are skipped.
std::vector<X509Ptr> Certificates(const std::string& content) {
  std::vector<X509Ptr> certificates;
  BioPtr bio = MemoryBio(content);
  while (X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) certificates.emplace_back(x);
  ERR_clear_error();  // the end of the file reads as an error
  return certificates;
}

// A key protected by a password is refused rather than asked for on the terminal.
int NoPassword(char*, int, int, void*) { return -1; }

KeyPtr PrivateKey(const std::string& content) {
  BioPtr bio = MemoryBio(content);
  KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr));
  ERR_clear_error();
  return key;
}

std::string Fingerprint(X509* certificate) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(certificate, EVP_sha256(), md, &length);
  std::string text;
  char pair[4];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", md[i]);
    text += pair;
  }
  return text;
}

// Writes `content` to `path` through a temporary file and a rename, so that a reader never sees half a file.
bool WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode, std::string& error) {
  const std::string temporary = path + ".new";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  bool ok = fd >= 0 && ::fchmod(fd, mode) == 0;
  for (std::size_t done = 0; ok && done < content.size();) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  const int err = errno;
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
  error = "Cannot write " + path + ": " + std::strerror(ok ? errno : err);
  ::unlink(temporary.c_str());
  return false;
}

std::string PemOf(int (*write)(BIO*, void*), void* object) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  write(bio.get(), object);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

// A self-signed certificate for this machine's loopback names, good for three years.
bool MakeOwnCertificate(X509Ptr& certificate, KeyPtr& key) {
  key.reset(EVP_EC_gen("P-256"));
  certificate.reset(X509_new());
  if (!key || !certificate) return false;
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return false;
  serial[0] &= 0x7F;  // a positive serial number
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(certificate.get())) != nullptr;
  BN_free(bn);
  X509* x = certificate.get();
  ok = ok && X509_set_version(x, 2) == 1 && X509_gmtime_adj(X509_getm_notBefore(x), -3600) != nullptr &&
       X509_gmtime_adj(X509_getm_notAfter(x), 3L * 365 * 24 * 3600) != nullptr && X509_set_pubkey(x, key.get()) == 1;
  X509_NAME* name = X509_get_subject_name(x);
  ok = ok &&
       X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Tapline"), -1, -1, 0) &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0) &&
       X509_set_issuer_name(x, name) == 1;
  X509V3_CTX v3;
  X509V3_set_ctx(&v3, x, x, nullptr, nullptr, 0);
  // No key usage extension: with one that lacks keyCertSign, a self-signed certificate stops counting as
  // its own issuer, and a client that trusts it could not build the chain.
  for (auto [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:FALSE"},
                            std::pair{NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1"},
                            std::pair{NID_ext_key_usage, "serverAuth"}}) {
    X509_EXTENSION* extension = ok ? X509V3_EXT_conf_nid(nullptr, &v3, nid, value) : nullptr;
    ok = extension != nullptr && X509_add_ext(x, extension, -1) == 1;
    X509_EXTENSION_free(extension);
  }
  return ok && X509_sign(x, key.get(), EVP_sha256()) > 0;
}

int WriteCertificatePem(BIO* bio, void* x) { return PEM_write_bio_X509(bio, static_cast<X509*>(x)); }
int WriteKeyPem(BIO* bio, void* k) {
  return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(k), nullptr, nullptr, 0, nullptr, nullptr);
}

// The own certificate: made and saved on first use, read back afterwards.
bool OwnCertificateFiles(std::string& certPath, std::string& keyPath, std::string& error) {
  const std::string folder = OwnCertificateFolder();
  certPath = folder + "/" + kOwnCertificateFile;
  keyPath = folder + "/" + kOwnKeyFile;
  // The certificate is written last, so its presence means that both files are complete.
  if (::access(certPath.c_str(), F_OK) == 0) return true;
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    error = "Cannot make the folder " + folder + ": " + ec.message();
    return false;
  }
  X509Ptr certificate;
  KeyPtr key;
  if (!MakeOwnCertificate(certificate, key)) {
    const char* why = ERR_reason_error_string(ERR_get_error());
    error = std::string("Cannot make a certificate for clients: ") + (why != nullptr ? why : "OpenSSL failed");
    ERR_clear_error();
    return false;
  }
  return WriteFileAtomically(keyPath, PemOf(WriteKeyPem, key.get()), 0600, error) &&
         WriteFileAtomically(certPath, PemOf(WriteCertificatePem, certificate.get()), 0644, error);
}

struct CtxFree { void operator()(SSL_CTX* c) const { SSL_CTX_free(c); } };
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

CtxPtr ContextToRemote(const TlsSettings& settings, std::string& error) {
  CtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    error = "Cannot set up TLS";
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_default_verify_paths(ctx.get());
  ERR_clear_error();  // a machine without a system trust store still has -tls-ca
  if (!settings.caFile.empty()) {
    std::string content, reason;
    if (!ReadFile(settings.caFile, content, reason)) {
      error = "Cannot read the CA file " + settings.caFile + ": " + reason;
      return nullptr;
    }
    std::vector<X509Ptr> certificates = Certificates(content);
    if (certificates.empty()) {
      error = "The CA file " + settings.caFile + " holds no certificate";
      return nullptr;
    }
    X509_STORE* store = SSL_CTX_get_cert_store(ctx.get());
    for (const X509Ptr& x : certificates) X509_STORE_add_cert(store, x.get());
    ERR_clear_error();  // one already in the system's store
  }
  SSL_CTX_set_verify(ctx.get(), settings.insecure ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
  return ctx;
}

CtxPtr ContextForClients(const std::string& certPath, const std::string& keyPath, std::string& fingerprint,
                         std::string& error) {
  std::string certContent, keyContent, reason;
  if (!ReadFile(certPath, certContent, reason)) {
    error = "Cannot read the certificate file " + certPath + ": " + reason;
    return nullptr;
  }
  std::vector<X509Ptr> chain = Certificates(certContent);
  if (chain.empty()) {
    error = "The certificate file " + certPath + " holds no certificate";
    return nullptr;
  }
  if (keyPath == certPath) {
    keyContent = certContent;
  } else if (!ReadFile(keyPath, keyContent, reason)) {
    error = "Cannot read the key file " + keyPath + ": " + reason;
    return nullptr;
  }
  KeyPtr key = PrivateKey(keyContent);
  if (!key) {
    error = "The key file " + keyPath + " holds no private key without a password";
    return nullptr;
  }
  if (X509_check_private_key(chain.front().get(), key.get()) != 1) {
    ERR_clear_error();
    error = "The key file " + keyPath + " does not match the certificate in " + certPath;
    return nullptr;
  }
  CtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  bool ok = ctx && SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) == 1 &&
            SSL_CTX_use_certificate(ctx.get(), chain.front().get()) == 1 &&
            SSL_CTX_use_PrivateKey(ctx.get(), key.get()) == 1;
  for (std::size_t i = 1; ok && i < chain.size(); ++i) ok = SSL_CTX_add1_chain_cert(ctx.get(), chain[i].get()) == 1;
  if (!ok) {
    const char* why = ERR_reason_error_string(ERR_peek_last_error());
    error = "The certificate file " + certPath + " cannot be used: " + (why ? why : "OpenSSL refused it");
    ERR_clear_error();
    return nullptr;
  }
  // No ALPN: clients fall back to HTTP/1.1, whose text lines the log shows and whose Host line is rewritten.
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
  fingerprint = Fingerprint(chain.front().get());
  return ctx;
}

}  // namespace

std::string OwnCertificateFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/Tapline";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/share/Tapline";
}

std::shared_ptr<TlsContext> TlsContext::Make(const TlsSettings& settings, std::string& error) {
  std::shared_ptr<TlsContext> context(new TlsContext);
  if (settings.toRemote) {
    CtxPtr ctx = ContextToRemote(settings, error);
    if (!ctx) return nullptr;
    context->toRemote_ = ctx.release();
    context->insecure_ = settings.insecure;
  }
  if (settings.forClients) {
    std::string certPath = settings.certFile, keyPath = settings.keyFile;
    if (certPath.empty() && !keyPath.empty()) {
      error = "The key file " + keyPath + " needs its certificate file (-tls-cert)";
      return nullptr;
    }
    if (certPath.empty() && !OwnCertificateFiles(certPath, keyPath, error)) return nullptr;
    if (keyPath.empty()) keyPath = certPath;
    CtxPtr ctx = ContextForClients(certPath, keyPath, context->fingerprint_, error);
    if (!ctx) return nullptr;
    context->forClients_ = ctx.release();
    context->certificatePath_ = certPath;
  }
  return context;
}

TlsContext::~TlsContext() {
  SSL_CTX_free(toRemote_);
  SSL_CTX_free(forClients_);
}

}  // namespace tapline::platform
