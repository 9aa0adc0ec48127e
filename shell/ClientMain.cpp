#include "shell/ClientMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDate>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>

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
  void TransferEnded(const TTransfer& aTransfer, bool aOk) override {
    Post([aTransfer, aOk](TClientFrm& aForm) {
      aForm.FTransfers.erase(aTransfer.FId);
      if (!aOk && aTransfer.FDirection == TTransfer::TDirection::Upload)
        aForm.TrayMessage(QStringLiteral("上传失败：%1，修改已保存在本机，稍后自动上传")
                              .arg(NameOf(aTransfer.FPath)));
      aForm.ShowTransfers();
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
      aForm.TrayMessage(QStringLiteral("已上传此前未保存的修改：%1").arg(NameOf(aPath)));
    });
  }
  void KeptLocal(const std::u16string& aPath) override {
    Post([aPath](TClientFrm& aForm) {
      aForm.TrayMessage(
          QStringLiteral("%1 只保存在本机：此类文件不会上传到服务器").arg(NameOf(aPath)));
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
      aForm.FGivenUp << QStringLiteral("服务器拒绝接收 %1（%2），不再上传；你的内容已保存在 %3")
                            .arg(NameOf(aPath), Text(aWhy), Text(aKeptAt));
      aForm.TrayMessage(
          QStringLiteral("%1 无法上传到服务器，内容已保存在 %2").arg(NameOf(aPath), FFolder));
      aForm.ShowTransfers();
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

void TClientFrm::TrayMessage(const QString& aText) {
  FDesktop.ShowTrayMessage(TrayIcon1, aText);
}

void TClientFrm::ShowTransfers() {
  QString FLine;
  if (!FTransfers.empty()) {
    const TRunning& FLatest = FTransfers.rbegin()->second;
    const TTransfer& FNow = FLatest.FTransfer;
    FLine = (FNow.FDirection == TTransfer::TDirection::Upload ? QStringLiteral("正在上传 ")
                                                              : QStringLiteral("正在下载 ")) +
            TTransferView::NameOf(FNow.FPath);
    if (FNow.FTotal > 0) FLine += QStringLiteral(" %1%").arg(FNow.FDone * 100 / FNow.FTotal);
    const qint64 FMs =
        std::max<qint64>(1, QDateTime::currentMSecsSinceEpoch() - FLatest.FStartedMs);
    const double FRate = static_cast<double>(FNow.FDone) * 1000.0 / static_cast<double>(FMs);
    FLine += FRate >= 1048576 ? QStringLiteral(" %1 MB/s").arg(FRate / 1048576, 0, 'f', 1)
                              : QStringLiteral(" %1 KB/s").arg(FRate / 1024, 0, 'f', 0);
    if (FTransfers.size() > 1) FLine += QStringLiteral("（另有 %1 个）").arg(FTransfers.size() - 1);
  }
  const QString FWaiting =
      FPending > 0 ? QStringLiteral("待上传：%1 个文件").arg(FPending) : QString();
  QString FTip = QStringLiteral("Zelvo云盘");
  for (const QString& FPart : {FLine, FWaiting})
    if (!FPart.isEmpty()) FTip += u'\n' + FPart;
  TrayIcon1->setToolTip(FTip);
  if (FLoggedInText.isEmpty()) return;
  // Who is logged in stays on the first line; transfers and waiting changes get a second.
  QStringList FSecond;
  for (const QString& FPart : {FLine, FWaiting})
    if (!FPart.isEmpty()) FSecond << FPart.toHtmlEscaped();
  QString FStatus = FLoggedInText;
  if (!FSecond.isEmpty()) FStatus += QStringLiteral("<br>") + FSecond.join(QStringLiteral("　"));
  // Changes the server refused for good, and where their content is, stay in sight.
  for (const QString& FGivenUp : FGivenUp)
    FStatus += QStringLiteral("<br>") + FGivenUp.toHtmlEscaped();
  StatusLabel->setText(FStatus);
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
  setFixedSize(419, 218);
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
  connect(StatusLabel, &QLabel::linkActivated, this, [this](const QString& aLetter) {
    FDesktop.OpenFolder(DriveFolder(aLetter.at(0).unicode()));
  });

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
  TrayIcon1->show();
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
  ShowLoggedIn();
  // Without a tray icon there would be no way back to a hidden window.
  if (FDesktop.HasSystemTray()) hide();
  FDesktop.OpenFolder(DriveFolder(u'Z'));
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
  if (!ChangesLetUsQuit()) return;
  ExitRequested = true;
  close();
}

// Files still being written, or changes the server does not have yet: the student chooses
// between waiting (the window stays, the drives go on) and quitting now.
bool TClientFrm::ChangesLetUsQuit() {
  if (!FDrives.FOwn || FileSystem == nullptr) return true;
  const auto FLines = [](const std::vector<std::u16string>& aPaths) {
    QString FText;
    for (const auto& FPath : aPaths)
      FText += u'\n' + QString::fromStdU16String(FPath).replace(u'\\', u'/');
    return FText;
  };
  const auto FWriting = FileSystem->UnsentOpens();
  const auto FWaiting = FileSystem->PendingFiles();
  if (FWriting.empty() && FWaiting.empty()) return true;
  QString FText;
  if (!FWriting.empty())
    FText += QStringLiteral("以下文件仍在写入，修改尚未保存到服务器：") + FLines(FWriting);
  if (!FWaiting.empty())
    FText += QString(FText.isEmpty() ? "" : "\n\n") +
             QStringLiteral("以下文件的修改尚未保存到服务器，下次登录时将自动上传：") +
             FLines(FWaiting);
  return FDesktop.AskQuitNow(this, FText);
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
    hide();
    aEvent->ignore();
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
