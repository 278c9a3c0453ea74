#include "shell/settings.h"

#include <QSettings>
#include <QVariant>
#include <limits>

#include "engine/relay_options.h"

namespace tapline::shell {

namespace {

const QString Organisation = QStringLiteral("Fenwold");
const QString Application = QStringLiteral("Tapline");

// A whole number stored as a number or as its decimal text; nothing else counts.
std::optional<qlonglong> ReadWhole(const QSettings& settings, const QString& name) {
  QVariant value = settings.value(name);
  if (!value.isValid()) return std::nullopt;
  switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
      bool ok = false;
      qlonglong n = value.toLongLong(&ok);
      if (ok) return n;
      return std::nullopt;
    }
    case QMetaType::QString:
    case QMetaType::QByteArray: {
      bool ok = false;
      qlonglong n = value.toString().trimmed().toLongLong(&ok);
      if (ok) return n;
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

std::optional<std::int32_t> ReadInt32(const QSettings& settings, const QString& name) {
  auto n = ReadWhole(settings, name);
  if (!n || *n < std::numeric_limits<std::int32_t>::min() || *n > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*n);
}

std::optional<std::uint32_t> ReadUInt32(const QSettings& settings, const QString& name) {
  auto n = ReadWhole(settings, name);
  if (!n || *n < 0 || *n > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(*n);
}

std::optional<QString> ReadText(const QSettings& settings, const QString& name, int limit) {
  QVariant value = settings.value(name);
  if (!value.isValid()) return std::nullopt;
  // A text that the store split into a list (commas) or any other kind of value is no text of ours.
  if (value.typeId() != QMetaType::QString && value.typeId() != QMetaType::QByteArray) return std::nullopt;
  QString text = value.toString();
  if (text.size() > limit) return std::nullopt;
  return text;
}

void WriteText(QSettings& settings, const QString& name, const QString& text, int limit) {
  if (text.size() > limit) {
    settings.remove(name);
  } else {
    settings.setValue(name, text);
  }
}

}  // namespace

std::unique_ptr<QSettings> OpenUserSettings() {
  auto settings = std::make_unique<QSettings>(QSettings::UserScope, Organisation, Application);
  settings->setFallbacksEnabled(false);
  return settings;
}

SavedSettings ReadSettings(QSettings& settings) {
  SavedSettings s;
  s.width = ReadUInt32(settings, QStringLiteral("Width"));
  s.height = ReadUInt32(settings, QStringLiteral("Height"));
  s.bufferSize = ReadInt32(settings, QStringLiteral("Buffer Size"));
  s.detail = ReadUInt32(settings, QStringLiteral("Detail"));
  s.remoteHost = ReadText(settings, QStringLiteral("Remote Host"), RemoteHostLimit);
  s.remotePort = ReadText(settings, QStringLiteral("Remote Port"), RemotePortLimit);
  s.localPort = ReadText(settings, QStringLiteral("Local Port"), LocalPortLimit);
  s.logFile = ReadText(settings, QStringLiteral("Log File"), LogFileLimit);
  s.hexOnly = ReadInt32(settings, QStringLiteral("Hex Only"));
  s.wrap = ReadUInt32(settings, QStringLiteral("Wrap"));
  s.left = ReadInt32(settings, QStringLiteral("Left"));
  s.top = ReadInt32(settings, QStringLiteral("Top"));
  s.maximized = ReadUInt32(settings, QStringLiteral("Maximized"));
  s.listenAddress = ReadText(settings, QStringLiteral("Listen Address"), ListenAddressLimit);
  s.captureFile = ReadText(settings, QStringLiteral("Capture File"), PathLimit);
  s.splitFolder = ReadText(settings, QStringLiteral("Split Folder"), PathLimit);
  s.jsonFile = ReadText(settings, QStringLiteral("JSON File"), PathLimit);
  s.tls = ReadUInt32(settings, QStringLiteral("TLS"));
  s.tlsCa = ReadText(settings, QStringLiteral("TLS CA File"), PathLimit);
  s.tlsInsecure = ReadUInt32(settings, QStringLiteral("TLS Insecure"));
  s.tlsListen = ReadUInt32(settings, QStringLiteral("TLS Listen"));
  s.tlsCert = ReadText(settings, QStringLiteral("TLS Certificate"), PathLimit);
  s.tlsKey = ReadText(settings, QStringLiteral("TLS Key"), PathLimit);
  s.rewriteHost = ReadUInt32(settings, QStringLiteral("Rewrite Host"));
  s.connectTimeout = ReadUInt32(settings, QStringLiteral("Connect Timeout"));
  if (s.connectTimeout && *s.connectTimeout > static_cast<std::uint32_t>(engine::kConnectTimeoutLimit)) {
    s.connectTimeout.reset();
  }
  return s;
}

void WriteSettings(QSettings& settings, const SettingsToSave& v) {
  settings.setValue(QStringLiteral("Width"), v.width);
  settings.setValue(QStringLiteral("Height"), v.height);
  settings.setValue(QStringLiteral("Buffer Size"), v.bufferSize);
  settings.setValue(QStringLiteral("Detail"), v.detail);
  settings.setValue(QStringLiteral("Hex Only"), v.hexOnly);
  WriteText(settings, QStringLiteral("Remote Host"), v.remoteHost, RemoteHostLimit);
  WriteText(settings, QStringLiteral("Remote Port"), v.remotePort, RemotePortLimit);
  WriteText(settings, QStringLiteral("Local Port"), v.localPort, LocalPortLimit);
  WriteText(settings, QStringLiteral("Log File"), v.logFile, LogFileLimit);
  settings.setValue(QStringLiteral("Wrap"), v.wrap ? 1 : 0);
  settings.setValue(QStringLiteral("Left"), v.left);
  settings.setValue(QStringLiteral("Top"), v.top);
  settings.setValue(QStringLiteral("Maximized"), v.maximized ? 1 : 0);
  WriteText(settings, QStringLiteral("Listen Address"), v.listenAddress, ListenAddressLimit);
  WriteText(settings, QStringLiteral("Capture File"), v.captureFile, PathLimit);
  WriteText(settings, QStringLiteral("Split Folder"), v.splitFolder, PathLimit);
  WriteText(settings, QStringLiteral("JSON File"), v.jsonFile, PathLimit);
  settings.setValue(QStringLiteral("TLS"), v.tls ? 1 : 0);
  WriteText(settings, QStringLiteral("TLS CA File"), v.tlsCa, PathLimit);
  settings.setValue(QStringLiteral("TLS Insecure"), v.tlsInsecure ? 1 : 0);
  settings.setValue(QStringLiteral("TLS Listen"), v.tlsListen ? 1 : 0);
  WriteText(settings, QStringLiteral("TLS Certificate"), v.tlsCert, PathLimit);
  WriteText(settings, QStringLiteral("TLS Key"), v.tlsKey, PathLimit);
  settings.setValue(QStringLiteral("Rewrite Host"), v.rewriteHost ? 1 : 0);
  settings.setValue(QStringLiteral("Connect Timeout"), v.connectTimeout);
  settings.sync();
}

std::optional<QString> ReadInstallDir() {
  QSettings machine(QSettings::SystemScope, Organisation, Application);
  return ReadText(machine, QStringLiteral("InstallDir"), InstallDirLimit);
}

}  // namespace tapline::shell
