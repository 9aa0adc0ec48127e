#include "shell/Desktop.h"

#include <QSystemTrayIcon>

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <ctime>

namespace zelvo {

QString ApplicationTitle() {
  const QString FName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
  const QString FBase = FName.section(u'.', 0, 0);
  return FBase.isEmpty() ? FBase : FBase.left(1) + FBase.mid(1).toLower();
}

void TDesktop::ShowMessage(QWidget* aOwner, const QString& aText) {
  QMessageBox::information(aOwner, ApplicationTitle(), aText, QMessageBox::Ok);
}

bool TDesktop::AskPasswordChange(QWidget* aOwner, TPasswordChange& aChange) {
  QDialog FDialog(aOwner);
  FDialog.setWindowTitle(QStringLiteral("修改密码"));
  auto* FLayout = new QFormLayout(&FDialog);
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
  FButtons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
  FButtons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Cancel"));
  QObject::connect(FButtons, &QDialogButtonBox::accepted, &FDialog, &QDialog::accept);
  QObject::connect(FButtons, &QDialogButtonBox::rejected, &FDialog, &QDialog::reject);
  FLayout->addRow(FButtons);
  if (FDialog.exec() != QDialog::Accepted) return false;
  aChange = {FFields[0]->text(), FFields[1]->text(), FFields[2]->text()};
  return true;
}

void TDesktop::OpenFolder(const QString& aPath) {
  QProcess::startDetached(QStringLiteral("xdg-open"), {aPath});
}

QString TDesktop::AskServerHosts(QWidget* aOwner, const QString& aCurrent) {
  QInputDialog FDialog(aOwner);
  FDialog.setWindowTitle(QStringLiteral("输入服务器IP地址，多个IP用 | 分隔。"));
  FDialog.setLabelText(QStringLiteral("服务器IP地址："));
  FDialog.setTextValue(aCurrent);
  FDialog.setOkButtonText(QStringLiteral("OK"));
  FDialog.setCancelButtonText(QStringLiteral("Cancel"));
  if (auto* FField = FDialog.findChild<QLineEdit*>()) FField->setMaxLength(255);
  return FDialog.exec() == QDialog::Accepted ? FDialog.textValue() : aCurrent;
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
                   aText + QStringLiteral("\n\n现在退出吗？"), QMessageBox::NoButton, aOwner);
  QPushButton* FQuit = FBox.addButton(QStringLiteral("立即退出"), QMessageBox::DestructiveRole);
  FBox.addButton(QStringLiteral("等待"), QMessageBox::RejectRole);
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
