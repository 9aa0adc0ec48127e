// screen_tour OUT_DIR: walks the login window through the states a student meets, against a
// demo server of its own and real drive mounts under a private home folder, and saves the whole
// screen of each as OUT_DIR/NN-state.png. Run by tests/shell/take-screenshots under Xvfb, with a
// tray and without; nothing here touches the real home folder or opens a file manager.
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <QToolTip>
#include <filesystem>
#include <fstream>
#include <functional>

#include "common/Globals.h"
#include "shell/ClientMain.h"
#include "shell/FirstRun.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"

using namespace zelvo;

namespace {

// The real dialogs and balloons; folders are not opened (there is no file manager to show).
class TTourDesktop final : public TDesktop {
public:
  void OpenFolder(const QString&, std::function<void()>) override {}
  bool SetLocalTime(const SYSTEMTIME&) override { return false; }
};

class TTour {
public:
  explicit TTour(QString aFolder) : FFolder(std::move(aFolder)) { QDir().mkpath(FFolder); }

  static void Wait(int aMs) {
    QEventLoop FLoop;
    QTimer::singleShot(aMs, &FLoop, &QEventLoop::quit);
    FLoop.exec();
  }
  void Shot(const QString& aName) {
    Wait(700); // painted, balloons and menus shown
    const QString FPath =
        QStringLiteral("%1/%2-%3.png").arg(FFolder).arg(++FCount, 2, 10, QChar(u'0')).arg(aName);
    QGuiApplication::primaryScreen()->grabWindow(0).save(FPath);
    qInfo("%s", qPrintable(FPath));
  }
  // Runs aModal, which blocks in a dialog; once the dialog is up, aPrepare works on it, the
  // screen is saved, and aEnd ends the dialog (by default it is closed).
  void ShotModal(const QString& aName, const std::function<void()>& aModal,
                 const std::function<void(QWidget*)>& aPrepare = {},
                 const std::function<void(QWidget*)>& aEnd = {}) {
    QTimer FPoll;
    QObject::connect(&FPoll, &QTimer::timeout, [&] {
      QWidget* FDialog = QApplication::activeModalWidget();
      if (FDialog == nullptr) return;
      FPoll.stop();
      if (aPrepare) aPrepare(FDialog);
      Shot(aName);
      if (aEnd)
        aEnd(FDialog);
      else
        FDialog->close();
    });
    FPoll.start(50);
    aModal();
  }

private:
  QString FFolder;
  int FCount = 0;
};

void PressEscape(QWidget* aBox) {
  QKeyEvent FPress(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(aBox, &FPress);
}

bool Run(const QString& aFolder) {
  test::TServerProcess FServer;
  test::TTempDir FHome;
  FHome.WriteFile("setup.ini",
                  "[Setup]\nServerHost=127.0.0.1\nServerPort=" + std::to_string(FServer.Port()) +
                      "\nClientTimeOut=5000\nSysInited=1\n");
  HomeDir = FHome.Text();
  qputenv("HOME", FHome.Path().string().c_str());
  TTour FTour(aFolder);
  TTourDesktop FDesktop;
  const bool FTray = FDesktop.HasSystemTray();

  FTour.ShotModal(QStringLiteral("first-run-question"),
                  [&] { FDesktop.AskServerHosts(nullptr, QString()); });
  FTour.ShotModal(
      QStringLiteral("first-run-refuses-a-malformed-address"),
      [&] { FDesktop.AskServerHosts(nullptr, QString()); },
      [](QWidget* aDialog) {
        auto* FDialog = static_cast<TServerHostsDialog*>(aDialog);
        FDialog->Field->setText(QStringLiteral("10.0.0"));
        FDialog->accept();
      });

  TClientFrm FForm(FDesktop);
  FForm.show();
  TTour::Wait(1500); // the class list
  FTour.Shot(QStringLiteral("login-window"));
  if (FTray) {
    FForm.close(); // × hides, with a balloon the first time
    FTour.Shot(QStringLiteral("closed-to-the-tray"));
    FForm.TrayIcon1Click();
  }
  FForm.GroupBox->setCurrentIndex(0);
  FForm.GroupBoxChange();
  FForm.NameBox->setEditText(QStringLiteral("张三"));
  FForm.PasswordEdit->setText(QStringLiteral("zelvo123"));
  FForm.Button2Click();
  FForm.TrayIcon1Click();
  FTour.Shot(QStringLiteral("logged-in"));

  TTransferObserver& FView = FForm.TransferView();
  const std::u16string FHomePath = u"\\home\\一年级一班\\张三\\";
  const TTransfer FPut{1, TTransfer::TDirection::Upload,
                       FHomePath + u"第三章 课堂笔记（修订版）.docx", 450000, 1000000};
  FView.TransferStarted(FPut);
  FView.PendingChanged(2);
  FView.SaveFailed(FHomePath + u"作业.txt");
  FView.Unsendable(FHomePath + u"报告.txt", FHome.Text() + u"恢复/报告.txt", u"refused");
  FTour.Shot(QStringLiteral("status-lines-during-an-upload"));
  FView.KeptLocal(FHomePath + u"资料.rar");
  FView.ArchiveRefused(FHomePath + u"新.zip");
  FTour.Shot(QStringLiteral("kept-local-and-zip-told"));

  FView.TransferEnded(FPut, true);
  FView.PendingChanged(0);
  FView.SentLater(FHomePath + u"作业.txt");
  TTour::Wait(300);
  const QPoint FAt = FTray && !FForm.TrayIcon1->geometry().isEmpty()
                         ? FForm.TrayIcon1->geometry().bottomLeft()
                         : FForm.geometry().bottomLeft();
  QToolTip::showText(FAt, FForm.TrayIcon1->toolTip());
  FTour.Shot(QStringLiteral("tooltip-all-sent"));
  QToolTip::hideText();
  if (FTray) {
    FForm.TrayMenu->popup(FAt);
    FTour.Shot(QStringLiteral("tray-menu"));
    FForm.TrayMenu->hide();
  }

  FTour.ShotModal(QStringLiteral("password-change"), [&] { FForm.Button1Click(); });
  FTour.ShotModal(QStringLiteral("message-box"),
                  [&] { FDesktop.ShowMessage(&FForm, QStringLiteral("密码不正确!")); });

  // A change the server cannot take yet, then 退出: the question, and 等待's progress line.
  FServer.Stop();
  std::ofstream(FHome.Path() / "Zelvo/Z/草稿.txt") << "draft";
  TTour::Wait(500);
  FTour.ShotModal(
      QStringLiteral("quit-question"), [&] { FForm.Button3Click(); }, {}, PressEscape);
  // A retry that fails meanwhile asks again: 等待 again, until the server is back.
  QTimer FAnswer;
  QObject::connect(&FAnswer, &QTimer::timeout, [] {
    if (QWidget* FBox = QApplication::activeModalWidget()) PressEscape(FBox);
  });
  FAnswer.start(100);
  FTour.Shot(QStringLiteral("waiting-to-quit"));
  FServer.Start();
  for (int i = 0; i < 240 && !ExitRequested; ++i)
    TTour::Wait(250);
  return ExitRequested;
}

} // namespace

int main(int argc, char** argv) {
  QApplication FApp(argc, argv);
  FApp.setQuitOnLastWindowClosed(false);
  if (argc != 2) {
    qWarning("usage: screen_tour OUT_DIR");
    return 2;
  }
  bool FQuit = false;
  QTimer::singleShot(0, [&] {
    FQuit = Run(QString::fromLocal8Bit(argv[1]));
    QCoreApplication::exit(0);
  });
  FApp.exec();
  if (!FQuit) qWarning("screen_tour: the window did not quit by itself once all was sent");
  return FQuit ? 0 : 1;
}
