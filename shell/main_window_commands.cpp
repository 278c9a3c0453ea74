// TForm1: the one click handler and the commands behind it (relay controls, edit commands, log buffer
// options, Browse, help, home page, About), the pop-up menu's enabling and the idle-time enabling of
// the edit commands.
#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QStandardPaths>
#include <QToolButton>
#include <QUrl>
#include <cmath>
#include <exception>

#include "log/log_view.h"
#include "shell/about_box.h"
#include "engine/command_line.h"
#include "shell/log_memo.h"
#include "shell/main_window.h"
#include "shell/connections_view.h"
#include "ui_main_window.h"

namespace tapline::shell {

namespace {

int Tag(QObject* control) { return control->property("tag").toInt(); }

}  // namespace

void TForm1::ShowError(const QString& message) {
  QMessageBox box(QMessageBox::Critical, QApplication::applicationName(),
                  QString::fromStdString(WithFullStop(message.toStdString())), QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);  // a file name such as "<b>.pcapng" is shown as it is
  box.exec();
}

void TForm1::OnClick(QObject* sender) {
  try {
    const auto& u = *ui_;
    const bool pauseButton = sender == u.SpeedButtonPause;
    if (sender == u.SpeedButtonStart || sender == u.MenuItemStart || sender == u.ButtonStart) {
      StartCommand();
    } else if (sender == u.SpeedButtonStop || sender == u.MenuItemStop || sender == u.ButtonStop) {
      StopCommand();
    } else if (sender == u.MenuItemPause || sender == u.ButtonPause || (pauseButton && !relay_->Paused)) {
      PauseCommand();
    } else if (sender == u.MenuItemResume || sender == u.ButtonResume || (pauseButton && relay_->Paused)) {
      ResumeCommand();
    } else if (sender == u.ButtonBrowse) {
      Browse();
    } else if (sender == u.MenuItemReset) {
      relay_->Reset();
    } else if (sender == u.MenuItemExit) {
      close();
    } else if (sender == u.MenuCopy) {
      u.Memo1->copy();
    } else if (sender == u.MenuSelectAll) {
      u.Memo1->SelectAllText();
    } else if (sender == u.MenuItemContents) {
      Contents();
    } else if (sender == u.MenuItemHomePage) {
      OpenHomePageOrSay();
    } else if (sender == u.MenuItemAbout) {
      About();
    } else if (sender == u.MMenuItemClear || sender == u.MenuClear) {
      relay_->Clear();
    } else if (sender == u.MMenuItemWrap || sender == u.MenuWrap) {
      WrapCommand();
    } else if (sender == u.MenuItemHexOnly) {
      HexOnlyCommand();
    } else if (qobject_cast<QAction*>(sender) != nullptr || qobject_cast<QToolButton*>(sender) != nullptr) {
      EditCommand(Tag(sender));
    }
  } catch (const std::exception& e) {
    // Whatever a command raises is shown like the start's own messages, and the window goes on.
    ShowError(QString::fromLocal8Bit(e.what()));
  }
  RequestIdleUpdate();
}

void TForm1::StartCommand() {
  try {
    const engine::RelayOptions options = CurrentOptions();
    connections_->SetTls(options.tls.toRemote && options.tls.forClients ? QStringLiteral("both")
                         : options.tls.toRemote                           ? QStringLiteral("to server")
                         : options.tls.forClients                         ? QStringLiteral("clients")
                                                                          : QString());
    relay_->StartRelay(options);
  } catch (const engine::ValidationError& e) {
    if (QLineEdit* field = FieldEdit(e.field())) field->setFocus();
    ShowError(QString::fromLocal8Bit(e.what()));
  }
}

void TForm1::StopCommand() { relay_->StopByUser(true); }

void TForm1::PauseCommand() {
  if (!relay_->Started) return;
  relay_->Pause();
  ShowPaused(true);
}

void TForm1::ResumeCommand() {
  if (!relay_->Started) return;
  relay_->Resume();
  ShowPaused(false);
}

QLineEdit* TForm1::FocusedEdit() const {
  QWidget* focus = focusWidget();
  for (QLineEdit* e : {ui_->EditRemoteHost, ui_->EditRemotePort, ui_->EditLocalPort, ui_->EditLogFile}) {
    if (focus == e) return e;
  }
  return nullptr;
}

void TForm1::EditCommand(int tag) {
  if (QLineEdit* edit = FocusedEdit()) {
    switch (tag) {
      case 1: edit->cut(); break;
      case 2: edit->copy(); break;
      case 3: edit->paste(); break;
      case 5: edit->selectAll(); break;
      default: edit->undo(); break;
    }
    return;
  }
  if (tag == 2) {
    ui_->Memo1->copy();
  } else {
    ui_->Memo1->SelectAllText();
  }
}

void TForm1::SetBufferSize(QAction* item) {
  std::int32_t old = bufferSize_;
  bufferSize_ = Tag(item);
  if (bufferSize_ >= 0 && (old == -1 || old > bufferSize_)) {
    log::TrimLogBuffer(*this, 0);
    ui_->Memo1->ApplyPendingRemoval();
  }
  ShowBufferSize();
}

void TForm1::SetShowData(QAction* item) {
  relay_->Log.DetailLevel = static_cast<std::uint32_t>(Tag(item));
  ShowDetailLevel();
}

void TForm1::HexOnlyCommand() {
  relay_->HexOnly = relay_->HexOnly == 0 ? 1 : 0;
  ui_->MenuItemHexOnly->setChecked(relay_->HexOnly != 0);
}

void TForm1::WrapCommand() {
  bool on = !ui_->Memo1->Wrap();
  ui_->Memo1->SetWrap(on);
  ScrollToEnd();
  ui_->MMenuItemWrap->setChecked(on);
  ui_->MenuWrap->setChecked(on);
}

void TForm1::Browse() {
  ui_->EditLogFile->setFocus();
  QFileDialog dialog(this, QStringLiteral("Browse"));
  dialog.setObjectName(QStringLiteral("BrowseDialog"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // Qt's own dialog everywhere, so that the filters, the default extension and the options behave the
  // same on every desktop. No overwrite question: the log file is only made when a relay run starts.
  dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite);
  dialog.setNameFilters({QStringLiteral("Web Pages (*.htm *.html)"), QStringLiteral("Text Files (*.txt)"),
                         QStringLiteral("All Files (*)")});
  dialog.selectNameFilter(QStringLiteral("Web Pages (*.htm *.html)"));
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  QString current = ui_->EditLogFile->text();
  if (!current.isEmpty()) {
    dialog.selectFile(current);
  } else {
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty()) {
      QString folder = documents + QStringLiteral("/Tapline");
      // Only one new folder is made: the documents folder itself must exist.
      if (QFileInfo(folder).isDir() || (QFileInfo(documents).isDir() && QDir().mkdir(folder))) {
        dialog.setDirectory(folder);
      }
    }
  }
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
    ui_->EditLogFile->setText(QDir::toNativeSeparators(dialog.selectedFiles().constFirst()));
  }
}

void TForm1::Contents() {
  // The help page: in the installation folder (the program's own folder unless the machine-wide
  // settings name another; the build folder has a copy there), else where Linux programs keep theirs,
  // beside the installed program's prefix and in the data folders of the desktop.
  QStringList tried;
  auto add = [&tried](const QString& path) {
    const QString clean = QDir::cleanPath(path);
    if (!tried.contains(clean)) tried.append(clean);
  };
  add(installDir_ + QStringLiteral("/tapline.html"));
  const QString prefix = QCoreApplication::applicationDirPath() + QStringLiteral("/..");
  add(prefix + QStringLiteral("/share/doc/tapline/tapline.html"));
  add(prefix + QStringLiteral("/share/tapline/tapline.html"));
  for (const QString& data : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
    add(data + QStringLiteral("/doc/tapline/tapline.html"));
    add(data + QStringLiteral("/tapline/tapline.html"));
  }
  for (const QString& page : tried) {
    if (!QFileInfo(page).isFile()) continue;
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(page))) {
      QMessageBox::warning(this, QApplication::applicationName(),
                           QStringLiteral("The help page could not be opened: no web browser or viewer took\n%1")
                               .arg(page));
    }
    return;
  }
  QMessageBox::warning(this, QApplication::applicationName(),
                       QStringLiteral("The help page could not be found. Looked for:\n%1").arg(tried.join(u'\n')));
}

void TForm1::OpenHomePageOrSay() {
  if (!OpenHomePage()) {
    QMessageBox::warning(this, QApplication::applicationName(),
                         QStringLiteral("The home page could not be opened: no web browser took\n%1")
                             .arg(QString::fromLatin1(HomePageAddress)));
  }
}

void TForm1::FitToFont() {
  // The status bar's panels are 341, 88 and 100 pixels wide in the design, made for a dotted address
  // in the second. With a larger font the address and state panels grow by the factor the address
  // needs, and the hint panel gives up what they took, so the bar keeps its width while it can.
  QLabel* address = statusPanels_[1];
  const QFontMetrics metrics(address->font());
  const int needed = metrics.horizontalAdvance(QStringLiteral("255.255.255.255")) + 2 * address->frameWidth() +
                     address->margin() * 2 + 8;
  const double scale = std::max(1.0, needed / 88.0);
  const int addressWidth = static_cast<int>(std::lround(88 * scale));
  const int stateWidth = static_cast<int>(std::lround(100 * scale));
  const int hintWidth = std::max(341 - (addressWidth - 88) - (stateWidth - 100), 240);
  statusPanels_[0]->setFixedWidth(hintWidth);
  statusPanels_[1]->setFixedWidth(addressWidth);
  statusPanels_[2]->setFixedWidth(stateWidth);
  // The parameters panel is 155 pixels high in the design, or as high as its contents need.
  QWidget* panel = ui_->PanelParameters;
  panel->setMinimumHeight(0);
  panel->setMaximumHeight(QWIDGETSIZE_MAX);
  panel->setFixedHeight(std::max(155, panel->layout()->sizeHint().height()));
}

void TForm1::About() {
  TAboutBox box(this);
  box.exec();
}

void TForm1::OnPopup() {
  ui_->MenuCopy->setEnabled(ui_->Memo1->SelectionLength() > 0);
  ui_->MenuSelectAll->setEnabled(ui_->Memo1->CharacterCount() > 0);
}

void TForm1::RequestIdleUpdate() {
  if (!idleTimer_.isActive()) idleTimer_.start();
}

void TForm1::IdleUpdate() {
  if (autoStart_ == 1 && isVisible()) {
    autoStart_ = -1;
    StartCommand();
  }
  UpdateEditCommands();
}

void TForm1::UpdateEditCommands() {
  bool target = false;
  bool readOnly = true;
  int selection = 0;
  int length = 0;
  if (QLineEdit* edit = FocusedEdit()) {
    target = true;
    readOnly = edit->isReadOnly();
    selection = static_cast<int>(edit->selectedText().size());
    length = static_cast<int>(edit->text().size());
    ui_->MenuItemUndo->setEnabled(edit->isUndoAvailable() && !readOnly);
  } else {
    ui_->MenuItemUndo->setEnabled(false);
    if (focusWidget() == ui_->Memo1) {
      target = true;
      selection = ui_->Memo1->SelectionLength();
      length = ui_->Memo1->CharacterCount();
    }
  }
  const bool cut = target && !readOnly && selection > 0;
  const bool copy = target && selection > 0;
  const bool paste = target && !readOnly && clipboardText_;
  const bool selectAll = target && length != selection;
  ui_->MenuItemCut->setEnabled(cut);
  ui_->MenuItemCopy->setEnabled(copy);
  ui_->MenuItemPaste->setEnabled(paste);
  ui_->MenuItemSelectAll->setEnabled(selectAll);
  ui_->SpeedButtonCut->setEnabled(cut);
  ui_->SpeedButtonCopy->setEnabled(copy);
  ui_->SpeedButtonPaste->setEnabled(paste);
}

}  // namespace tapline::shell
