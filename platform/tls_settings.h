// The TLS choices of a relay run: TLS toward the remote host, TLS for accepted clients, and the files
// they use. Plain data, filled by the command line or the window and read on the main thread at start.
#pragma once

#include <string>

namespace tapline::platform {

struct TlsSettings {
  // Toward the remote host (-tls, -tls-ca, -tls-insecure).
  bool toRemote = false;
  std::string caFile;     // trusted certificates (PEM) besides the system's; empty for none
  bool insecure = false;  // the server's certificate is not verified

  // For accepted clients (-tls-listen, -tls-cert, -tls-key).
  bool forClients = false;
  std::string certFile;  // certificate chain (PEM); empty: Tapline's own certificate
  std::string keyFile;   // its key (PEM); empty: taken from certFile

  bool operator==(const TlsSettings&) const = default;
};

}  // namespace tapline::platform
