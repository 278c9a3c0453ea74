#include "shell/program.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include "platform/heap.h"
#include "engine/command_line.h"
#include "shell/main_window.h"

// The resources are compiled into a library; this registers them (outside any namespace, as rcc names
// its initialiser globally).
static void InitResources() { Q_INIT_RESOURCE(tapline); }

namespace tapline::shell {

void SetUpApplication() {
  platform::Heap::TuneForRelay();
  InitResources();
  QApplication::setApplicationName(QStringLiteral("Tapline"));
  QApplication::setOrganizationName(QStringLiteral("Fenwold"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tapline.svg")));
}

std::unique_ptr<TForm1> OpenMainWindow(const std::vector<std::string>& args) {
  CommandLine line;
  try {
    line = ParseCommandLine(args, "TAPLINE");
  } catch (const UsageError& e) {
    QMessageBox::critical(nullptr, QApplication::applicationName(), QString::fromStdString(WithFullStop(e.what())));
    return nullptr;
  }
  auto form = std::make_unique<TForm1>(line);
  if (int error = form->StartSockets(); error != 0) {
    form->StartUpFailed(error);
    return nullptr;
  }
  form->CentreOnScreen();
  form->show();
  return form;
}

}  // namespace tapline::shell
