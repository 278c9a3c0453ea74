// TAboutBox: the About dialog with the program icon, name, version, maker and a link to the home page.
// Made on demand for each About command and freed after it closes.
// Main thread only (Qt widgets).
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TAboutBox;
}

namespace tapline::shell {

// The maker's home page; the About box's link and Help > Tapline Home Page open it.
inline constexpr const char* HomePageAddress = "http://www.fenwold.example/tapline/";

// Hands the home page's address to the user's web browser; false when no browser took it.
bool OpenHomePage();

class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutBox(QWidget* owner);
  ~TAboutBox() override;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  std::unique_ptr<Ui::TAboutBox> ui_;
};

}  // namespace tapline::shell
