// TForm1: the one click handler and the commands behind it (relay controls, edit commands, log buffer
// options, Browse, help, home page, About), the pop-up menu's enabling and the idle-time enabling of
// the edit commands.
#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QStandardPaths>
#include <QToolButton>
#include <QUrl>
#include <exception>

#include "log/log_view.h"
#include "shell/about_box.h"
#include "engine/command_line.h"
#include "shell/log_memo.h"
#include "shell/main_window.h"
#include "ui_main_window.h"

namespace tapline::shell {

namespace {

int Tag(QObject* control) { return control->property("tag").toInt(); }

}  // namespace

void TForm1::ShowError(const QString& message) {
  QMessageBox::critical(this, QApplication::applicationName(),
                        QString::fromStdString(WithFullStop(message.toStdString())));
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
      OpenHomePage();
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
    relay_->StartRelay(CurrentOptions());
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
  // The help page lies in the installation folder; without it nothing happens.
  QString page = installDir_ + QStringLiteral("/tapline.html");
  if (QFileInfo(page).isFile()) QDesktopServices::openUrl(QUrl::fromLocalFile(page));
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
