#include "console/dialogs/remote/message_dialogs_qt.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"

SendMessageDialog::SendMessageDialog(SendMessageForm form, std::function<void(SendMessageForm&)> send, QWidget* parent)
    : QDialog(parent), m_form(std::move(form)), m_send(std::move(send)) {
  setObjectName("sendMessage");
  m_label = Named(new QLabel(this), SendMessageForm::LABEL);
  m_edit = Named(new QPlainTextEdit(Q(m_form.text), this), SendMessageForm::TEXT);
  m_button = Named(new QPushButton(this), SendMessageForm::BUTTON);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName("c2");
  // Enter belongs to the text (a message has lines); only the buttons send or close.
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
  Show();
}

void SendMessageDialog::Show() {
  setWindowTitle(Q(m_form.Title()));
  m_button->setText(Q(m_form.ButtonText()));
  m_label->setText(Q(m_form.LabelText()));
  m_edit->setReadOnly(!m_form.States().at(SendMessageForm::TEXT).enabled);
}

void SendMessageDialog::Announce() {
  QApplication::beep();
  // Forward without touching the owner's window flags: its "Always on top" state stays as the
  // operator set it.
  if (QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr) {
    owner->raise();
    owner->activateWindow();
  }
  raise();
  activateWindow();
}

void SendMessageDialog::ButtonOne() {
  if (m_form.ToWriting()) {
    Show();
    m_edit->setFocus();
    return;
  }
  m_form.text = m_edit->toPlainText().toStdString();
  if (m_send) m_send(m_form);
  accept();
}

ConfirmationOptionsDialog::ConfirmationOptionsDialog(ConsoleWarnings& warnings, QWidget* parent)
    : QDialog(parent), m_warnings(warnings) {
  setObjectName("confirmationOptions");
  setWindowTitle(QStringLiteral("Confirmation Options"));
  m_form.Load(warnings);
  auto* layout = new QVBoxLayout(this);
  for (int i = 0; i < 4; ++i) {
    const int id = ConfirmationOptionsForm::kIds[i];
    m_boxes[i] = Named(new QCheckBox(QString::fromLatin1(ConfirmationOptionsForm::Text(id)), this), id);
    m_boxes[i]->setChecked(m_form.Checked(id));
    layout->addWidget(m_boxes[i]);
  }
  layout->addWidget(OkCancel(this, true));
}

void ConfirmationOptionsDialog::accept() {
  for (int i = 0; i < 4; ++i) m_form.SetChecked(ConfirmationOptionsForm::kIds[i], m_boxes[i]->isChecked());
  m_form.Apply(m_warnings);
  QDialog::accept();
}
