#include "shell/Desktop.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <ctime>

#include "shell/FirstRun.h"

namespace zelvo {

QString ApplicationTitle() {
  return QStringLiteral("Zelvo云盘");
}

namespace {

void ChineseButtons(QDialogButtonBox* aButtons) {
  if (QPushButton* FOk = aButtons->button(QDialogButtonBox::Ok))
    FOk->setText(QStringLiteral("确定"));
  if (QPushButton* FCancel = aButtons->button(QDialogButtonBox::Cancel))
    FCancel->setText(QStringLiteral("取消"));
}

} // namespace

void TDesktop::ShowMessage(QWidget* aOwner, const QString& aText) {
  QMessageBox FBox(QMessageBox::Information, ApplicationTitle(), aText, QMessageBox::NoButton,
                   aOwner);
  FBox.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
  FBox.exec();
}

bool TDesktop::AskPasswordChange(QWidget* aOwner, TPasswordChange& aChange) {
  QDialog FDialog(aOwner);
  FDialog.setWindowTitle(QStringLiteral("修改密码"));
  auto* FLayout = new QFormLayout(&FDialog);
  // Its own size: a resizable dialog gets a window manager's resize bar under its buttons.
  FLayout->setSizeConstraint(QLayout::SetFixedSize);
  QLineEdit* FFields[3];
  const QString FLabels[3] = {QStringLiteral("原密码"), QStringLiteral("新密码"),
                              QStringLiteral("重复新密码")};
  for (int i = 0; i < 3; ++i) {
    FFields[i] = new QLineEdit(&FDialog);
    FFields[i]->setEchoMode(QLineEdit::Password);
    FFields[i]->setMaxLength(255);
    FLayout->addRow(FLabels[i], FFields[i]);
  }
  auto* FButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &FDialog);
  ChineseButtons(FButtons);
  QObject::connect(FButtons, &QDialogButtonBox::accepted, &FDialog, &QDialog::accept);
  QObject::connect(FButtons, &QDialogButtonBox::rejected, &FDialog, &QDialog::reject);
  FLayout->addRow(FButtons);
  if (FDialog.exec() != QDialog::Accepted) return false;
  aChange = {FFields[0]->text(), FFields[1]->text(), FFields[2]->text()};
  return true;
}

void TDesktop::OpenFolder(const QString& aPath, std::function<void()> aFailed) {
  // Not owned by a window: a file manager that xdg-open runs in its place lives on after us.
  auto* FOpener = new QProcess;
  FOpener->setProcessChannelMode(QProcess::ForwardedChannels);
  const auto FEnded = [FOpener, aFailed](bool aOpened) {
    if (!aOpened && aFailed) aFailed();
    FOpener->deleteLater();
  };
  QObject::connect(FOpener, &QProcess::finished, FOpener,
                   [FEnded](int aCode, QProcess::ExitStatus aStatus) {
                     FEnded(aStatus == QProcess::NormalExit && aCode == 0);
                   });
  QObject::connect(FOpener, &QProcess::errorOccurred, FOpener,
                   [FEnded](QProcess::ProcessError aError) {
                     if (aError == QProcess::FailedToStart) FEnded(false);
                   });
  FOpener->start(QStringLiteral("xdg-open"), {aPath});
}

QString TDesktop::AskServerHosts(QWidget* aOwner, const QString& aCurrent) {
  TServerHostsDialog FDialog(aOwner, aCurrent);
  return FDialog.exec() == QDialog::Accepted ? FDialog.Hosts() : aCurrent;
}

bool TDesktop::SetLocalTime(const SYSTEMTIME& aTime) {
  std::tm FLocal{};
  FLocal.tm_year = aTime.wYear - 1900;
  FLocal.tm_mon = aTime.wMonth - 1;
  FLocal.tm_mday = aTime.wDay;
  FLocal.tm_hour = aTime.wHour;
  FLocal.tm_min = aTime.wMinute;
  FLocal.tm_sec = aTime.wSecond;
  FLocal.tm_isdst = -1;
  const timespec FWhen{std::mktime(&FLocal), static_cast<long>(aTime.wMilliseconds) * 1000000};
  return FWhen.tv_sec != -1 && ::clock_settime(CLOCK_REALTIME, &FWhen) == 0;
}

bool TDesktop::AskQuitNow(QWidget* aOwner, const QString& aText) {
  QMessageBox FBox(QMessageBox::Question, ApplicationTitle(),
                   aText + QStringLiteral("\n\n现在退出吗？选择「等待」，全部上传后自动退出。"),
                   QMessageBox::NoButton, aOwner);
  QPushButton* FQuit = FBox.addButton(QStringLiteral("立即退出"), QMessageBox::DestructiveRole);
  QPushButton* FWait = FBox.addButton(QStringLiteral("等待"), QMessageBox::RejectRole);
  // Enter or Esc by habit must not drop what is not sent yet.
  FBox.setDefaultButton(FWait);
  FBox.setEscapeButton(FWait);
  FBox.exec();
  return FBox.clickedButton() == FQuit;
}

void TDesktop::ShowTrayMessage(QSystemTrayIcon* aTray, const QString& aText) {
  aTray->showMessage(ApplicationTitle(), aText);
}

bool TDesktop::HasSystemTray() const {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

} // namespace zelvo
