// The OpenSSL contexts of a relay run, made from its TlsSettings and checked before the start, and
// Tapline's own certificate for clients. Main thread only (a context is then shared by its transports).
#pragma once

#include <memory>
#include <string>

#include "platform/tls_settings.h"

struct ssl_ctx_st;

namespace tapline::platform {

class TlsContext {
 public:
  // Makes the contexts the settings ask for. Null when a file is missing, unreadable or wrong; `error`
  // then says which file and why, in one line.
  static std::shared_ptr<TlsContext> Make(const TlsSettings& settings, std::string& error);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // Null when that side runs without TLS.
  ssl_ctx_st* ToRemote() const { return toRemote_; }
  ssl_ctx_st* ForClients() const { return forClients_; }
  bool Insecure() const { return insecure_; }
  // The certificate shown to clients: its file and SHA-256 fingerprint (hex pairs joined by ':').
  const std::string& CertificatePath() const { return certificatePath_; }
  const std::string& CertificateFingerprint() const { return fingerprint_; }

 private:
  TlsContext() = default;
  ssl_ctx_st* toRemote_ = nullptr;
  ssl_ctx_st* forClients_ = nullptr;
  bool insecure_ = false;
  std::string certificatePath_;
  std::string fingerprint_;
};

// Where Tapline keeps its own certificate: $XDG_DATA_HOME/Tapline, else ~/.local/share/Tapline.
std::string OwnCertificateFolder();
// The file names of the own certificate and its key inside that folder.
inline constexpr const char* kOwnCertificateFile = "localhost-certificate.pem";
inline constexpr const char* kOwnKeyFile = "localhost-key.pem";

}  // namespace tapline::platform
