#include "shell/FirstRun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextStream>

#include "common/Globals.h"
#include "install/LinuxDriver.h"

namespace zelvo {

void RunFirstRunSetup(TIniFile& aIni, const TFirstRunSteps& aSteps) {
  aSteps.FDriverStep();
  aIni.WriteBool(kSetupSection, u"SysInited", true);
  aSteps.FCreateShortcut(QCoreApplication::applicationFilePath(), QStringLiteral("Zelvo云盘"));
  const QString FCurrent = QString::fromStdU16String(ServerHost);
  const QString FAnswer = aSteps.FAskServerHosts(FCurrent);
  if (FAnswer.isEmpty() || FAnswer == FCurrent) return;
  ServerHost = FAnswer.toStdU16String();
  aIni.WriteString(kSetupSection, u"ServerHost", ServerHost);
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
