// The "Connection Options" dialog of the Tools menu: the listening address, the connect timeout, TLS toward
// the remote and for clients with their files, the capture file and the exports (-split, -json). Main thread only.
#pragma once

#include <QDialog>

#include "engine/relay_options.h"

class QCheckBox;
class QLineEdit;
class QSpinBox;

namespace tapline::shell {

class ConnectionOptionsDialog : public QDialog {
 public:
  explicit ConnectionOptionsDialog(QWidget* owner);
  // Shows what `options` hold; Store puts the dialog's values back (only the fields it shows).
  void Load(const engine::RelayOptions& options);
  void Store(engine::RelayOptions& options) const;

 private:
  QLineEdit* FileField(const QString& name, const QString& filter, const QString& suffix, bool save,
                       bool folder = false);

  QLineEdit* listen_;
  QSpinBox* connectTimeout_;
  QCheckBox* tls_;
  QLineEdit* tlsCa_;
  QCheckBox* tlsInsecure_;
  QCheckBox* tlsListen_;
  QLineEdit* tlsCert_;
  QLineEdit* tlsKey_;
  QLineEdit* capture_;
  QLineEdit* split_;
  QLineEdit* json_;
};

}  // namespace tapline::shell
