// The first-run setup, run by the settings load while "SysInited" is not set: the driver step,
// "SysInited" written as "1", the desktop shortcut, and the prompt for the server addresses.
// Window thread only. An error from the driver step or a failed settings write ends it (and the
// settings load) at once.
#pragma once

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

void RunFirstRunSetup(TIniFile& aIni, const TFirstRunSteps& aSteps);

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
