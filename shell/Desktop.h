// What the login window asks of the desktop, behind one small interface so that tests replace
// it: message boxes, the password-change dialog, opening a folder in the file manager (the
// stand-in for ShellExecuteW of "Explorer.exe") and setting the clock (SetLocalTime). Its
// dialogs speak Chinese whatever the system's locale: their buttons read 确定/取消.
#pragma once

#include <QString>
#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>

#include "platform/WinTypes.h"

namespace zelvo {

struct TPasswordChange {
  QString FOld;
  QString FNew;
  QString FRepeat;
};

class TDesktop {
public:
  virtual ~TDesktop() = default;
  // A modal box with a 确定 button, captioned with the application's title.
  virtual void ShowMessage(QWidget* aOwner, const QString& aText);
  // The modal "修改密码" dialog; false when it was cancelled or closed.
  virtual bool AskPasswordChange(QWidget* aOwner, TPasswordChange& aChange);
  // Opens a folder in the user's file manager (xdg-open). aFailed runs on the window thread when
  // no file manager could open it (the opener missing or failing); a file manager that opened
  // it outlives the program.
  virtual void OpenFolder(const QString& aPath, std::function<void()> aFailed = {});
  // Sets the system clock to a local time; false (with errno) when it may not be set.
  virtual bool SetLocalTime(const SYSTEMTIME& aTime);
  // The first-run prompt "输入服务器IP地址，多个IP用 | 分隔。" (TServerHostsDialog): the answer,
  // or aCurrent when it was cancelled or closed.
  virtual QString AskServerHosts(QWidget* aOwner, const QString& aCurrent);
  // Whether the desktop shows tray icons (without one, the window never hides).
  virtual bool HasSystemTray() const;
  // The exit question "现在退出吗？" with aText before it: true for 立即退出, false for 等待
  // (the default: Enter and Esc choose it).
  virtual bool AskQuitNow(QWidget* aOwner, const QString& aText);
  // A balloon message of the tray icon.
  virtual void ShowTrayMessage(QSystemTrayIcon* aTray, const QString& aText);
};

// The title of every dialog and balloon: 「Zelvo云盘」.
QString ApplicationTitle();

} // namespace zelvo
