#include "shell/connection_options.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace tapline::shell {

namespace {

QString Text(const std::string& s) { return QString::fromLocal8Bit(s); }
std::string Text(const QLineEdit* e) { return e->text().toLocal8Bit().toStdString(); }

}  // namespace

ConnectionOptionsDialog::ConnectionOptionsDialog(QWidget* owner) : QDialog(owner) {
  setObjectName(QStringLiteral("ConnectionOptionsDialog"));
  setWindowTitle(QStringLiteral("Connection Options"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  auto* layout = new QVBoxLayout(this);

  auto* listening = new QGroupBox(QStringLiteral("Listening"), this);
  auto* listenForm = new QFormLayout(listening);
  listen_ = new QLineEdit(listening);
  listen_->setObjectName(QStringLiteral("EditListenAddress"));
  listen_->setPlaceholderText(QStringLiteral("every interface"));
  listen_->setToolTip(QStringLiteral("An address of this machine (127.0.0.1, ::1) or a name; empty for every interface"));
  listenForm->addRow(QStringLiteral("Listen &Address:"), listen_);
  layout->addWidget(listening);

  auto* connecting = new QGroupBox(QStringLiteral("Connecting to the remote"), this);
  auto* connectForm = new QFormLayout(connecting);
  connectTimeout_ = new QSpinBox(connecting);
  connectTimeout_->setObjectName(QStringLiteral("SpinConnectTimeout"));
  connectTimeout_->setRange(0, engine::kConnectTimeoutLimit);
  connectTimeout_->setSuffix(QStringLiteral(" s"));
  connectTimeout_->setSpecialValueText(QStringLiteral("the system's own"));
  connectTimeout_->setToolTip(
      QStringLiteral("Seconds a connect to the remote host may take before it counts as failed; 0 for the system's own "
                     "timeout"));
  connectForm->addRow(QStringLiteral("Connect &Timeout:"), connectTimeout_);
  layout->addWidget(connecting);

  auto* remote = new QGroupBox(QStringLiteral("TLS to the remote"), this);
  auto* remoteForm = new QFormLayout(remote);
  tls_ = new QCheckBox(QStringLiteral("&Use TLS to the remote host"), remote);
  tls_->setObjectName(QStringLiteral("CheckTls"));
  remoteForm->addRow(tls_);
  tlsCa_ = FileField(QStringLiteral("EditTlsCa"), QStringLiteral("Certificates (*.pem *.crt);;All files (*)"),
                     QString(), false);
  remoteForm->addRow(QStringLiteral("Trusted &CA file:"), tlsCa_->parentWidget());
  tlsInsecure_ = new QCheckBox(QStringLiteral("Do &not verify the server's certificate"), remote);
  tlsInsecure_->setObjectName(QStringLiteral("CheckTlsInsecure"));
  remoteForm->addRow(tlsInsecure_);
  layout->addWidget(remote);

  auto* clients = new QGroupBox(QStringLiteral("TLS for clients"), this);
  auto* clientForm = new QFormLayout(clients);
  tlsListen_ = new QCheckBox(QStringLiteral("Clients must &start TLS"), clients);
  tlsListen_->setObjectName(QStringLiteral("CheckTlsListen"));
  clientForm->addRow(tlsListen_);
  tlsCert_ = FileField(QStringLiteral("EditTlsCert"), QStringLiteral("Certificates (*.pem *.crt);;All files (*)"),
                       QString(), false);
  tlsCert_->setPlaceholderText(QStringLiteral("Tapline's own certificate"));
  clientForm->addRow(QStringLiteral("Ce&rtificate:"), tlsCert_->parentWidget());
  tlsKey_ = FileField(QStringLiteral("EditTlsKey"), QStringLiteral("Keys (*.pem *.key);;All files (*)"), QString(),
                      false);
  tlsKey_->setPlaceholderText(QStringLiteral("in the certificate file"));
  clientForm->addRow(QStringLiteral("&Key:"), tlsKey_->parentWidget());
  layout->addWidget(clients);

  auto* capture = new QGroupBox(QStringLiteral("Capture"), this);
  auto* captureForm = new QFormLayout(capture);
  capture_ = FileField(QStringLiteral("EditCaptureFile"), QStringLiteral("Capture files (*.pcapng);;All files (*)"),
                       QStringLiteral("pcapng"), true);
  capture_->setPlaceholderText(QStringLiteral("no capture file"));
  captureForm->addRow(QStringLiteral("Ca&pture File:"), capture_->parentWidget());
  split_ = FileField(QStringLiteral("EditSplitFolder"), QString(), QString(), true, true);
  split_->setPlaceholderText(QStringLiteral("no files per direction"));
  split_->setToolTip(QStringLiteral("A folder for two files per connection, one per direction, as forwarded"));
  captureForm->addRow(QStringLiteral("&Split Folder:"), split_->parentWidget());
  json_ = FileField(QStringLiteral("EditJsonFile"), QStringLiteral("JSON Lines (*.jsonl *.json);;All files (*)"),
                    QStringLiteral("jsonl"), true);
  json_->setPlaceholderText(QStringLiteral("no JSON file"));
  json_->setToolTip(QStringLiteral("A file for every event as JSON Lines, data in base64"));
  captureForm->addRow(QStringLiteral("&JSON File:"), json_->parentWidget());
  layout->addWidget(capture);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->setObjectName(QStringLiteral("ConnectionOptionsButtons"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

QLineEdit* ConnectionOptionsDialog::FileField(const QString& name, const QString& filter, const QString& suffix,
                                              bool save, bool folder) {
  auto* row = new QWidget(this);
  auto* h = new QHBoxLayout(row);
  h->setContentsMargins(0, 0, 0, 0);
  auto* edit = new QLineEdit(row);
  edit->setObjectName(name);
  edit->setMinimumWidth(fontMetrics().averageCharWidth() * 36);
  auto* browse = new QPushButton(QStringLiteral("..."), row);
  browse->setObjectName(name + QStringLiteral("Browse"));
  browse->setToolTip(QStringLiteral("Choose a file"));
  browse->setFixedWidth(fontMetrics().horizontalAdvance(QStringLiteral("...")) + 16);
  h->addWidget(edit);
  h->addWidget(browse);
  connect(browse, &QPushButton::clicked, this, [this, edit, filter, suffix, save, folder] {
    QFileDialog dialog(this, QStringLiteral("Choose a file"));
    dialog.setObjectName(QStringLiteral("ConnectionOptionsFileDialog"));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (folder) dialog.setFileMode(QFileDialog::Directory);
    if (!filter.isEmpty()) dialog.setNameFilter(filter);
    if (!suffix.isEmpty()) dialog.setDefaultSuffix(suffix);
    dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite);
    if (!edit->text().isEmpty()) dialog.selectFile(edit->text());
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
      edit->setText(dialog.selectedFiles().first());
    }
  });
  return edit;
}

void ConnectionOptionsDialog::Load(const engine::RelayOptions& options) {
  listen_->setText(Text(options.listenAddress));
  connectTimeout_->setValue(options.connectTimeout);
  tls_->setChecked(options.tls.toRemote);
  tlsCa_->setText(Text(options.tls.caFile));
  tlsInsecure_->setChecked(options.tls.insecure);
  tlsListen_->setChecked(options.tls.forClients);
  tlsCert_->setText(Text(options.tls.certFile));
  tlsKey_->setText(Text(options.tls.keyFile));
  capture_->setText(Text(options.captureFile));
  split_->setText(Text(options.splitFolder));
  json_->setText(Text(options.jsonFile));
}

void ConnectionOptionsDialog::Store(engine::RelayOptions& options) const {
  options.listenAddress = Text(listen_);
  options.connectTimeout = connectTimeout_->value();
  options.tls.toRemote = tls_->isChecked();
  options.tls.caFile = Text(tlsCa_);
  options.tls.insecure = tlsInsecure_->isChecked();
  options.tls.forClients = tlsListen_->isChecked();
  options.tls.certFile = Text(tlsCert_);
  options.tls.keyFile = Text(tlsKey_);
  options.captureFile = Text(capture_);
  options.splitFolder = Text(split_);
  options.jsonFile = Text(json_);
}

}  // namespace tapline::shell
