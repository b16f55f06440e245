#include "console/shell/qt_dialogs.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/remote/message_dialogs_qt.h"
#include "console/model/console_texts.h"
#include "console/model/tree_entry.h"
#include "console/shell/console_host.h"

namespace {

QMessageBox::Icon IconOf(uint32_t style) {
  return style == MB_STOP          ? QMessageBox::Critical
         : style == MB_EXCLAMATION ? QMessageBox::Warning
                                   : QMessageBox::Information;
}

}  // namespace

int RunModal(QDialog& d) {
  // Raised and given the focus once it is up: a window manager may otherwise leave it behind the
  // main window, where it holds the whole program and cannot be reached.
  QTimer::singleShot(0, &d, [&d] {
    d.raise();
    d.activateWindow();
  });
  return d.exec();
}

namespace {

// A dialog whose OK closes it only when check lets it.
class CheckedDialog : public QDialog {
 public:
  using QDialog::QDialog;
  std::function<bool()> check;
  void accept() override {
    if (!check || check()) QDialog::accept();
  }
};

}  // namespace

bool QtDialogs::AskYesNo(const CString& title, const CString& text, uint32_t style) {
  QMessageBox box(IconOf(style), QS(title), QS(text), QMessageBox::Yes | QMessageBox::No, m_parent);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool QtDialogs::AskOkCancel(const CString& title, const CString& text) {
  QMessageBox box(QMessageBox::Question, QS(title), QS(text), QMessageBox::Ok | QMessageBox::Cancel, m_parent);
  return box.exec() == QMessageBox::Ok;
}

void QtDialogs::Inform(const CString& title, const CString& text, uint32_t style) {
  QMessageBox box(IconOf(style), QS(title), QS(text), QMessageBox::Ok, m_parent);
  RunModal(box);
}

void QtDialogs::ShowMessage(const CString& title, const CString& text, uint32_t style) {
  auto* box = new QMessageBox(IconOf(style), QS(title), QS(text), QMessageBox::Ok, m_parent);
  box->setObjectName("sessionMessage");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box->show();
  box->raise();
  box->activateWindow();
}

bool QtDialogs::OnlineOptions(ConnectParams& params, const std::function<bool(ConnectParams&)>& accept) {
  CheckedDialog d(m_parent);
  d.setObjectName("onlineOptions");
  d.setWindowTitle(QStringLiteral("On-line Options"));
  auto* form = new QFormLayout;
  auto* server = new QLineEdit(QS(params.server));
  server->setObjectName("server");
  auto* port = new QSpinBox;
  port->setObjectName("port");
  port->setRange(1, 65535);
  port->setValue(params.port);
  auto* user = new QLineEdit(QS(params.user));
  user->setObjectName("user");
  auto* password = new QLineEdit(QS(params.password));
  password->setObjectName("password");
  password->setEchoMode(QLineEdit::Password);
  form->addRow(QStringLiteral("&Server:"), server);
  form->addRow(QStringLiteral("P&ort:"), port);
  form->addRow(QStringLiteral("&User name:"), user);
  form->addRow(QStringLiteral("&Password:"), password);
  d.check = [&] {
    ConnectParams p{server->text().toStdString(), static_cast<uint16_t>(port->value()), user->text().toStdString(),
                    password->text().toStdString()};
    if (!accept(p)) return false;
    user->setText(QS(p.user));
    params = p;
    return true;
  };
  auto* layout = new QVBoxLayout(&d);
  layout->addLayout(form);
  // Enter in the password, which has the focus, logs in.
  layout->addWidget(OkCancel(&d, true));
  password->setFocus();
  return RunModal(d) == QDialog::Accepted;
}

namespace {

// The Change Password dialog: OK closes it only once CheckPasswordChange lets it, and otherwise
// says why and puts the focus on the field to mend.
class ChangePasswordDialog : public QDialog {
 public:
  ChangePasswordDialog(bool forced, QtDialogs& dialogs, QWidget* parent)
      : QDialog(parent), m_forced(forced), m_dialogs(dialogs) {
    setObjectName("changePassword");
    setWindowTitle(QStringLiteral("Change Password"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    const char* labels[3] = {"&Old Password:", "&Password:", "&Confirm Password:"};
    const int ids[3] = {1002, 1001, 1024};
    // Made in the order they are shown, so the tab order follows the form.
    for (int i = 0; i < 3; ++i) {
      m_fields[i] = Edit(ids[i], this, true);
      form->addRow(QString::fromLatin1(labels[i]), m_fields[i]);
    }
    layout->addLayout(form);
    // Enter in the last field is the operator's OK; the check below still has the last word.
    layout->addWidget(OkCancel(this, true));
    m_fields[0]->setFocus();
  }
  CString Field(int i) const { return S(m_fields[i]->text()); }

  void accept() override {
    const PasswordCheck check = CheckPasswordChange(m_forced, Field(0), Field(1), Field(2));
    if (check.field == PASSWORD_NONE) {
      QDialog::accept();
      return;
    }
    m_dialogs.Inform(kTitleLookout, check.text, MB_EXCLAMATION);
    QLineEdit* mend = m_fields[check.field];
    mend->setFocus();
    mend->selectAll();
  }

 private:
  bool m_forced;
  QtDialogs& m_dialogs;
  QLineEdit* m_fields[3];
};

}  // namespace

bool QtDialogs::ChangePassword(bool forced, CString* oldPassword, CString* newPassword) {
  ChangePasswordDialog d(forced, *this, m_parent);
  if (RunModal(d) != QDialog::Accepted) return false;
  *oldPassword = d.Field(0);
  *newPassword = d.Field(1);
  return true;
}

bool QtDialogs::WriteMessage(const CString& title, CString* text) {
  CString written;
  SendMessageDialog d(
      SendMessageForm::Writing(title, CString()), [&written](SendMessageForm& form) { written = form.text; }, m_parent);
  if (d.exec() != QDialog::Accepted) return false;
  *text = written;
  return true;
}

void QtDialogs::ShowReceivedMessage(const CString& title, const CString& text, const CString& replyAddress,
                                    const std::function<void(const CString&)>& reply) {
  // Not modal: a message from another console never holds this one.
  auto* d = new SendMessageDialog(
      SendMessageForm::Received(title, text, replyAddress), [reply](SendMessageForm& form) { reply(form.text); },
      m_parent);
  d->setObjectName("receivedMessage");
  d->setAttribute(Qt::WA_DeleteOnClose);
  d->show();
  d->Announce();
}

bool QtDialogs::ConfirmationOptions(ConsoleWarnings& w) {
  ConfirmationOptionsDialog d(w, m_parent);
  return d.exec() == QDialog::Accepted;
}

void QtDialogs::MachineProperties(const CMachineRecord& m) {
  QDialog d(m_parent);
  d.setObjectName("machineProperties");
  d.setWindowTitle(QS(m.Address));
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Machine name:"), new QLabel(QS(m.ComputerName)));
  form->addRow(QStringLiteral("Address:"), new QLabel(QS(m.Address)));
  form->addRow(QStringLiteral("Hardware address:"), new QLabel(QS(m.HardwareAddress)));
  form->addRow(QStringLiteral("User state:"), new QLabel(QS(UserStateText(m.SecurityLevel))));
  form->addRow(QStringLiteral("First seen:"), new QLabel(QS(FirstSeenText(static_cast<time_t>(m.Created)))));
  form->addRow(QStringLiteral("User name:"), new QLabel(QS(m.UserName)));
  auto* close = new QPushButton(QStringLiteral("Close"), &d);
  close->setObjectName("IDCANCEL");
  close->setDefault(true);
  QObject::connect(close, &QPushButton::clicked, &d, &QDialog::reject);
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(close);
  auto* layout = new QVBoxLayout(&d);
  layout->addLayout(form);
  layout->addLayout(row);
  RunModal(d);
}

void QtDialogs::About() {
  QMessageBox::about(m_parent, QStringLiteral("About Lookout"),
                     QStringLiteral("Nomra Lookout\nThe Trellis administration console, version 2.1"));
}

bool QtDialogs::OpenHelp() {
  // The help page sits next to the program (the build copies it there).
  const QString file = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("lookout-help.html"));
  if (!QFileInfo::exists(file)) return false;
  return QDesktopServices::openUrl(QUrl::fromLocalFile(file));
}
