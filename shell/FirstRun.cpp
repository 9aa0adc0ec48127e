#include "shell/FirstRun.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextStream>
#include <QVBoxLayout>
#include <algorithm>

#include "common/Globals.h"
#include "install/LinuxDriver.h"

namespace zelvo {

void RunFirstRunSetup(TIniFile& aIni, const TFirstRunSteps& aSteps) {
  aSteps.FDriverStep();
  aIni.WriteBool(kSetupSection, u"SysInited", true);
  aSteps.FCreateShortcut(QCoreApplication::applicationFilePath(), QStringLiteral("Zelvo云盘"));
  const QString FStored =
      QString::fromStdU16String(aIni.ReadString(kSetupSection, u"ServerHost", u""));
  const QString FAnswer = aSteps.FAskServerHosts(FStored);
  if (FAnswer.isEmpty() || FAnswer == QString::fromStdU16String(ServerHost)) return;
  ServerHost = FAnswer.toStdU16String();
  aIni.WriteString(kSetupSection, u"ServerHost", ServerHost);
}

namespace {

bool IsHostName(const QString& aName) {
  static const QRegularExpression kLabel(
      QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
  const QStringList FLabels = aName.split(u'.');
  return aName.size() <= 253 && std::all_of(FLabels.begin(), FLabels.end(), [](const QString& a) {
           return kLabel.match(a).hasMatch();
         });
}

bool IsServer(const QString& aPart) {
  static const QRegularExpression kNumeric(QStringLiteral("^[0-9.]+$"));
  // Digits and dots are an IPv4 address or a typo ("10.0.0", "10.0.0.256"), never a name.
  if (kNumeric.match(aPart).hasMatch())
    return aPart.count(u'.') == 3 && !QHostAddress(aPart).isNull();
  return (aPart.contains(u':') && !QHostAddress(aPart).isNull()) || IsHostName(aPart);
}

} // namespace

QString ServerHostsProblem(const QString& aHosts) {
  if (aHosts.trimmed().isEmpty()) return QStringLiteral("请输入服务器地址。");
  for (const QString& FPart : aHosts.trimmed().split(u'|')) {
    if (FPart.isEmpty()) return QStringLiteral("两个 | 之间缺少服务器地址。");
    if (!IsServer(FPart))
      return QStringLiteral("「%1」不是有效的服务器地址（应如 10.0.0.5 或 server.school.edu）。")
          .arg(FPart);
  }
  return {};
}

TServerHostsDialog::TServerHostsDialog(QWidget* aOwner, const QString& aCurrent) : QDialog(aOwner) {
  setWindowTitle(ApplicationTitle());
  auto* FLayout = new QVBoxLayout(this);
  // Its own size, grown when a problem is said (and no resize bar from the window manager).
  FLayout->setSizeConstraint(QLayout::SetFixedSize);
  auto* FText = new QLabel(QStringLiteral("输入服务器IP地址，多个IP用 | 分隔。"), this);
  FText->setWordWrap(true);
  FLayout->addWidget(FText);
  Field = new QLineEdit(aCurrent, this);
  Field->setMaxLength(255);
  Field->setPlaceholderText(QStringLiteral("例如 10.0.0.5 或 10.0.0.5|10.0.0.6"));
  Field->setMinimumWidth(280);
  FLayout->addWidget(Field);
  Problem = new QLabel(this);
  Problem->setStyleSheet(QStringLiteral("color: #C00000;"));
  Problem->setWordWrap(true);
  Problem->hide();
  FLayout->addWidget(Problem);
  auto* FButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  FButtons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
  FButtons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
  connect(FButtons, &QDialogButtonBox::accepted, this, &TServerHostsDialog::accept);
  connect(FButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  FLayout->addWidget(FButtons);
}

void TServerHostsDialog::accept() {
  const QString FProblem = ServerHostsProblem(Field->text());
  Problem->setText(FProblem);
  Problem->setVisible(!FProblem.isEmpty());
  if (FProblem.isEmpty())
    QDialog::accept();
  else
    Field->setFocus();
}

TFirstRunSteps SystemFirstRunSteps(TDesktop& aDesktop, QWidget* aOwner) {
  return {[&aDesktop, aOwner] {
            CheckDriverForFirstRun([&](const std::u16string& aText) {
              aDesktop.ShowMessage(aOwner, QString::fromStdU16String(aText));
            });
          },
          CreateDesktopShortcut,
          [&aDesktop, aOwner](const QString& aCurrent) {
            return aDesktop.AskServerHosts(aOwner, aCurrent);
          }};
}

void InstallSetupHooks(TDesktop& aDesktop, QWidget* aOwner) {
  SetupHooks().FirstRunSetup = [&aDesktop, aOwner](TIniFile& aIni) {
    RunFirstRunSetup(aIni, SystemFirstRunSteps(aDesktop, aOwner));
  };
  SetupHooks().StartDriverService = [] { StartDriverServiceOnLinux(HomeDir); };
}

QString DesktopFolder() {
  const QString FConfig = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  QFile FDirs(FConfig + QStringLiteral("/user-dirs.dirs"));
  if (FDirs.open(QIODevice::ReadOnly | QIODevice::Text)) {
    static const QRegularExpression kLine(QStringLiteral("^XDG_DESKTOP_DIR=\"(.*)\"$"));
    QTextStream FIn(&FDirs);
    for (QString FLine; FIn.readLineInto(&FLine);) {
      const auto FMatch = kLine.match(FLine.trimmed());
      if (FMatch.hasMatch())
        return FMatch.captured(1).replace(QStringLiteral("$HOME"), QDir::homePath());
    }
  }
  return QDir::homePath() + QStringLiteral("/Desktop");
}

namespace {

void DrawIcon(const QString& aPath) {
  QPixmap FPixmap(64, 64);
  FPixmap.fill(Qt::transparent);
  {
    QPainter FPainter(&FPixmap);
    FPainter.setRenderHint(QPainter::Antialiasing);
    FPainter.setPen(Qt::NoPen);
    FPainter.setBrush(QColor(0x2E, 0x7D, 0xC8));
    FPainter.drawEllipse(2, 2, 60, 60);
    FPainter.setBrush(Qt::white);
    FPainter.drawEllipse(12, 26, 24, 18);
    FPainter.drawEllipse(24, 18, 28, 24);
  }
  FPixmap.save(aPath, "PNG");
}

// An installed program has its icon in the desktop's icon theme; a build draws its own.
QString ShortcutIcon(const QString& aTarget) {
  const QString FInstalled = QFileInfo(aTarget).absolutePath() +
                             QStringLiteral("/../share/icons/hicolor/scalable/apps/zelvo.svg");
  if (QFileInfo::exists(FInstalled)) return QStringLiteral("zelvo");
  const QString FIcon = QString::fromStdU16String(HomeDir) + QStringLiteral("zelvo.png");
  DrawIcon(FIcon);
  return FIcon;
}

} // namespace

void CreateDesktopShortcut(const QString& aTarget, const QString& aName) {
  const QString FFolder = QFileInfo(aTarget).absolutePath() + u'/';
  const QString FIcon = ShortcutIcon(aTarget);
  const QString FPath = DesktopFolder() + u'/' + aName + QStringLiteral(".desktop");
  QFile FEntry(FPath);
  if (!FEntry.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return;
  QTextStream FOut(&FEntry);
  FOut << "[Desktop Entry]\nType=Application\nName=" << aName << "\nComment=" << aName
       << "\nExec=\"" << aTarget << "\"\nPath=" << FFolder << "\nIcon=" << FIcon
       << "\nTerminal=false\n";
  FEntry.close();
  FEntry.setPermissions(FEntry.permissions() | QFile::ExeOwner | QFile::ExeUser);
  const QString FGio = QStandardPaths::findExecutable(QStringLiteral("gio"));
  if (!FGio.isEmpty())
    QProcess::execute(FGio, {QStringLiteral("set"), FPath, QStringLiteral("metadata::trusted"),
                             QStringLiteral("true")});
}

} // namespace zelvo
