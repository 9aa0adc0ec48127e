// TClientFrm, the program's only window: class, name and password, login, and from then on the
// tray icon, the password change and the exit. When no server answers the class list, the window
// says which could not be reached and asks again every few seconds. On a desktop without a tray
// the window stays open after login, × quits as 退出 does, and messages become its lines.
//
// What the student is told agrees with what their programs were told: a save whose close failed
// is "保存失败" (kept here and retried) until it is sent; a change the server refused for good
// names the file that keeps it; the quit question lists all of these.
//
// Everything here runs on the window thread. The class-list threads reach the class box only
// through the window dispatcher, which the window closes when it goes, so a thread still waiting
// for its server never touches it. Requests (ULIST, LOGIN, CHGPSW) are synchronous.
// Errors raised inside a handler reach the application's error box (ZelvoMain.cpp).
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <map>
#include <memory>
#include <set>

#include "common/LocalFolders.h"
#include "common/WindowDispatcher.h"
#include "drive/TransferObserver.h"
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

  static constexpr int kClassListRetryMs = 3000;
  static constexpr QSize kBaseSize{419, 218}; // grown downwards by status lines beyond two

  // What the drives tell about transfers; events are shown on the window thread (tray tooltip,
  // status line, tray messages).
  TTransferObserver& TransferView();

  QLabel* Image1;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label6;
  // A line for what the student must know: servers that could not be reached; after login, who
  // is logged in and where the drives are (links open them in the file manager).
  QLabel* StatusLabel;
  QComboBox* GroupBox;
  QComboBox* NameBox;
  QLineEdit* PasswordEdit;
  QPushButton* Button2;
  QPushButton* Button1;
  QPushButton* Button3;
  QSystemTrayIcon* TrayIcon1;
  // The tray icon's right-click menu: 打开云盘, 打开共享 (after login), 显示窗口, 退出.
  QMenu* TrayMenu;

protected:
  void closeEvent(QCloseEvent* aEvent) override;
  bool eventFilter(QObject* aObject, QEvent* aEvent) override;

private:
  void CreateControls();
  void CreateTrayIcon();
  void StartClassLists();
  // A class-list thread ended; when none answered, says so and tries again in a few seconds.
  void ClassListEnded(const std::u16string& aHost, bool aAnswered);
  QString UnreachableText() const;
  void ShowLoggedIn();
  void ShowTransfers(); // the status lines and tooltip from FTransfers, FPending and notices
  void ShowTooltip(const QString& aTip);
  void SetStatusLines(const QStringList& aLines);
  QString TransferLine() const;
  // A balloon of the tray icon; without a tray, a line of the window unless the story has a line
  // of its own (aHasLine).
  void TrayMessage(const QString& aText, bool aHasLine = false);
  void OpenDrive(char16_t aLetter);
  class TTransferView;
  friend class TTransferView;
  void Message(const QString& aText) { FDesktop.ShowMessage(this, aText); }
  // The quit question when files are being written or changes wait: true to quit now, false
  // to wait. No question (true) when nothing would be lost.
  bool ChangesLetUsQuit();
  QString UnsentText() const;
  bool NothingUnsent() const;
  // 等待: the window stays with a progress line and quits by itself once everything is sent;
  // a save or upload that fails meanwhile brings the question back.
  void WaitThenQuit();
  void QuitWaitFailed();
  void FinishUploads();

  TDesktop& FDesktop;
  std::shared_ptr<TWindowDispatcher> FDispatcher;
  std::unique_ptr<class TComboStrings> FGroups;
  TDrives FDrives;
  int FListsRunning = 0;
  bool FAnyAnswered = false;
  QStringList FUnreachable;
  QTimer* FRetry = nullptr;
  struct TRunning {
    TTransfer FTransfer;
    qint64 FStartedMs = 0;
  };
  std::map<uint64_t, TRunning> FTransfers;
  size_t FPending = 0;
  QStringList FGivenUp;                          // lines about changes the server refused for good
  std::map<std::u16string, QString> FSaveFailed; // failed saves not sent yet, by path
  QString FNotice;                               // the latest message, when there is no tray
  std::set<QString> FKeptLocalKinds;             // extensions explained this run
  std::set<std::u16string> FArchivesTold;        // refused new zip names explained this run
  QStringList FKeptLocal;                        // names of files kept on this computer only
  bool FToldHidden = false;                      // the first × hide was explained
  QTimer* FQuitWait = nullptr;                   // running while 等待 waits to quit
  std::unique_ptr<TFolderLock> FCacheLock;       // held from login to the program's end
  QString FLoggedInText;
  std::unique_ptr<TTransferView> FTransferView;
};

} // namespace zelvo
