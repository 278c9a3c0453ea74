// The saved settings: the ten per-user values of the main window and the machine-wide installation
// folder, with the rules by which a stored value counts as absent (too long, or out of range).
// Main thread only (QSettings of the application).
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

class QSettings;

namespace tapline::shell {

// Text limits of the saved texts, in characters.
inline constexpr int RemoteHostLimit = 63;
inline constexpr int RemotePortLimit = 7;
inline constexpr int LocalPortLimit = 7;
inline constexpr int LogFileLimit = 255;
inline constexpr int PathLimit = 4096;  // the Connection Options' files
inline constexpr int ListenAddressLimit = 253;
inline constexpr int InstallDirLimit = 259;

// What was found; an empty optional is a value that is absent or counts as absent.
struct SavedSettings {
  std::optional<std::uint32_t> width;
  std::optional<std::uint32_t> height;
  std::optional<std::int32_t> bufferSize;
  std::optional<std::uint32_t> detail;
  std::optional<QString> remoteHost;
  std::optional<QString> remotePort;
  std::optional<QString> localPort;
  std::optional<QString> logFile;
  std::optional<std::int32_t> hexOnly;
  std::optional<std::uint32_t> wrap;
  // The Connection Options and the Host rewrite.
  std::optional<QString> listenAddress;
  std::optional<QString> captureFile;
  std::optional<QString> splitFolder;
  std::optional<QString> jsonFile;
  std::optional<std::uint32_t> tls;
  std::optional<QString> tlsCa;
  std::optional<std::uint32_t> tlsInsecure;
  std::optional<std::uint32_t> tlsListen;
  std::optional<QString> tlsCert;
  std::optional<QString> tlsKey;
  std::optional<std::uint32_t> rewriteHost;
  std::optional<std::uint32_t> connectTimeout;  // seconds, at most engine::kConnectTimeoutLimit
  // Beyond the ten values of the design: where the window was and whether it was maximised.
  std::optional<std::int32_t> left;
  std::optional<std::int32_t> top;
  std::optional<std::uint32_t> maximized;
};

// What is written at every close.
struct SettingsToSave {
  int width = 0;
  int height = 0;
  std::int32_t bufferSize = 32768;
  std::uint32_t detail = 2;
  std::int32_t hexOnly = 0;
  QString remoteHost;
  QString remotePort;
  QString localPort;
  QString logFile;
  bool wrap = false;
  QString listenAddress;
  QString captureFile;
  QString splitFolder;
  QString jsonFile;
  bool tls = false;
  QString tlsCa;
  bool tlsInsecure = false;
  bool tlsListen = false;
  QString tlsCert;
  QString tlsKey;
  bool rewriteHost = true;
  std::int32_t connectTimeout = 0;
  int left = 0;
  int top = 0;
  bool maximized = false;
};

// The per-user store (organisation "Fenwold", application "Tapline"), without falling back to the
// machine-wide one, so that only the user's own values are read back.
std::unique_ptr<QSettings> OpenUserSettings();
SavedSettings ReadSettings(QSettings& settings);
// Writes the ten values, then the window's place ("Left", "Top", "Maximized"). A text longer than its limit is not saved: its value is removed instead, so
// that a stale older value does not come back at the next start.
void WriteSettings(QSettings& settings, const SettingsToSave& values);

// "InstallDir" of the machine-wide store, or an empty optional when it is absent or too long.
std::optional<QString> ReadInstallDir();

}  // namespace tapline::shell
