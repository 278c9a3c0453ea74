// Helpers for the window tests: opening the real window as the program does, finding its controls by
// name, answering modal dialogs from the event loop, catching opened addresses, and the settings store.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shell/log_memo.h"
#include "shell/main_window.h"
#include "shell/program.h"

namespace tapline::test {

using shell::TForm1;

// A control of the window by its object name; fails the test when there is none.
template <typename T>
T* Control(QObject* window, const char* name) {
  T* found = window->findChild<T*>(QString::fromLatin1(name));
  if (found == nullptr) qFatal("no control %s", name);
  return found;
}

// What a modal message box showed.
struct SeenBox {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QList<QMessageBox::StandardButton> buttons;
};

// Answers every modal dialog that comes up while it lives: message boxes with `answer` (recording what
// they showed), file dialogs through `onFileDialog` (cancelled when that is not set).
class DialogDriver : public QObject {
 public:
  explicit DialogDriver(QMessageBox::StandardButton answer = QMessageBox::Ok) : answer_(answer) {
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_.start(5);
  }

  void SetAnswer(QMessageBox::StandardButton answer) { answer_ = answer; }
  std::function<void(QFileDialog&)> onFileDialog;
  std::function<void(QMessageBox&)> onMessageBox;  // called while the box is up, before it is answered
  std::vector<SeenBox> boxes;
  int fileDialogs = 0;

 private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      SeenBox seen;
      seen.title = box->windowTitle();
      seen.text = box->text();
      seen.icon = box->icon();
      for (QAbstractButton* b : box->buttons()) seen.buttons.append(box->standardButton(b));
      boxes.push_back(seen);
      if (onMessageBox) onMessageBox(*box);
      QAbstractButton* button = box->button(answer_);
      if (button == nullptr) button = box->buttons().value(0);
      button->click();
    } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
      ++fileDialogs;
      if (onFileDialog) {
        onFileDialog(*dialog);
      } else {
        dialog->reject();
      }
    }
  }

  QMessageBox::StandardButton answer_;
  QTimer timer_;
};

// Collects the addresses the program hands to the desktop instead of starting a browser.
class UrlCatcher : public QObject {
  Q_OBJECT

 public:
  UrlCatcher() {
    for (const char* scheme : {"http", "https", "file"}) {
      QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "Open");
    }
  }
  ~UrlCatcher() override {
    for (const char* scheme : {"http", "https", "file"}) QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
  }
  QList<QUrl> opened;

 public slots:
  void Open(const QUrl& url) { opened.append(url); }
};

// The per-user store the window reads and writes (inside the test's own configuration folder).
inline std::unique_ptr<QSettings> UserSettings() {
  auto s = std::make_unique<QSettings>(QSettings::UserScope, QStringLiteral("Fenwold"), QStringLiteral("Tapline"));
  s->setFallbacksEnabled(false);
  return s;
}
inline std::unique_ptr<QSettings> MachineSettings() {
  return std::make_unique<QSettings>(QSettings::SystemScope, QStringLiteral("Fenwold"), QStringLiteral("Tapline"));
}
inline void ForgetSettings() {
  UserSettings()->clear();
  MachineSettings()->clear();
}

// Opens the window as the program entry does and waits until it is on screen and active.
inline std::unique_ptr<TForm1> Open(const std::vector<std::string>& args = {}) {
  std::unique_ptr<TForm1> form = shell::OpenMainWindow(args);
  if (form) {
    form->activateWindow();
    if (!QTest::qWaitForWindowActive(form.get())) qWarning("the window did not become active");
  }
  return form;
}

inline QString LabelText(QObject* window, const char* name) { return Control<QLabel>(window, name)->text(); }

inline shell::LogMemo* Memo(QObject* window) { return Control<shell::LogMemo>(window, "Memo1"); }

// `count` lines of `width` characters each (the last ones numbered so that they can be told apart),
// each ending in CR LF: count * (width + 2) characters as the view counts them.
inline std::string Lines(int count, int width, char fill = 'x') {
  std::string text;
  for (int i = 0; i < count; ++i) {
    std::string line(static_cast<std::size_t>(width), fill);
    std::string number = std::to_string(i);
    line.replace(0, number.size(), number);
    text += line + "\r\n";
  }
  return text;
}

}  // namespace tapline::test

// Every test binary starts from the same environment: the settings of an earlier case are gone and the
// program's title, organisation and resources are set as the program entry sets them.
#define TAPLINE_WINDOW_TEST_MAIN(TestClass)                       \
  int main(int argc, char** argv) {                               \
    QApplication app(argc, argv);                                 \
    tapline::shell::SetUpApplication();                           \
    TestClass test;                                               \
    return QTest::qExec(&test, argc, argv);                       \
  }
