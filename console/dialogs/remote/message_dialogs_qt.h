#pragma once
// The Qt windows of the Send Message and Confirmation Options dialogs (logic in
// message_dialogs.h). Each control's object name is its id.
//
// A received message opens without holding the console (not modal, on the GUI thread): it beeps,
// brings the console's window forward and takes the focus, and leaves the window's "Always on
// top" state as it was.
#include <QDialog>
#include <functional>

#include "console/dialogs/remote/message_dialogs.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

class SendMessageDialog : public QDialog {
  Q_OBJECT

 public:
  // send: what Send does with the finished form (the program: request 91 through its client).
  SendMessageDialog(SendMessageForm form, std::function<void(SendMessageForm&)> send, QWidget* parent = nullptr);
  SendMessageForm& Form() { return m_form; }
  // A received message: beep, owner forward, this window active.
  void Announce();

 private:
  void ButtonOne();
  void Show();

  SendMessageForm m_form;
  std::function<void(SendMessageForm&)> m_send;
  QLabel* m_label;
  QPlainTextEdit* m_edit;
  QPushButton* m_button;
};

class ConfirmationOptionsDialog : public QDialog {
  Q_OBJECT

 public:
  ConfirmationOptionsDialog(ConsoleWarnings& warnings, QWidget* parent = nullptr);
  void accept() override;

 private:
  ConsoleWarnings& m_warnings;
  ConfirmationOptionsForm m_form;
  QCheckBox* m_boxes[4];
};
