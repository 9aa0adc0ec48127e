// TClientFrm, the program's only window: class, name and password, login, and from then on the
// tray icon, the password change and the exit.
//
// Everything here runs on the window thread. The class-list threads reach the class box only
// through the window dispatcher, which the window closes when it goes, so a thread still waiting
// for its server never touches it. Requests (ULIST, LOGIN, CHGPSW) are synchronous.
// Errors raised inside a handler reach the application's error box (ZelvoMain.cpp).
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QWidget>
#include <memory>

#include "common/WindowDispatcher.h"
#include "shell/Desktop.h"
#include "shell/DriveStart.h"

namespace zelvo {

class TClientFrm : public QWidget {
  Q_OBJECT

public:
  // Builds the window and runs FormCreate (settings, first run, class-list fetches). An error
  // raised by the settings load is shown and the rest of FormCreate is skipped.
  explicit TClientFrm(TDesktop& aDesktop);
  ~TClientFrm() override;

  void FormCreate();
  void GroupBoxChange();
  void Button2Click();
  void Button1Click();
  void Button3Click();
  bool FormCloseQuery() const;
  void FormClose();
  void TrayIcon1Click();
  void MountYunDisks();
  void SetClockFromText(const QString& aText);
  // Brings the window back for a second start of the program (unless a modal dialog is open).
  void RestoreFromSecondStart();

  QLabel* Image1;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label6;
  QComboBox* GroupBox;
  QComboBox* NameBox;
  QLineEdit* PasswordEdit;
  QPushButton* Button2;
  QPushButton* Button1;
  QPushButton* Button3;
  QSystemTrayIcon* TrayIcon1;

protected:
  void closeEvent(QCloseEvent* aEvent) override;
  bool eventFilter(QObject* aObject, QEvent* aEvent) override;

private:
  void CreateControls();
  void CreateTrayIcon();
  void StartClassLists();
  void Message(const QString& aText) { FDesktop.ShowMessage(this, aText); }

  TDesktop& FDesktop;
  std::shared_ptr<TWindowDispatcher> FDispatcher;
  std::unique_ptr<class TComboStrings> FGroups;
  TDrives FDrives;
};

} // namespace zelvo
