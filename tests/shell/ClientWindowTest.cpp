// The login window on Qt's offscreen platform, against real servers and real drive mounts under
// a private home folder.
#include <QAbstractButton>
#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "common/Globals.h"
#include "drive/FileSystem.h"
#include "platform/Locale.h"
#include "protocol/WireFormat.h"
#include "shell/ClientMain.h"
#include "shell/FirstRun.h"
#include "shell/RunOnceUnit.h"
#include "shell/Settings.h"
#include "shell/SignalExit.h"
#include "tests/support/BrokenServer.h"
#include "tests/support/FakeServer.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

using namespace zelvo;

namespace {

// Records what the window asks of the desktop instead of showing or doing it.
class TFakeDesktop final : public TDesktop {
public:
  void ShowMessage(QWidget*, const QString& aText) override { FMessages << aText; }
  bool AskPasswordChange(QWidget*, TPasswordChange& aChange) override {
    aChange = FAnswer;
    return FAccept;
  }
  void OpenFolder(const QString& aPath, std::function<void()> aFailed) override {
    FOpened << aPath;
    if (FNoFileManager && aFailed) aFailed();
  }
  bool SetLocalTime(const SYSTEMTIME& aTime) override {
    FClock.push_back(aTime);
    return false; // as for a user without the right
  }
  QString AskServerHosts(QWidget*, const QString& aCurrent) override {
    FPrompts << aCurrent;
    return FCancelPrompt ? aCurrent : FServerAnswer;
  }
  bool HasSystemTray() const override { return FTray; }
  void ShowTrayMessage(QSystemTrayIcon*, const QString& aText) override { FTrayMessages << aText; }
  bool AskQuitNow(QWidget*, const QString& aText) override {
    FQuitQuestions << aText;
    return FQuitNow;
  }
  QStringList FQuitQuestions;
  bool FQuitNow = true;
  QStringList FTrayMessages;
  bool FTray = true;
  QStringList FPrompts;
  QString FServerAnswer;
  bool FCancelPrompt = false;
  QStringList FMessages;
  QStringList FOpened;
  bool FNoFileManager = false;
  std::vector<SYSTEMTIME> FClock;
  TPasswordChange FAnswer;
  bool FAccept = true;
};

bool Serving(const std::filesystem::path& aPath) {
  struct statfs FStat {};
  return ::statfs(aPath.c_str(), &FStat) == 0 && FStat.f_type == 0x65735546;
}

} // namespace

class ClientWindowTest : public QObject {
  Q_OBJECT

private:
  std::unique_ptr<test::TTempDir> FHome;
  std::unique_ptr<test::TServerProcess> FServer;

  std::filesystem::path Drive(char aLetter) const {
    return FHome->Path() / "Zelvo" / std::string(1, aLetter);
  }
  // A home folder with setup.ini naming aHosts, and a fresh run.
  void Prepare(const std::string& aHosts, uint16_t aPort) {
    FHome = std::make_unique<test::TTempDir>();
    FHome->WriteFile("setup.ini", "[Setup]\nServerHost=" + aHosts +
                                      "\nServerPort=" + std::to_string(aPort) +
                                      "\nClientTimeOut=5000\nSysInited=1\n");
    HomeDir = FHome->Text();
    qputenv("HOME", FHome->Path().string().c_str());
    ExitRequested = false;
  }
  // Both drives serving, or both gone, within the usual deadline.
  bool DrivesUp() const {
    return test::WaitUntil([&] { return Serving(Drive('Z')) && Serving(Drive('Y')); });
  }
  bool DrivesDown() const {
    return test::WaitUntil([&] { return !Serving(Drive('Z')) && !Serving(Drive('Y')); });
  }
  static int IndexOf(QComboBox* aBox, const QString& aPrefix) {
    for (int i = 0; i < aBox->count(); ++i)
      if (aBox->itemText(i).startsWith(aPrefix)) return i;
    return -1;
  }
  void Choose(TClientFrm& aForm, const QString& aClass) {
    QTRY_VERIFY(IndexOf(aForm.GroupBox, aClass) >= 0);
    aForm.GroupBox->setCurrentIndex(IndexOf(aForm.GroupBox, aClass));
    aForm.GroupBoxChange();
  }
  void LogIn(TClientFrm& aForm, const QString& aPassword) {
    Choose(aForm, QStringLiteral("一年级一班"));
    aForm.NameBox->setEditText(QStringLiteral("张三"));
    aForm.PasswordEdit->setText(aPassword);
    aForm.Button2Click();
  }

private slots:
  void init() {
    FServer = std::make_unique<test::TServerProcess>();
    Prepare("127.0.0.1", FServer->Port());
  }
  void cleanup() {
    for (char FLetter : {'Y', 'Z'})
      ::umount2(Drive(FLetter).c_str(), MNT_DETACH);
    FServer.reset();
  }

  void layout() {
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    QCOMPARE(FForm.windowTitle(), QStringLiteral("Zelvo云盘校园版客户端V1.2"));
    QCOMPARE(FForm.size(), QSize(419, 218));
    QCOMPARE(FForm.GroupBox->geometry(), QRect(168, 21, 211, 21));
    QCOMPARE(FForm.Button2->geometry(), QRect(216, 152, 75, 25));
    QCOMPARE(FForm.Button2->text(), QStringLiteral("登陆"));
    QVERIFY(!FForm.Button1->isEnabled());
    QCOMPARE(FForm.TrayIcon1->toolTip(), QStringLiteral("Zelvo云盘"));
    QCOMPARE(FForm.NameBox->maxVisibleItems(), 15);
    QCOMPARE(FForm.PasswordEdit->echoMode(), QLineEdit::Password);
    QTRY_COMPARE(FForm.GroupBox->count(), 3);
    QCOMPARE(FForm.GroupBox->currentIndex(), -1);
  }

  void classBoxFromTwoServers() {
    test::TServerProcess FSecond(
        {.FDemo = false, .FListen = "127.0.0.2", .FPort = FServer->Port()});
    test::TServerProcess::RunTool("add-user '" + FSecond.Folder().string() + "' 一年级一班 外校生",
                                  "password-1\n");
    Prepare("127.0.0.1|127.0.0.2", FServer->Port());
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    QTRY_COMPARE(FForm.GroupBox->count(), 4);
    QVERIFY(IndexOf(FForm.GroupBox, QStringLiteral("一年级一班(127.0.0.2)")) >= 0);
    Choose(FForm, QStringLiteral("一年级一班(127.0.0.2)"));
    QCOMPARE(QString::fromStdU16String(CurrentServerHost), QStringLiteral("127.0.0.2"));
    QCOMPARE(FForm.NameBox->count(), 1);
    QCOMPARE(FForm.NameBox->itemText(0), QStringLiteral("外校生"));
  }

  void choosingAClassSortsItsNames() {
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    FForm.NameBox->setEditText(QStringLiteral("typed"));
    Choose(FForm, QStringLiteral("一年级一班"));
    TStringList FExpected{u"张三", u"李四", u"王五"};
    SortTextLocale(FExpected);
    QCOMPARE(FForm.NameBox->count(), 3);
    for (int i = 0; i < 3; ++i)
      QCOMPARE(FForm.NameBox->itemText(i), QString::fromStdU16String(FExpected[size_t(i)]));
    QCOMPARE(FForm.NameBox->currentText(), QString());
  }

  void loginChecks_data() {
    QTest::addColumn<QString>("aClass");
    QTest::addColumn<QString>("aName");
    QTest::addColumn<QString>("aPassword");
    QTest::addColumn<QString>("aMessage");
    QTest::newRow("no class") << ""
                              << "张三"
                              << "zelvo123"
                              << "班级、姓名或密码不能为空！";
    QTest::newRow("no name") << "一年级一班"
                             << ""
                             << "zelvo123"
                             << "班级、姓名或密码不能为空！";
    QTest::newRow("no password") << "一年级一班"
                                 << "张三"
                                 << ""
                                 << "班级、姓名或密码不能为空！";
    QTest::newRow("a blank is a password") << "一年级一班"
                                           << "张三"
                                           << " "
                                           << "班级、姓名或密码错误！";
    QTest::newRow("wrong password") << "一年级一班"
                                    << "张三"
                                    << "wrong"
                                    << "班级、姓名或密码错误！";
  }
  void loginChecks() {
    QFETCH(QString, aClass);
    QFETCH(QString, aName);
    QFETCH(QString, aPassword);
    QFETCH(QString, aMessage);
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    if (!aClass.isEmpty()) Choose(FForm, aClass);
    FForm.NameBox->setEditText(aName);
    FForm.PasswordEdit->setText(aPassword);
    QTest::keyClick(FForm.PasswordEdit, Qt::Key_Return);
    QCOMPARE(FDesktop.FMessages, QStringList{aMessage});
    QVERIFY(FForm.GroupBox->isEnabled());
  }

  void rightPasswordStartsTheDrivesAndExitUnmountsThem() {
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    FForm.show();
    LogIn(FForm, QStringLiteral("zelvo123"));
    QVERIFY(FDesktop.FMessages.isEmpty());
    QVERIFY(!FForm.isVisible());
    QVERIFY(!FForm.GroupBox->isEnabled() && !FForm.Button2->isEnabled() &&
            FForm.Button1->isEnabled());
    QCOMPARE(FDesktop.FOpened, QStringList{QString::fromStdString(Drive('Z').string())});
    QCOMPARE(FDesktop.FClock.size(), size_t(1));
    QVERIFY(FDesktop.FClock[0].wYear >= 2026);
    QVERIFY(DrivesUp());
    QVERIFY(std::filesystem::exists(Drive('Z') / "欢迎使用.txt"));
    FForm.close();
    QVERIFY(FForm.isHidden()); // the close box only hides
    FForm.TrayIcon1Click();
    QVERIFY(FForm.isVisible());
    QVERIFY(Serving(Drive('Z')));
    FForm.Button3Click();
    QVERIFY(DrivesDown());
  }

  // No server answers: the window names them, 登陆 says so instead of the empty-field message,
  // and the list fills once a server answers again.
  void unreachableServersAreNamedUntilOneAnswers() {
    const uint16_t FPort = test::ClosedPort();
    Prepare("127.0.0.1|127.0.0.2", FPort);
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    QTRY_VERIFY(FForm.StatusLabel->text().contains(QStringLiteral("无法连接服务器：")));
    QVERIFY(FForm.StatusLabel->text().contains(QStringLiteral("127.0.0.1")));
    QVERIFY(FForm.StatusLabel->text().contains(QStringLiteral("127.0.0.2")));
    FForm.Button2Click();
    QCOMPARE(FDesktop.FMessages.size(), 1);
    QVERIFY(FDesktop.FMessages[0].startsWith(QStringLiteral("无法连接服务器：")));
    test::TFakeServer FBack(
        [](test::TFakeConnection& aConnection) {
          if (aConnection.ReadLine().starts_with("GLIST"))
            aConnection.Send(test::Block("\xEF\xBB\xBF一年级一班"));
        },
        "127.0.0.2", FPort);
    QTRY_VERIFY_WITH_TIMEOUT(IndexOf(FForm.GroupBox, QStringLiteral("一年级一班")) >= 0, 15000);
    QTRY_VERIFY(FForm.StatusLabel->text().isEmpty());
  }

  // A LOGIN or ULIST reply past its bound (100 MB without a line end) is told as invalid, and
  // nothing starts.
  void oversizedRepliesAreToldAsInvalid() {
    using TBehaviour = test::TBrokenServer::TBehaviour;
    test::TBrokenServer FBroken(
        {{}, TBehaviour::Honest, TBehaviour::Honest, TBehaviour::HugeText, TBehaviour::HugeText});
    Prepare("127.0.0.1", FBroken.Port());
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    Choose(FForm, QStringLiteral("c"));
    QCOMPARE(FDesktop.FMessages, QStringList{QStringLiteral("服务器回复无效")});
    FForm.NameBox->setEditText(QStringLiteral("u"));
    FForm.PasswordEdit->setText(QStringLiteral("secret"));
    FForm.Button2Click();
    QCOMPARE(FDesktop.FMessages,
             (QStringList{QStringLiteral("服务器回复无效"), QStringLiteral("服务器回复无效")}));
    QVERIFY(FForm.GroupBox->isEnabled());
  }

  // 退出 while a file is being written asks first: waiting keeps the drives, quitting ends them.
  void exitAsksWhileAFileIsBeingWritten() {
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    LogIn(FForm, QStringLiteral("zelvo123"));
    QVERIFY(DrivesUp());
    const int FWriter = ::open((Drive('Z') / "报告.txt").c_str(), O_CREAT | O_WRONLY, 0644);
    QVERIFY(FWriter >= 0);
    QCOMPARE(::write(FWriter, "half", 4), ssize_t(4));
    FDesktop.FQuitNow = false;
    FForm.Button3Click();
    QCOMPARE(FDesktop.FQuitQuestions.size(), 1);
    QVERIFY2(FDesktop.FQuitQuestions[0].contains(QStringLiteral("/报告.txt")),
             qPrintable(FDesktop.FQuitQuestions[0]));
    QVERIFY2(Serving(Drive('Z')), "waiting keeps the drives");
    ::close(FWriter); // the close sends it: nothing is left to ask about
    QVERIFY(test::WaitUntil([&] { return FileSystem->UnsentOpens().empty(); }));
    FForm.Button3Click();
    QCOMPARE(FDesktop.FQuitQuestions.size(), 1);
    QVERIFY(DrivesDown());
  }

  // The question itself: 等待 is what Enter and Esc choose; quitting takes a deliberate click.
  void quitQuestionDefaultsToWaiting_data() {
    QTest::addColumn<int>("aKey"); // 0: click 立即退出
    QTest::addColumn<bool>("aQuit");
    QTest::newRow("Enter") << int(Qt::Key_Return) << false;
    QTest::newRow("Esc") << int(Qt::Key_Escape) << false;
    QTest::newRow("立即退出 clicked") << 0 << true;
  }
  void quitQuestionDefaultsToWaiting() {
    QFETCH(int, aKey);
    QFETCH(bool, aQuit);
    QString FTitle;
    QTimer FAnswer;
    connect(&FAnswer, &QTimer::timeout, this, [&] {
      auto* FBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (FBox == nullptr) return;
      FAnswer.stop();
      FTitle = FBox->windowTitle();
      QCOMPARE(FBox->defaultButton()->text(), QStringLiteral("等待"));
      if (aKey != 0) return QTest::keyClick(FBox, Qt::Key(aKey));
      for (QAbstractButton* FButton : FBox->buttons())
        if (FButton->text() == QStringLiteral("立即退出")) FButton->click();
    });
    FAnswer.start(20);
    TDesktop FDesktop;
    QCOMPARE(FDesktop.AskQuitNow(nullptr, QStringLiteral("草稿.txt")), aQuit);
    QCOMPARE(FTitle, QStringLiteral("Zelvo云盘"));
  }

  // 等待 keeps the window and the drives; a retry that fails asks again; once everything is
  // sent, the program quits by itself.
  void waitingQuitsOnceEverythingIsSent() {
    TFakeDesktop FDesktop;
    FDesktop.FQuitNow = false;
    TClientFrm FForm(FDesktop);
    LogIn(FForm, QStringLiteral("zelvo123"));
    QVERIFY(DrivesUp());
    FServer->Stop();
    std::ofstream(Drive('Z') / "草稿.txt") << "draft";
    FForm.Button3Click();
    QCOMPARE(FDesktop.FQuitQuestions.size(), 1);
    QVERIFY2(FDesktop.FQuitQuestions[0].contains(QStringLiteral("只保存在本机")),
             qPrintable(FDesktop.FQuitQuestions[0]));
    QVERIFY(FDesktop.FQuitQuestions[0].contains(QStringLiteral("/草稿.txt")));
    QVERIFY(FForm.isVisible());
    QTRY_VERIFY(FForm.StatusLabel->text().contains(QStringLiteral("等待上传完成后自动退出")));
    QTRY_VERIFY_WITH_TIMEOUT(FDesktop.FQuitQuestions.size() >= 2, 30000);
    QVERIFY(Serving(Drive('Z')));
    QVERIFY(!ExitRequested);
    FServer->Start();
    QTRY_VERIFY_WITH_TIMEOUT(ExitRequested, 60000);
    QVERIFY(DrivesDown());
    QCOMPARE(test::TTempDir::ReadPath(FServer->Storage() / "home/一年级一班/张三/草稿.txt"),
             std::string("draft"));
  }

  // The tray icon's menu, before and after login.
  void trayMenu_data() {
    QTest::addColumn<QString>("aAction");
    QTest::addColumn<bool>("aFileManager");
    QTest::newRow("打开云盘") << "打开云盘" << true;
    QTest::newRow("打开共享") << "打开共享" << true;
    QTest::newRow("打开云盘 without a file manager") << "打开云盘" << false;
    QTest::newRow("显示窗口") << "显示窗口" << true;
    QTest::newRow("退出") << "退出" << true;
  }
  void trayMenu() {
    QFETCH(QString, aAction);
    QFETCH(bool, aFileManager);
    TFakeDesktop FDesktop;
    FDesktop.FNoFileManager = !aFileManager;
    TClientFrm FForm(FDesktop);
    QMap<QString, QAction*> FActions;
    for (QAction* FAction : FForm.TrayMenu->actions())
      if (!FAction->isSeparator()) FActions[FAction->text()] = FAction;
    QCOMPARE(FActions.keys().size(), 4);
    QVERIFY(!FActions[QStringLiteral("打开云盘")]->isEnabled()); // no drive before login
    LogIn(FForm, QStringLiteral("zelvo123"));
    QVERIFY(DrivesUp());
    QVERIFY(!FForm.isVisible());
    FDesktop.FOpened.clear();
    FDesktop.FMessages.clear();
    FActions[aAction]->trigger();
    if (aAction == QStringLiteral("显示窗口")) QVERIFY(FForm.isVisible());
    if (aAction == QStringLiteral("退出")) {
      QVERIFY(DrivesDown());
      return;
    }
    if (aAction.startsWith(QStringLiteral("打开"))) {
      const QString FFolder =
          QString::fromStdString(Drive(aAction.endsWith(QStringLiteral("云盘")) ? 'Z' : 'Y'));
      QCOMPARE(FDesktop.FOpened, QStringList{FFolder});
      // A folder that cannot be opened is said, with its path to open by hand.
      QCOMPARE(FDesktop.FMessages.size(), aFileManager ? 0 : 1);
      if (!aFileManager) QVERIFY(FDesktop.FMessages[0].contains(FFolder));
    }
    FForm.Button3Click();
    QVERIFY(DrivesDown());
  }

  // × with a tray hides (the first time with a balloon saying so); without one it is 退出.
  void closeBox_data() {
    QTest::addColumn<bool>("aTray");
    QTest::addColumn<bool>("aLoggedIn");
    QTest::newRow("tray, before login") << true << false;
    QTest::newRow("tray, logged in") << true << true;
    QTest::newRow("no tray, before login") << false << false;
    QTest::newRow("no tray, logged in") << false << true;
  }
  void closeBox() {
    QFETCH(bool, aTray);
    QFETCH(bool, aLoggedIn);
    TFakeDesktop FDesktop;
    FDesktop.FTray = aTray;
    TClientFrm FForm(FDesktop);
    FForm.show();
    if (aLoggedIn) {
      LogIn(FForm, QStringLiteral("zelvo123"));
      QVERIFY(DrivesUp());
      FForm.show();
    }
    for (int i = 0; i < 2; ++i) {
      FForm.close();
      if (aTray) FForm.show();
    }
    if (aTray) {
      QVERIFY(!ExitRequested);
      QCOMPARE(FDesktop.FTrayMessages.size(), 1);
      QVERIFY(FDesktop.FTrayMessages[0].contains(QStringLiteral("仍在运行")));
      if (!aLoggedIn) return;
      QVERIFY(Serving(Drive('Z')));
      FForm.Button3Click();
    } else {
      QTRY_VERIFY(ExitRequested);
      QVERIFY(FDesktop.FQuitQuestions.isEmpty()); // nothing unsent: nothing to ask
    }
    if (aLoggedIn) QVERIFY(DrivesDown());
  }

  // An upload under way at 退出 finishes first, in view; then the drives go.
  void exitLetsAnUploadFinish() {
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    LogIn(FForm, QStringLiteral("zelvo123"));
    QVERIFY(DrivesUp());
    const TTransfer FPut{99, TTransfer::TDirection::Upload, u"\\home\\c\\u\\\\大.bin", 0, 9};
    FForm.TransferView().TransferStarted(FPut);
    QTRY_VERIFY(FForm.TrayIcon1->toolTip().contains(QStringLiteral("正在上传 大.bin")));
    bool FEndedFirst = false;
    std::thread FUpload([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      FEndedFirst = Serving(Drive('Z'));
      FForm.TransferView().TransferEnded(FPut, true);
    });
    FForm.Button3Click();
    FUpload.join();
    QVERIFY2(FEndedFirst, "the drives waited for the upload");
    QVERIFY(DrivesDown());
  }

  // Transfers and waiting changes in view, from scripted events of the drives' threads.
  void transfersAndWaitingChangesAreShown() {
    TFakeDesktop FDesktop;
    FDesktop.FTray = false;
    TClientFrm FForm(FDesktop);
    FForm.show();
    LogIn(FForm, QStringLiteral("zelvo123"));
    TTransfer FGet{7, TTransfer::TDirection::Download, u"\\home\\c\\u\\\\大文件.bin", 0, 200};
    std::thread([&] {
      TTransferObserver& FView = FForm.TransferView();
      FView.TransferStarted(FGet);
      FGet.FDone = 90;
      FView.TransferProgress(FGet);
      FView.PendingChanged(2);
    }).join();
    QTRY_VERIFY(FForm.TrayIcon1->toolTip().contains(QStringLiteral("正在下载 大文件.bin 45%")));
    QVERIFY(FForm.TrayIcon1->toolTip().contains(QStringLiteral("待上传：2 个文件")));
    QVERIFY(FForm.StatusLabel->text().contains(QStringLiteral("正在下载 大文件.bin 45%")));
    QVERIFY(FForm.StatusLabel->text().startsWith(QStringLiteral("已登录")));

    FForm.TransferView().TransferEnded(FGet, true);
    FForm.TransferView().PendingChanged(0);
    QTRY_VERIFY(!FForm.StatusLabel->text().contains(QStringLiteral("<br>")));
    QVERIFY(FForm.StatusLabel->text().startsWith(QStringLiteral("已登录")));
    QCOMPARE(FForm.TrayIcon1->toolTip(), QStringLiteral("Zelvo云盘\n已全部上传"));
    FForm.Button3Click();
    QVERIFY(DrivesDown());
  }

  // Each outcome is told as the program met it, in a balloon with a tray and as a window line
  // without one; a failed save stays in the window until it is sent.
  void messagesTellWhatHappened_data() {
    QTest::addColumn<QString>("aEvent");
    QTest::addColumn<bool>("aTray");
    QTest::addColumn<QString>("aText");
    QTest::addColumn<int>("aTold"); // messages for the event sent twice
    const QString FSaveFailed =
        QStringLiteral("保存失败：作业.txt 未能上传，修改仍保留在本机并将自动重试");
    const QString FGivenUp = QStringLiteral("作业.txt 无法上传到服务器");
    const QString FKept = QStringLiteral("a.rar 只保存在本机（.rar/.7z/.exe/.tmp 文件不会上传）");
    const QString FZip = QStringLiteral(
        "无法新建 新.zip：zip 文件在云盘中以只读文件夹打开，不能在云盘上新建 zip 文件");
    for (const bool FTray : {true, false}) {
      const char* FWhere = FTray ? "balloon" : "window line";
      QTest::addRow("save failed, %s", FWhere) << "save failed" << FTray << FSaveFailed << 2;
      QTest::addRow("given up, %s", FWhere) << "given up" << FTray << FGivenUp << 2;
      QTest::addRow("kept local, %s", FWhere) << "kept local" << FTray << FKept << 1;
      QTest::addRow("new zip, %s", FWhere) << "new zip" << FTray << FZip << 1;
    }
  }
  void messagesTellWhatHappened() {
    QFETCH(QString, aEvent);
    QFETCH(bool, aTray);
    QFETCH(QString, aText);
    QFETCH(int, aTold);
    TFakeDesktop FDesktop;
    FDesktop.FTray = aTray;
    TClientFrm FForm(FDesktop);
    LogIn(FForm, QStringLiteral("zelvo123"));
    QVERIFY(DrivesUp());
    const std::u16string FPath = u"\\home\\一年级一班\\张三\\\\作业.txt";
    TTransferObserver& FView = FForm.TransferView();
    for (int i = 0; i < 2; ++i) {
      if (aEvent == "save failed") FView.SaveFailed(FPath);
      if (aEvent == "given up") FView.Unsendable(FPath, u"/r/恢复/作业.txt", u"refused");
      if (aEvent == "kept local") FView.KeptLocal(i ? u"\\home\\b.RAR" : u"\\home\\a.rar");
      if (aEvent == "new zip") FView.ArchiveRefused(u"\\home\\新.zip");
    }
    const auto FTold = [&] {
      return aTray ? FDesktop.FTrayMessages.filter(aText).size()
                   : FForm.StatusLabel->text().count(aText.toHtmlEscaped());
    };
    // Without a tray a repeated story is one line; with one, each failed save is a balloon.
    QTRY_COMPARE(FTold(), aTray ? aTold : 1);
    QCOMPARE(FDesktop.FTrayMessages.size(), aTray ? aTold : 0);
    // The window grows with its lines: none lies over another or over the slogan.
    QVERIFY(FForm.StatusLabel->sizeHint().height() <= FForm.StatusLabel->height());
    QVERIFY(FForm.StatusLabel->geometry().bottom() < FForm.Label6->y());
    if (aEvent == "save failed") {
      QVERIFY(FForm.StatusLabel->text().contains(aText));
      QVERIFY(!FForm.TrayIcon1->toolTip().contains(QStringLiteral("已全部上传")));
      FView.SentLater(FPath);
      QTRY_VERIFY(!FForm.StatusLabel->text().contains(aText));
    }
    FForm.Button3Click();
    QVERIFY(DrivesDown());
  }

  // Without a tray the window stays after login, and says who is in and where the drives are.
  void withoutATrayTheWindowStays() {
    TFakeDesktop FDesktop;
    FDesktop.FTray = false;
    TClientFrm FForm(FDesktop);
    FForm.show();
    LogIn(FForm, QStringLiteral("zelvo123"));
    QVERIFY(FForm.isVisible());
    const QString FStatus = FForm.StatusLabel->text();
    QVERIFY2(FStatus.contains(QStringLiteral("一年级一班 张三")), qPrintable(FStatus));
    QVERIFY2(FStatus.contains(QStringLiteral("~/Zelvo/Z")), qPrintable(FStatus));
    QVERIFY(FStatus.contains(QStringLiteral("~/Zelvo/Y")));
    emit FForm.StatusLabel->linkActivated(QStringLiteral("Y"));
    QCOMPARE(FDesktop.FOpened.last(), QString::fromStdString(Drive('Y').string()));
    FForm.Button3Click();
    QVERIFY(DrivesDown());
  }

  // SIGTERM (a kill, a desktop's shutdown) ends the program as 退出 does: the drives go.
  void sigtermUnmountsTheDrives() {
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    LogIn(FForm, QStringLiteral("zelvo123"));
    QVERIFY(DrivesUp());
    TSignalExit FSignals([&] {
      ExitRequested = true;
      FForm.close();
    });
    ::raise(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(!Serving(Drive('Z')) && !Serving(Drive('Y')), 20000);
  }

  // A change the server could not take is named at exit, to be sent at the next login.
  void exitNamesPendingChanges() {
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    LogIn(FForm, QStringLiteral("zelvo123"));
    QVERIFY(DrivesUp());
    FServer->Stop();
    std::ofstream(Drive('Z') / "草稿.txt") << "draft";
    FForm.Button3Click();
    QVERIFY(DrivesDown());
    QCOMPARE(FDesktop.FMessages.size(), qsizetype(1));
    QVERIFY(FDesktop.FMessages[0].contains(QStringLiteral("下次登录时将自动上传")));
    QVERIFY(FDesktop.FMessages[0].contains(QStringLiteral("/草稿.txt")));
  }

  void emptyServerTimeIsReportedAfterTheDrivesStart() {
    test::TFakeServer FFake([](test::TFakeConnection& aConnection) {
      const std::string FLine = aConnection.ReadLine();
      const std::string FBom = "\xEF\xBB\xBF";
      if (FLine.starts_with("LOGIN"))
        aConnection.Send(test::Block(FBom + "\\r\r\n\\s\r\n甲\r\n共享\r\n\r\n"));
      if (FLine.starts_with("ULIST")) aConnection.Send(test::Block(FBom + "甲"));
      if (FLine.starts_with("GLIST")) aConnection.Send(test::Block(FBom + "一年级一班"));
    });
    Prepare("127.0.0.1", FFake.Port());
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    Choose(FForm, QStringLiteral("一年级一班"));
    FForm.NameBox->setEditText(QStringLiteral("甲"));
    FForm.PasswordEdit->setText(QStringLiteral("x"));
    bool FRaised = false;
    try {
      FForm.Button2Click();
    } catch (const std::exception& aError) {
      FRaised = std::string(aError.what()) == "'' is not a valid date and time";
    }
    QVERIFY(FRaised);
    QVERIFY(!FForm.isVisible());
    QCOMPARE(FDesktop.FOpened.size(), 1);
    QVERIFY(test::WaitUntil([&] { return Serving(Drive('Z')); }));
    FForm.Button3Click();
    QVERIFY(DrivesDown());
  }

  void passwordChange_data() {
    QTest::addColumn<QString>("aOld");
    QTest::addColumn<QString>("aNew");
    QTest::addColumn<QString>("aRepeat");
    QTest::addColumn<bool>("aReachable");
    QTest::addColumn<QString>("aMessage");
    QTest::newRow("wrong old") << "bad"
                               << "n"
                               << "n" << true << "密码不正确!";
    QTest::newRow("mismatch") << "zelvo123"
                              << "n1"
                              << "n2" << true << "二次输入的新密码不一致!";
    QTest::newRow("empty") << "zelvo123"
                           << ""
                           << "" << true << "新密码不能为空!";
    QTest::newRow("unreachable") << "zelvo123"
                                 << "new pw"
                                 << "new pw" << false << "密码修改失败，请稍后重试！";
    QTest::newRow("done") << "zelvo123"
                          << "new pw"
                          << "new pw" << true << "密码修改成功，退出系统后请重新登陆！";
  }
  void passwordChange() {
    QFETCH(QString, aOld);
    QFETCH(QString, aNew);
    QFETCH(QString, aRepeat);
    QFETCH(bool, aReachable);
    QFETCH(QString, aMessage);
    TFakeDesktop FDesktop;
    TClientFrm FForm(FDesktop);
    LogIn(FForm, QStringLiteral("zelvo123"));
    QVERIFY(DrivesUp());
    FDesktop.FAnswer = {aOld, aNew, aRepeat};
    const int32_t FPort = ServerPort;
    if (!aReachable) ServerPort = test::ClosedPort();
    FForm.Button1Click();
    ServerPort = FPort;
    QCOMPARE(FDesktop.FMessages, QStringList{aMessage});
    const bool FDone = aMessage.startsWith(QStringLiteral("密码修改成功"));
    QCOMPARE(ExitRequested, FDone);
    if (!FDone) FForm.Button3Click();
    QVERIFY(DrivesDown());
  }

  // An installed program's shortcut starts it from the program folder with the theme's icon.
  void installedProgramShortcutUsesTheThemeIcon() {
    FHome = std::make_unique<test::TTempDir>();
    HomeDir = FHome->Text();
    qputenv("HOME", FHome->Path().string().c_str());
    qputenv("XDG_CONFIG_HOME", (FHome->Path() / ".config").string().c_str());
    std::filesystem::create_directories(FHome->Path() / "Desktop");
    std::filesystem::create_directories(FHome->Path() / "usr/bin");
    std::filesystem::create_directories(FHome->Path() / "usr/share/icons/hicolor/scalable/apps");
    FHome->WriteFile("usr/share/icons/hicolor/scalable/apps/zelvo.svg", "<svg/>");
    const QString FTarget = QString::fromStdString((FHome->Path() / "usr/bin/zelvo").string());
    CreateDesktopShortcut(FTarget, QStringLiteral("Zelvo云盘"));
    const QString FEntry = QString::fromStdString(FHome->ReadFile("Desktop/Zelvo云盘.desktop"));
    QVERIFY2(FEntry.contains(QStringLiteral("Exec=\"") + FTarget + u'"'), qPrintable(FEntry));
    QVERIFY(FEntry.contains(QStringLiteral("\nIcon=zelvo\n")));
    QVERIFY(!std::filesystem::exists(FHome->Path() / "zelvo.png"));
  }

  void firstRunSetup_data() {
    QTest::addColumn<QString>("aStored");
    QTest::addColumn<QString>("aAnswer");
    QTest::addColumn<bool>("aCancel");
    QTest::addColumn<QString>("aWritten"); // the ServerHost line in setup.ini, or empty
    QTest::newRow("new hosts") << ""
                               << "10.0.0.5|10.0.0.6" << false << "ServerHost=10.0.0.5|10.0.0.6";
    QTest::newRow("unchanged") << ""
                               << "127.0.0.1" << false << "";
    QTest::newRow("emptied") << ""
                             << "" << false << "";
    QTest::newRow("cancelled") << ""
                               << "10.9.9.9" << true << "";
    QTest::newRow("other case") << "Server.Local"
                                << "server.local" << false << "ServerHost=server.local";
  }
  void firstRunSetup() {
    QFETCH(QString, aStored);
    QFETCH(QString, aAnswer);
    QFETCH(bool, aCancel);
    QFETCH(QString, aWritten);
    FHome = std::make_unique<test::TTempDir>();
    HomeDir = FHome->Text();
    qputenv("HOME", FHome->Path().string().c_str());
    qputenv("XDG_CONFIG_HOME", (FHome->Path() / ".config").string().c_str());
    std::filesystem::create_directories(FHome->Path() / "Desktop");
    if (!aStored.isEmpty())
      FHome->WriteFile("setup.ini", "[Setup]\nServerHost=" + aStored.toStdString() + "\n");
    TFakeDesktop FDesktop;
    FDesktop.FServerAnswer = aAnswer;
    FDesktop.FCancelPrompt = aCancel;
    InstallSetupHooks(FDesktop, nullptr);
    LoadSetup();
    QCOMPARE(FDesktop.FPrompts, QStringList{aStored}); // no guess when nothing is stored
    const QString FIni = QString::fromStdString(FHome->ReadFile("setup.ini"));
    QVERIFY(FIni.contains(QStringLiteral("SysInited=1")));
    if (aWritten.isEmpty())
      QCOMPARE(FIni.count(QStringLiteral("ServerHost=")), aStored.isEmpty() ? 0 : 1);
    else
      QVERIFY(FIni.contains(aWritten));
    const QString FEntry = QString::fromStdString(FHome->ReadFile("Desktop/Zelvo云盘.desktop"));
    QVERIFY(FEntry.contains(QStringLiteral("Name=Zelvo云盘")));
    QVERIFY(FEntry.contains(QStringLiteral("Exec=\"") + QCoreApplication::applicationFilePath()));
    QVERIFY(FEntry.contains(QStringLiteral("Path=") +
                            QFileInfo(QCoreApplication::applicationFilePath()).absolutePath()));
    QVERIFY(FEntry.contains(QStringLiteral("Icon=") + QString::fromStdU16String(HomeDir)));
    LoadSetup(); // a second start runs no setup
    QCOMPARE(FDesktop.FPrompts.size(), 1);
    SetupHooks() = {};
  }

  void serverHostsCheck_data() {
    QTest::addColumn<QString>("aHosts");
    QTest::addColumn<bool>("aUsable");
    QTest::newRow("one address") << "10.0.0.5" << true;
    QTest::newRow("two, and a name") << "10.0.0.5|server.school.edu" << true;
    QTest::newRow("IPv6") << "fd00::5" << true;
    QTest::newRow("blanks around") << "  10.0.0.5 " << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("only blanks") << "   " << false;
    QTest::newRow("three parts") << "10.0.0" << false;
    QTest::newRow("past 255") << "10.0.0.256" << false;
    QTest::newRow("empty between bars") << "10.0.0.5||10.0.0.6" << false;
    QTest::newRow("trailing bar") << "10.0.0.5|" << false;
    QTest::newRow("a blank inside") << "10.0.0.5 10.0.0.6" << false;
    QTest::newRow("a port") << "10.0.0.5:8783" << false;
    QTest::newRow("a URL") << "http://server" << false;
  }
  // The first-run question refuses what cannot be a server, and says why in the dialog.
  void serverHostsCheck() {
    QFETCH(QString, aHosts);
    QFETCH(bool, aUsable);
    QCOMPARE(ServerHostsProblem(aHosts).isEmpty(), aUsable);
    TServerHostsDialog FDialog(nullptr, QString());
    QCOMPARE(FDialog.windowTitle(), QStringLiteral("Zelvo云盘"));
    QVERIFY(FDialog.Field->text().isEmpty());
    QVERIFY(!FDialog.Field->placeholderText().isEmpty());
    FDialog.show();
    FDialog.Field->setText(aHosts);
    QTest::keyClick(FDialog.Field, Qt::Key_Return);
    QCOMPARE(FDialog.result() == QDialog::Accepted, aUsable);
    QCOMPARE(FDialog.isVisible(), !aUsable);
    QCOMPARE(FDialog.Problem->isVisible(), !aUsable);
    if (aUsable) QCOMPARE(FDialog.Hosts(), aHosts.trimmed());
  }

  void failingDriverStepLeavesTheSetupUndone() {
    FHome = std::make_unique<test::TTempDir>();
    HomeDir = FHome->Text();
    CacheDir.clear();
    bool FShortcut = false;
    SetupHooks().FirstRunSetup = [&](TIniFile& aIni) {
      RunFirstRunSetup(aIni, {[] { throw std::runtime_error("The specified path was not found"); },
                              [&](const QString&, const QString&) { FShortcut = true; },
                              [](const QString& aCurrent) { return aCurrent; }});
    };
    bool FRaised = false;
    try {
      LoadSetup();
    } catch (const std::exception& aError) {
      FRaised = std::string(aError.what()) == "The specified path was not found";
    }
    QVERIFY(FRaised);
    QVERIFY(!FShortcut);
    QVERIFY(FHome->ReadFile("setup.ini").find("SysInited") == std::string::npos);
    QVERIFY(CacheDir.empty());
    SetupHooks() = {};
  }

  void secondStartWakesTheFirst() {
    test::TTempDir FRuntime;
    TRunOnce FFirst(QString::fromStdString(FRuntime.Path().string()));
    QVERIFY(FFirst.OpenRunOnceMap());
    int FWakes = 0;
    QVERIFY(!FFirst.AlreadyRunning([&] { ++FWakes; }));
    QCOMPARE(FFirst.AppHandle(), uint32_t(::getpid()));
    FFirst.SaveMainFormHandle(1);
    // The second start is the program itself, in a process of its own.
    const std::string FCommand = "XDG_RUNTIME_DIR='" + FRuntime.Path().string() +
                                 "' QT_QPA_PLATFORM=offscreen " + ZELVO_BIN + " >/dev/null 2>&1";
    int FStatus = -1;
    std::thread FSecond([&] { FStatus = std::system(FCommand.c_str()); });
    QTRY_COMPARE(FWakes, 1);
    FSecond.join();
    QCOMPARE(FStatus, 0);
  }

  void killedFirstStartDoesNotBlock() {
    test::TTempDir FRuntime;
    const pid_t FChild = ::fork();
    if (FChild == 0) {
      TRunOnce FFirst(QString::fromStdString(FRuntime.Path().string()));
      FFirst.OpenRunOnceMap();
      FFirst.AlreadyRunning({});
      FFirst.SaveMainFormHandle(1);
      ::pause();
      ::_exit(0);
    }
    TRunOnce FProbe(QString::fromStdString(FRuntime.Path().string()));
    QVERIFY(FProbe.OpenRunOnceMap());
    QTRY_VERIFY(FProbe.AppHandle() == uint32_t(FChild));
    ::kill(FChild, SIGKILL);
    ::waitpid(FChild, nullptr, 0);
    QVERIFY(!FProbe.AlreadyRunning({}));
    QCOMPARE(FProbe.AppHandle(), uint32_t(::getpid()));
  }
};

QTEST_MAIN(ClientWindowTest)
#include "ClientWindowTest.moc"
