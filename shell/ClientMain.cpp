#include "shell/ClientMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDate>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QToolTip>
#include <utility>

#include "common/DateTimeText.h"
#include "common/Globals.h"
#include "common/TextCodec.h"
#include "common/Utils.h"
#include "drive/FileSystem.h"
#include "platform/Locale.h"
#include "platform/fuse/FuseMountPoint.h"
#include "protocol/Commands.h"
#include "protocol/GroupListThread.h"
#include "protocol/YunClientUnit.h"
#include "shell/FirstRun.h"
#include "shell/Settings.h"

// Resources of a static library are registered by hand.
static void InitResources() {
  Q_INIT_RESOURCE(zelvo);
}

namespace zelvo {
namespace {

std::u16string Text(const QString& aText) {
  return aText.toStdU16String();
}
QString Text(const std::u16string& aText) {
  return QString::fromStdU16String(aText);
}

QIcon ProgramIcon() {
  QPixmap FPixmap(32, 32);
  FPixmap.fill(Qt::transparent);
  QPainter FPainter(&FPixmap);
  FPainter.setRenderHint(QPainter::Antialiasing);
  FPainter.setBrush(QColor(0x2E, 0x7D, 0xC8));
  FPainter.setPen(Qt::NoPen);
  FPainter.drawEllipse(1, 1, 30, 30);
  FPainter.setBrush(Qt::white);
  FPainter.drawEllipse(6, 13, 12, 9);
  FPainter.drawEllipse(12, 9, 14, 12);
  return QIcon(FPixmap);
}

// Where drive letter aLetter appears on this system: the mount layer's own mapping.
QString DriveFolder(char16_t aLetter) {
  std::string FPath;
  char16_t FLetter = 0;
  ResolveMountPoint(std::u16string{aLetter, u':'}, FPath, FLetter);
  return QString::fromStdString(FPath);
}

// A folder below the home folder as "~/...", so the status line stays one line.
QString ShortFolder(const QString& aPath) {
  const QString FHome = qEnvironmentVariable("HOME");
  if (FHome.isEmpty() || !aPath.startsWith(FHome + u'/')) return aPath;
  return u'~' + aPath.mid(FHome.size());
}

} // namespace

// The class box's items as the class-list threads see them (window thread only).
class TComboStrings final : public TStrings {
public:
  explicit TComboStrings(QComboBox* aBox) : FBox(aBox) {}
  void Add(const std::u16string& aText) override {
    const bool FNoneChosen = FBox->currentIndex() < 0;
    FBox->addItem(Text(aText));
    if (FNoneChosen) FBox->setCurrentIndex(-1); // arriving classes choose nothing
  }

private:
  QComboBox* FBox;
};

// The drives' events, carried to the window thread (queued on the window, so none runs after it
// has gone).
class TClientFrm::TTransferView final : public TTransferObserver {
public:
  explicit TTransferView(TClientFrm& aForm) : FForm(aForm) {}
  void TransferStarted(const TTransfer& aTransfer) override {
    Post([aTransfer](TClientFrm& aForm) {
      aForm.FTransfers[aTransfer.FId] = {aTransfer, QDateTime::currentMSecsSinceEpoch()};
      aForm.ShowTransfers();
    });
  }
  void TransferProgress(const TTransfer& aTransfer) override {
    Post([aTransfer](TClientFrm& aForm) {
      const auto FAt = aForm.FTransfers.find(aTransfer.FId);
      if (FAt != aForm.FTransfers.end()) FAt->second.FTransfer = aTransfer;
      aForm.ShowTransfers();
    });
  }
  // A failed upload is told by SaveFailed when a program saw it fail; a retry that fails again
  // is no news, except to a quit that waits for it.
  void TransferEnded(const TTransfer& aTransfer, bool aOk) override {
    Post([aTransfer, aOk](TClientFrm& aForm) {
      aForm.FTransfers.erase(aTransfer.FId);
      aForm.ShowTransfers();
      if (!aOk && aTransfer.FDirection == TTransfer::TDirection::Upload) aForm.QuitWaitFailed();
    });
  }
  void SaveFailed(const std::u16string& aPath) override {
    Post([aPath](TClientFrm& aForm) {
      const QString FText =
          QStringLiteral("保存失败：%1 未能上传，修改仍保留在本机并将自动重试").arg(NameOf(aPath));
      aForm.FSaveFailed[aPath] = FText;
      aForm.TrayMessage(FText, true);
      aForm.ShowTransfers();
      aForm.QuitWaitFailed();
    });
  }
  void RetryFailed(const std::u16string&, const std::u16string&) override {
    Post([](TClientFrm& aForm) { aForm.QuitWaitFailed(); });
  }
  void ArchiveRefused(const std::u16string& aPath) override {
    Post([aPath](TClientFrm& aForm) {
      if (!aForm.FArchivesTold.insert(aPath).second) return;
      aForm.TrayMessage(QStringLiteral("无法新建 %1：zip 文件在云盘中以只读文件夹打开，"
                                       "不能在云盘上新建 zip 文件")
                            .arg(NameOf(aPath)));
    });
  }
  void PendingChanged(size_t aCount) override {
    Post([aCount](TClientFrm& aForm) {
      aForm.FPending = aCount;
      aForm.ShowTransfers();
    });
  }
  void SentLater(const std::u16string& aPath) override {
    Post([aPath](TClientFrm& aForm) {
      aForm.FSaveFailed.erase(aPath);
      aForm.TrayMessage(QStringLiteral("已上传此前未保存的修改：%1").arg(NameOf(aPath)));
      aForm.ShowTransfers();
    });
  }
  // Explained once per kind of file and run; the quit question lists every such file.
  void KeptLocal(const std::u16string& aPath) override {
    Post([aPath](TClientFrm& aForm) {
      const QString FName = NameOf(aPath);
      aForm.FKeptLocal << FName;
      const QString FKind = FName.mid(FName.lastIndexOf(u'.')).toLower();
      if (!aForm.FKeptLocalKinds.insert(FKind).second) return;
      aForm.TrayMessage(
          QStringLiteral("%1 只保存在本机（.rar/.7z/.exe/.tmp 文件不会上传）").arg(FName));
    });
  }
  void Conflict(const std::u16string& aPath, const std::u16string& aCopyPath) override {
    Post([aPath, aCopyPath](TClientFrm& aForm) {
      aForm.TrayMessage(QStringLiteral("%1 已被他人修改，你的版本已另存为 %2")
                            .arg(NameOf(aPath), NameOf(aCopyPath)));
    });
  }
  void Unsendable(const std::u16string& aPath, const std::u16string& aKeptAt,
                  const std::u16string& aWhy) override {
    Post([aPath, aKeptAt, aWhy](TClientFrm& aForm) {
      const QString FFolder = Text(aKeptAt.substr(0, aKeptAt.rfind(u'/')));
      aForm.FSaveFailed.erase(aPath);
      const QString FLine =
          QStringLiteral("%1 无法上传到服务器（%2），不再上传；你的内容已保存在 %3")
              .arg(NameOf(aPath), Text(aWhy), Text(aKeptAt));
      if (!aForm.FGivenUp.contains(FLine)) aForm.FGivenUp << FLine;
      aForm.TrayMessage(
          QStringLiteral("%1 无法上传到服务器，内容已保存在 %2").arg(NameOf(aPath), FFolder), true);
      aForm.ShowTransfers();
      aForm.QuitWaitFailed();
    });
  }
  void JournalSetAside(const std::u16string& aFile) override {
    Post([aFile](TClientFrm& aForm) {
      aForm.TrayMessage(
          QStringLiteral("待上传记录中有无法使用的内容，已另存为 %1，不会上传").arg(Text(aFile)));
    });
  }
  static QString NameOf(const std::u16string& aPath) {
    return Text(aPath.substr(aPath.rfind(u'\\') + 1));
  }

private:
  void Post(std::function<void(TClientFrm&)> aWork) {
    QMetaObject::invokeMethod(
        &FForm, [this, FWork = std::move(aWork)] { FWork(FForm); }, Qt::QueuedConnection);
  }
  TClientFrm& FForm;
};

TTransferObserver& TClientFrm::TransferView() {
  return *FTransferView;
}

void TClientFrm::TrayMessage(const QString& aText, bool aHasLine) {
  if (FDesktop.HasSystemTray()) {
    FDesktop.ShowTrayMessage(TrayIcon1, aText);
  } else if (!aHasLine) {
    FNotice = aText;
    ShowTransfers();
  }
}

QString TClientFrm::TransferLine() const {
  if (FTransfers.empty()) return {};
  const TRunning& FLatest = FTransfers.rbegin()->second;
  const TTransfer& FNow = FLatest.FTransfer;
  QString FLine = (FNow.FDirection == TTransfer::TDirection::Upload ? QStringLiteral("正在上传 ")
                                                                    : QStringLiteral("正在下载 ")) +
                  TTransferView::NameOf(FNow.FPath);
  if (FNow.FTotal > 0) FLine += QStringLiteral(" %1%").arg(FNow.FDone * 100 / FNow.FTotal);
  const qint64 FMs = std::max<qint64>(1, QDateTime::currentMSecsSinceEpoch() - FLatest.FStartedMs);
  const double FRate = static_cast<double>(FNow.FDone) * 1000.0 / static_cast<double>(FMs);
  FLine += FRate >= 1048576 ? QStringLiteral(" %1 MB/s").arg(FRate / 1048576, 0, 'f', 1)
                            : QStringLiteral(" %1 KB/s").arg(FRate / 1024, 0, 'f', 0);
  if (FTransfers.size() > 1) FLine += QStringLiteral("（另有 %1 个）").arg(FTransfers.size() - 1);
  return FLine;
}

void TClientFrm::ShowTransfers() {
  const QString FLine = TransferLine();
  const QString FWaiting =
      FPending > 0 ? QStringLiteral("待上传：%1 个文件").arg(FPending) : QString();
  QString FTip = ApplicationTitle();
  for (const QString& FPart : {FLine, FWaiting})
    if (!FPart.isEmpty()) FTip += u'\n' + FPart;
  if (!FLoggedInText.isEmpty() && FLine.isEmpty() && FWaiting.isEmpty() && FSaveFailed.empty())
    FTip += QStringLiteral("\n已全部上传");
  ShowTooltip(FTip);
  if (FLoggedInText.isEmpty()) return;
  // Who is logged in stays on the first line; transfers and waiting changes get a second; what
  // went wrong, and where kept content is, stays in sight below.
  QStringList FSecond;
  if (FQuitWait && FQuitWait->isActive()) FSecond << QStringLiteral("等待上传完成后自动退出…");
  for (const QString& FPart : {FLine, FWaiting})
    if (!FPart.isEmpty()) FSecond << FPart;
  QStringList FLines;
  if (!FSecond.isEmpty()) FLines << FSecond.join(QStringLiteral("　"));
  for (const auto& [FPath, FText] : FSaveFailed)
    FLines << FText;
  FLines << FGivenUp;
  if (!FNotice.isEmpty()) FLines << FNotice;
  SetStatusLines(FLines);
}

void TClientFrm::ShowTooltip(const QString& aTip) {
  TrayIcon1->setToolTip(aTip);
  // A tooltip on screen keeps its old text unless shown again.
  if (QToolTip::isVisible() && TrayIcon1->geometry().contains(QCursor::pos()))
    QToolTip::showText(QCursor::pos(), aTip);
}

// One line each, cut in the middle to the window's width; the window grows to hold them all, so
// no line ever lies over another or over the slogan.
void TClientFrm::SetStatusLines(const QStringList& aLines) {
  const QFontMetrics FMetrics(StatusLabel->font());
  QString FHtml = FLoggedInText;
  for (const QString& FLine : aLines)
    FHtml += QStringLiteral("<br>") +
             FMetrics.elidedText(FLine, Qt::ElideMiddle, kBaseSize.width() - 16).toHtmlEscaped();
  StatusLabel->setText(FHtml);
  const int FLineHeight = FMetrics.lineSpacing() + 1;
  const int FLabelHeight = std::max(27, FLineHeight * static_cast<int>(1 + aLines.size()) + 1);
  const int FHeight = kBaseSize.height() - 27 + FLabelHeight;
  StatusLabel->setGeometry(4, 177, kBaseSize.width() - 8, FLabelHeight);
  Label6->move(Label6->x(), FHeight - 14);
  Image1->resize(kBaseSize.width(), FHeight);
  setFixedSize(kBaseSize.width(), FHeight);
}

TClientFrm::TClientFrm(TDesktop& aDesktop) : FDesktop(aDesktop) {
  InitResources();
  CreateControls();
  CreateTrayIcon();
  FTransferView = std::make_unique<TTransferView>(*this);
  SetTransferObserver(FTransferView.get());
  try {
    FormCreate();
  } catch (const std::exception& aError) {
    FDesktop.ShowMessage(this, QString::fromUtf8(aError.what()));
  }
}

TClientFrm::~TClientFrm() {
  SetTransferObserver(nullptr);
  if (FDispatcher) FDispatcher->Close();
}

void TClientFrm::CreateControls() {
  setWindowTitle(QStringLiteral("Zelvo云盘校园版客户端V1.2"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(kBaseSize);
  QFont FFont(QStringLiteral("Tahoma"));
  FFont.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("WenQuanYi Micro Hei")});
  FFont.setPixelSize(11);
  setFont(FFont);

  Image1 = new QLabel(this);
  Image1->setGeometry(0, 0, 419, 218);
  Image1->setPixmap(QPixmap(QStringLiteral(":/zelvo/background.jpg")));
  Image1->setScaledContents(true);
  const auto FLabel = [this](const QString& aText, QRect aBounds) {
    auto* FNew = new QLabel(aText, this);
    FNew->setGeometry(aBounds);
    return FNew;
  };
  Label1 = FLabel(QStringLiteral("班级："), {112, 24, 36, 13});
  Label2 = FLabel(QStringLiteral("姓名："), {112, 72, 36, 13});
  Label3 = FLabel(QStringLiteral("密码："), {112, 120, 36, 13});
  Label6 = FLabel(QStringLiteral("Zelvo云盘 · 你的文件，随处可用"), {135, 204, 195, 13});
  Label6->setStyleSheet(QStringLiteral("color: green;"));
  // Room for two lines between the buttons and the slogan; one line sits in the middle.
  StatusLabel = FLabel(QString(), {4, 177, 411, 27});
  StatusLabel->setAlignment(Qt::AlignCenter);
  StatusLabel->setTextFormat(Qt::RichText);
  connect(StatusLabel, &QLabel::linkActivated, this,
          [this](const QString& aLetter) { OpenDrive(aLetter.at(0).unicode()); });

  GroupBox = new QComboBox(this);
  GroupBox->setGeometry(168, 21, 211, 21);
  NameBox = new QComboBox(this);
  NameBox->setEditable(true);
  NameBox->setMaxVisibleItems(15);
  NameBox->setInsertPolicy(QComboBox::NoInsert);
  NameBox->setGeometry(168, 69, 211, 21);
  PasswordEdit = new QLineEdit(this);
  PasswordEdit->setEchoMode(QLineEdit::Password);
  PasswordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
  PasswordEdit->setGeometry(168, 117, 211, 21);
  PasswordEdit->installEventFilter(this);
  const auto FButton = [this](const QString& aText, QRect aBounds) {
    auto* FNew = new QPushButton(aText, this);
    FNew->setGeometry(aBounds);
    return FNew;
  };
  Button2 = FButton(QStringLiteral("登陆"), {216, 152, 75, 25});
  Button1 = FButton(QStringLiteral("修改密码"), {135, 152, 75, 25});
  Button3 = FButton(QStringLiteral("退出"), {304, 152, 75, 25});
  Button1->setEnabled(false);
  setTabOrder(GroupBox, NameBox);
  setTabOrder(NameBox, PasswordEdit);
  setTabOrder(PasswordEdit, Button2);
  setTabOrder(Button2, Button1);
  setTabOrder(Button1, Button3);
  GroupBox->setFocus();

  connect(GroupBox, &QComboBox::activated, this, &TClientFrm::GroupBoxChange);
  connect(Button2, &QPushButton::clicked, this, &TClientFrm::Button2Click);
  connect(Button1, &QPushButton::clicked, this, &TClientFrm::Button1Click);
  connect(Button3, &QPushButton::clicked, this, &TClientFrm::Button3Click);
  if (const QScreen* FScreen = QGuiApplication::primaryScreen())
    move(FScreen->availableGeometry().center() - rect().center());
}

void TClientFrm::CreateTrayIcon() {
  TrayIcon1 = new QSystemTrayIcon(ProgramIcon(), this);
  TrayIcon1->setToolTip(QStringLiteral("Zelvo云盘"));
  setWindowIcon(ProgramIcon());
  connect(TrayIcon1, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason aReason) {
            if (aReason == QSystemTrayIcon::Trigger) TrayIcon1Click();
          });
  TrayMenu = new QMenu(this);
  TrayMenu->addAction(QStringLiteral("打开云盘"), this, [this] { OpenDrive(u'Z'); });
  TrayMenu->addAction(QStringLiteral("打开共享"), this, [this] { OpenDrive(u'Y'); });
  TrayMenu->addAction(QStringLiteral("显示窗口"), this, &TClientFrm::TrayIcon1Click);
  TrayMenu->addSeparator();
  TrayMenu->addAction(QStringLiteral("退出"), this, &TClientFrm::Button3Click);
  for (int i = 0; i < 2; ++i)
    TrayMenu->actions()[i]->setEnabled(false); // the drives come with the login
  TrayIcon1->setContextMenu(TrayMenu);
  TrayIcon1->show();
}

void TClientFrm::OpenDrive(char16_t aLetter) {
  const QString FFolder = DriveFolder(aLetter);
  FDesktop.OpenFolder(FFolder, [FForm = QPointer<TClientFrm>(this), FFolder] {
    if (FForm)
      FForm->Message(QStringLiteral("无法打开文件管理器。请自行打开这个文件夹：\n%1").arg(FFolder));
  });
}

void TClientFrm::FormCreate() {
  InstallSetupHooks(FDesktop, this);
  LoadSetup();
  StartClassLists();
}

void TClientFrm::StartClassLists() {
  // The wake posts to the application object, which outlives the window; a closed dispatcher
  // then runs nothing.
  auto FSelf = std::make_shared<std::weak_ptr<TWindowDispatcher>>();
  FDispatcher = std::make_shared<TWindowDispatcher>([FSelf] {
    if (QCoreApplication* FApp = QCoreApplication::instance())
      QMetaObject::invokeMethod(
          FApp,
          [FWeak = *FSelf] {
            if (auto FDispatcher = FWeak.lock()) FDispatcher->RunPending();
          },
          Qt::QueuedConnection);
  });
  *FSelf = FDispatcher;
  FGroups = std::make_unique<TComboStrings>(GroupBox);
  FUnreachable.clear();
  FAnyAnswered = false;
  const auto FHosts = SplitDelimited(ServerHost, u'|');
  FListsRunning = static_cast<int>(FHosts.size());
  for (const auto& FHost : FHosts)
    TGroupListThread::Create(FHost, ServerPort, *FGroups, FDispatcher,
                             [this, FHost](bool aAnswered) { ClassListEnded(FHost, aAnswered); });
}

void TClientFrm::ClassListEnded(const std::u16string& aHost, bool aAnswered) {
  FAnyAnswered = FAnyAnswered || aAnswered;
  if (!aAnswered) FUnreachable << (aHost.empty() ? QStringLiteral("(空)") : Text(aHost));
  if (--FListsRunning > 0 || FAnyAnswered) {
    if (FAnyAnswered && Button2->isEnabled()) StatusLabel->clear();
    return;
  }
  StatusLabel->setStyleSheet(QStringLiteral("color: #C00000;"));
  StatusLabel->setText(UnreachableText() + QStringLiteral("，正在重试…"));
  if (!FRetry) {
    FRetry = new QTimer(this);
    FRetry->setSingleShot(true);
    connect(FRetry, &QTimer::timeout, this, [this] {
      if (FDispatcher) FDispatcher->Close(); // the lists of the last round add nothing more
      StartClassLists();
    });
  }
  FRetry->start(kClassListRetryMs);
}

QString TClientFrm::UnreachableText() const {
  return QStringLiteral("无法连接服务器：") + FUnreachable.join(QStringLiteral("、"));
}

void TClientFrm::ShowLoggedIn() {
  StatusLabel->setStyleSheet(QString());
  FLoggedInText = (QStringLiteral("已登录：%1 %2　云盘：<a href=\"Z\">%3</a>　共享：<a "
                                  "href=\"Y\">%4</a>")
                       .arg(Text(TextBefore(Text(GroupBox->currentText()), u'(')),
                            NameBox->currentText(), ShortFolder(DriveFolder(u'Z')).toHtmlEscaped(),
                            ShortFolder(DriveFolder(u'Y')).toHtmlEscaped()));
  ShowTransfers();
}

void TClientFrm::GroupBoxChange() {
  if (GroupBox->currentIndex() < 0) return;
  const auto [FClass, FRest] = SplitText(Text(GroupBox->currentText()), u'(');
  CurrentServerHost = TextBefore(FRest, u')');
  TStringList FNames;
  TYunClient FClient(CurrentServerHost, ServerPort, ClientTimeOut);
  if (!FClient.DoCommand(UlistRequest(FClass), FNames)) {
    if (FClient.InvalidReply()) Message(Text(std::u16string(kInvalidReply)));
    return;
  }
  SortTextLocale(FNames);
  NameBox->clear();
  for (const auto& FName : FNames)
    NameBox->addItem(Text(FName));
  NameBox->setCurrentIndex(-1);
  NameBox->setEditText(QString());
}

void TClientFrm::Button2Click() {
  // No class to choose because no server answered: that is what the student must hear.
  if (GroupBox->count() == 0 && !FUnreachable.isEmpty() && !FAnyAnswered) {
    Message(UnreachableText());
    return;
  }
  if (GroupBox->currentText().isEmpty() || NameBox->currentText().isEmpty() ||
      PasswordEdit->text().isEmpty()) {
    Message(QStringLiteral("班级、姓名或密码不能为空！"));
    return;
  }
  // One login per cache folder: a second one would wipe the first one's pending changes.
  if (!FCacheLock) FCacheLock = std::make_unique<TFolderLock>(Utf16ToUtf8(CacheDir));
  if (!FCacheLock->Held()) {
    FCacheLock.reset();
    Message(QStringLiteral("缓存文件夹正被另一个登录使用：%1").arg(Text(CacheDir)));
    return;
  }
  std::u16string FServerTime;
  switch (LoginToServer(TextBefore(Text(GroupBox->currentText()), u'('),
                        Text(NameBox->currentText()), Text(PasswordEdit->text()), FServerTime)) {
  case TLoginResult::Unreachable:
    return;
  case TLoginResult::Invalid:
    Message(Text(std::u16string(kInvalidReply)));
    return;
  case TLoginResult::Refused:
    Message(Text(std::u16string(kWrongLogin)));
    return;
  case TLoginResult::LoggedIn:
    break;
  }
  for (QWidget* FControl : {static_cast<QWidget*>(GroupBox), static_cast<QWidget*>(NameBox),
                            static_cast<QWidget*>(PasswordEdit), static_cast<QWidget*>(Button2)})
    FControl->setEnabled(false);
  Button1->setEnabled(true);
  MountYunDisks();
  for (int i = 0; i < 2; ++i)
    TrayMenu->actions()[i]->setEnabled(true);
  ShowLoggedIn();
  // Without a tray icon there would be no way back to a hidden window.
  if (FDesktop.HasSystemTray()) hide();
  OpenDrive(u'Z');
  SetClockFromText(Text(FServerTime));
}

void TClientFrm::MountYunDisks() {
  FDrives = zelvo::MountYunDisks(u"Z:", u"Y:");
}

void TClientFrm::SetClockFromText(const QString& aText) {
  const SYSTEMTIME FTime = ReadDateTimeText(Text(aText), QDate::currentDate().year());
  FDesktop.SetLocalTime(FTime); // a clock that may not be set is not reported
}

void TClientFrm::Button1Click() {
  TPasswordChange FChange;
  if (!FDesktop.AskPasswordChange(this, FChange)) return;
  if (FChange.FOld != PasswordEdit->text()) return Message(QStringLiteral("密码不正确!"));
  if (FChange.FNew != FChange.FRepeat) return Message(QStringLiteral("二次输入的新密码不一致!"));
  if (FChange.FNew.isEmpty()) return Message(QStringLiteral("新密码不能为空!"));
  const bool FSent =
      TYunClient(CurrentServerHost, ServerPort, ClientTimeOut)
          .DoCommand(ChgpswRequest(Text(GroupBox->currentText()), Text(NameBox->currentText()),
                                   Text(FChange.FNew)));
  // A change the server did not confirm (undelivered or refused) must not claim success: the
  // login stands.
  if (!FSent) return Message(QStringLiteral("密码修改失败，请稍后重试！"));
  Message(QStringLiteral("密码修改成功，退出系统后请重新登陆！"));
  ExitRequested = true;
  close();
}

void TClientFrm::Button3Click() {
  if (FQuitWait) FQuitWait->stop(); // asked again: the answer decides anew
  if (!ChangesLetUsQuit()) return WaitThenQuit();
  ExitRequested = true;
  close();
}

bool TClientFrm::NothingUnsent() const {
  return !FDrives.FOwn || FileSystem == nullptr ||
         (FileSystem->UnsentOpens().empty() && FileSystem->PendingFiles().empty());
}

// Files still being written, changes the server does not have yet, changes it refused for good
// (and where they are kept), files that never go to the server.
QString TClientFrm::UnsentText() const {
  const auto FLines = [](const auto& aPaths) {
    QString FText;
    for (const auto& FPath : aPaths)
      FText += u'\n' + QString(FPath).replace(u'\\', u'/');
    return FText;
  };
  const auto FQt = [](const std::vector<std::u16string>& aPaths) {
    QStringList FList;
    for (const auto& FPath : aPaths)
      FList << QString::fromStdU16String(FPath);
    return FList;
  };
  QStringList FParts;
  if (const auto FWriting = FQt(FileSystem->UnsentOpens()); !FWriting.isEmpty())
    FParts << QStringLiteral("以下文件仍在写入，修改尚未保存到服务器：") + FLines(FWriting);
  if (const auto FWaiting = FQt(FileSystem->PendingFiles()); !FWaiting.isEmpty())
    FParts << QStringLiteral("以下文件的修改只保存在本机，尚未上传到服务器"
                             "（立即退出后，下次登录时自动上传）：") +
                  FLines(FWaiting);
  if (!FGivenUp.isEmpty()) FParts << FGivenUp.join(u'\n');
  if (!FKeptLocal.isEmpty())
    FParts << QStringLiteral("以下文件只保存在本机（此类文件不会上传）：") + FLines(FKeptLocal);
  return FParts.join(QStringLiteral("\n\n"));
}

bool TClientFrm::ChangesLetUsQuit() {
  if (NothingUnsent()) return true;
  return FDesktop.AskQuitNow(this, UnsentText());
}

void TClientFrm::WaitThenQuit() {
  if (!FQuitWait) {
    FQuitWait = new QTimer(this);
    FQuitWait->setInterval(250);
    connect(FQuitWait, &QTimer::timeout, this, [this] {
      if (!NothingUnsent()) return;
      FQuitWait->stop();
      ExitRequested = true;
      close();
    });
  }
  FQuitWait->start();
  TrayIcon1Click();
  ShowTransfers();
}

void TClientFrm::QuitWaitFailed() {
  if (!FQuitWait || !FQuitWait->isActive()) return;
  FQuitWait->stop();
  ShowTransfers();
  // Asked after this event is done: the question runs a loop of its own.
  QTimer::singleShot(0, this, &TClientFrm::Button3Click);
}

bool TClientFrm::FormCloseQuery() const {
  return ExitRequested;
}

// Uploads under way finish before the drives go, their progress in the window, for at most the
// time-out (a stalled one then ends as a failed upload, its change kept for the next login).
void TClientFrm::FinishUploads() {
  const auto FUploading = [this] {
    return std::any_of(FTransfers.begin(), FTransfers.end(), [](const auto& aEntry) {
      return aEntry.second.FTransfer.FDirection == TTransfer::TDirection::Upload;
    });
  };
  if (!FUploading()) return;
  show();
  const QDeadlineTimer FDeadline(ClientTimeOut > 0 ? ClientTimeOut : kDefaultClientTimeOut);
  while (FUploading() && !FDeadline.hasExpired()) {
    QEventLoop FLoop;
    QTimer::singleShot(50, &FLoop, &QEventLoop::quit);
    FLoop.exec();
  }
}

void TClientFrm::FormClose() {
  if (FDispatcher) FDispatcher->Close();
  FinishUploads();
  UnmountYunDisks(FDrives);
  const auto FPending = SettlePendingChanges();
  if (FPending.empty()) return;
  QString FText = QString::fromUtf8("以下文件的修改尚未保存到服务器，下次登录时将自动上传：");
  for (const auto& FPath : FPending)
    FText += u'\n' + QString::fromStdU16String(FPath);
  FDesktop.ShowMessage(this, FText);
}

void TClientFrm::closeEvent(QCloseEvent* aEvent) {
  if (!FormCloseQuery()) {
    aEvent->ignore();
    if (!FDesktop.HasSystemTray()) {
      // No tray icon to come back from: × is 退出.
      QTimer::singleShot(0, this, &TClientFrm::Button3Click);
      return;
    }
    hide();
    if (!std::exchange(FToldHidden, true))
      TrayMessage(QStringLiteral("Zelvo云盘仍在运行。单击托盘图标打开窗口，右键菜单可以退出。"));
    return;
  }
  FormClose();
  aEvent->accept();
  QCoreApplication::quit();
}

bool TClientFrm::eventFilter(QObject* aObject, QEvent* aEvent) {
  if (aObject == PasswordEdit && aEvent->type() == QEvent::KeyRelease) {
    const int FKey = static_cast<QKeyEvent*>(aEvent)->key();
    if (FKey == Qt::Key_Return || FKey == Qt::Key_Enter) Button2Click();
  }
  return QWidget::eventFilter(aObject, aEvent);
}

void TClientFrm::TrayIcon1Click() {
  show();
  raise();
  activateWindow();
}

void TClientFrm::RestoreFromSecondStart() {
  if (isMinimized()) showNormal();
  if (QApplication::activeModalWidget() != nullptr) return;
  TrayIcon1Click();
}

} // namespace zelvo
