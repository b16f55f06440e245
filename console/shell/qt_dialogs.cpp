#include "console/shell/qt_dialogs.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
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
#include <QUrl>
#include <QVBoxLayout>

#include "console/shell/console_host.h"
#include "console/shell/console_texts.h"
#include "console/shell/tree_entry.h"

namespace {

QMessageBox::Icon IconOf(uint32_t style) {
  return style == MB_STOP          ? QMessageBox::Critical
         : style == MB_EXCLAMATION ? QMessageBox::Warning
                                   : QMessageBox::Information;
}

// Buttons of a dialog never act on Enter in a field unless they are the dialog's OK.
QDialogButtonBox* Buttons(QDialog* d, QDialogButtonBox::StandardButtons which) {
  auto* box = new QDialogButtonBox(which, d);
  QObject::connect(box, &QDialogButtonBox::rejected, d, &QDialog::reject);
  return box;
}

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
  box.exec();
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
  QDialog d(m_parent);
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
  auto* buttons = Buttons(&d, QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &d, [&] {
    ConnectParams p{server->text().toStdString(), static_cast<uint16_t>(port->value()), user->text().toStdString(),
                    password->text().toStdString()};
    if (!accept(p)) return;
    user->setText(QS(p.user));
    params = p;
    d.accept();
  });
  auto* layout = new QVBoxLayout(&d);
  layout->addLayout(form);
  layout->addWidget(buttons);
  password->setFocus();
  return d.exec() == QDialog::Accepted;
}

bool QtDialogs::ChangePassword(CString* oldPassword, CString* newPassword) {
  QDialog d(m_parent);
  d.setObjectName("changePassword");
  d.setWindowTitle(QStringLiteral("Change Password"));
  auto* form = new QFormLayout;
  QLineEdit* fields[3];
  const char* labels[3] = {"Old Password:", "Password:", "Confirm Password:"};
  const char* names[3] = {"c1002", "c1001", "c1024"};
  for (int i = 0; i < 3; ++i) {
    fields[i] = new QLineEdit;
    fields[i]->setObjectName(names[i]);
    fields[i]->setEchoMode(QLineEdit::Password);
    form->addRow(QString::fromLatin1(labels[i]), fields[i]);
  }
  auto* buttons = Buttons(&d, QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &d, [&] {
    if (fields[1]->text() != fields[2]->text()) {
      Inform(kTitleLookout, "Passwords do not match\n\nMake sure you specify the same\npassword and confirmed password",
             MB_EXCLAMATION);
      return;
    }
    d.accept();
  });
  auto* layout = new QVBoxLayout(&d);
  layout->addLayout(form);
  layout->addWidget(buttons);
  if (d.exec() != QDialog::Accepted) return false;
  *oldPassword = fields[0]->text().toStdString();
  *newPassword = fields[1]->text().toStdString();
  return true;
}

namespace {

// The Send Message dialog: reading a received message (button 1 "&Reply") or writing one (button 1
// "&Send"); Reply turns it into writing in place, keeping the text.
class SendMessageDialog : public QDialog {
 public:
  SendMessageDialog(QWidget* parent, const QString& title, bool reading, const QString& text)
      : QDialog(parent), m_reading(reading) {
    setObjectName("sendMessage");
    setWindowTitle(title);
    m_label = new QLabel(reading ? QStringLiteral("Message") : QStringLiteral("Your Message"));
    m_label->setObjectName("c1042");
    m_edit = new QPlainTextEdit(text);
    m_edit->setObjectName("c1039");
    m_edit->setReadOnly(reading);
    m_button = new QPushButton(reading ? QStringLiteral("&Reply") : QStringLiteral("&Send"));
    m_button->setObjectName("c1");
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName("c2");
    for (QPushButton* b : {m_button, cancel}) b->setAutoDefault(false);
    connect(m_button, &QPushButton::clicked, this, [this] { ButtonOne(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_button);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_edit);
    layout->addLayout(buttons);
    resize(380, 220);
  }
  std::function<void(const QString&)> onSend;
  QString Text() const { return m_edit->toPlainText(); }

 private:
  void ButtonOne() {
    if (m_reading) {
      // "Message from X on Y" becomes "Reply to X on Y".
      setWindowTitle(QStringLiteral("Reply to ") + windowTitle().mid(13));
      m_button->setText(QStringLiteral("&Send"));
      m_label->setText(QStringLiteral("Your Message"));
      m_edit->setReadOnly(false);
      m_reading = false;
      return;
    }
    if (onSend) onSend(Text());
    accept();
  }

  bool m_reading;
  QLabel* m_label;
  QPlainTextEdit* m_edit;
  QPushButton* m_button;
};

}  // namespace

bool QtDialogs::WriteMessage(const CString& title, CString* text) {
  SendMessageDialog d(m_parent, QS(title), false, QString());
  if (d.exec() != QDialog::Accepted) return false;
  *text = d.Text().toStdString();
  return true;
}

void QtDialogs::ShowReceivedMessage(const CString& title, const CString& text, const CString& replyAddress,
                                    const std::function<void(const CString&)>& reply) {
  // Not modal: a message from another console never holds this one.
  auto* d = new SendMessageDialog(m_parent, QS(title), true, QS(text));
  d->setObjectName("receivedMessage");
  d->setAttribute(Qt::WA_DeleteOnClose);
  (void)replyAddress;  // the caller's reply sends to it
  d->onSend = [reply](const QString& answer) { reply(answer.toStdString()); };
  d->show();
  d->raise();
  d->activateWindow();
}

bool QtDialogs::ConfirmationOptions(ConsoleWarnings& w) {
  QDialog d(m_parent);
  d.setObjectName("confirmationOptions");
  d.setWindowTitle(QStringLiteral("Confirmation Options"));
  auto* layout = new QVBoxLayout(&d);
  struct Row {
    const char* id;
    const char* text;
    uint32_t* value;
  } rows[] = {{"c1348", "Confirm binding a service to an &outside interface", &w.BindExternal},
              {"c1349", "Confirm deleting a &user or group", &w.DeleteUserGroup},
              {"c1350", "Confirm deleting a &service", &w.DeleteService},
              {"c1351", "Confirm &terminating a machine or session", &w.DeleteSession}};
  QCheckBox* boxes[4];
  for (int i = 0; i < 4; ++i) {
    boxes[i] = new QCheckBox(QString::fromLatin1(rows[i].text));
    boxes[i]->setObjectName(rows[i].id);
    boxes[i]->setChecked(*rows[i].value != 0);
    layout->addWidget(boxes[i]);
  }
  auto* buttons = Buttons(&d, QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &d, &QDialog::accept);
  layout->addWidget(buttons);
  if (d.exec() != QDialog::Accepted) return false;
  for (int i = 0; i < 4; ++i) *rows[i].value = boxes[i]->isChecked() ? 1 : 0;
  return true;
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
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &d);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
  auto* layout = new QVBoxLayout(&d);
  layout->addLayout(form);
  layout->addWidget(buttons);
  d.exec();
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
