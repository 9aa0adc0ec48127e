// The first-run setup, run by the settings load while "SysInited" is not set: the driver step,
// "SysInited" written as "1", the desktop shortcut, and the prompt for the server addresses.
// Window thread only. An error from the driver step or a failed settings write ends it (and the
// settings load) at once.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <functional>

#include "shell/Desktop.h"
#include "shell/Settings.h"

namespace zelvo {

struct TFirstRunSteps {
  std::function<void()> FDriverStep;
  std::function<void(const QString& aTarget, const QString& aName)> FCreateShortcut;
  std::function<QString(const QString& aCurrent)> FAskServerHosts;
};

// The prompt's field starts with the servers setup.ini names, empty when it names none (a guess
// such as 127.0.0.1 would only be accepted by a student pressing Enter).
void RunFirstRunSetup(TIniFile& aIni, const TFirstRunSteps& aSteps);

// Why aHosts cannot be ServerHost, or empty when it can: one or more servers separated by "|",
// each an IPv4 or IPv6 address or a host name, without blanks.
QString ServerHostsProblem(const QString& aHosts);

// The first-run question: its text in the dialog, the address field with an example as its
// placeholder, 确定/取消. 确定 with an empty or malformed answer keeps the dialog open and says
// what is wrong below the field.
class TServerHostsDialog final : public QDialog {
public:
  TServerHostsDialog(QWidget* aOwner, const QString& aCurrent);
  QString Hosts() const { return Field->text().trimmed(); }
  void accept() override;

  QLineEdit* Field;
  QLabel* Problem;
};

// The steps of this system: the FUSE check, a desktop entry, the desktop's prompt.
TFirstRunSteps SystemFirstRunSteps(TDesktop& aDesktop, QWidget* aOwner);
// Fills the settings load's hooks: the first-run setup and the driver service start.
void InstallSetupHooks(TDesktop& aDesktop, QWidget* aOwner);

// The user's desktop folder: XDG_DESKTOP_DIR of the user-dirs configuration, else ~/Desktop.
QString DesktopFolder();
// A desktop entry "<aName>.desktop" starting aTarget in its folder, with the program's icon;
// an existing one is replaced. A desktop that cannot take it is not reported.
void CreateDesktopShortcut(const QString& aTarget, const QString& aName);

} // namespace zelvo
