#pragma once
// The Send Message dialog and the Confirmation Options dialog without a toolkit.
//
// Send Message has two modes: reading a message another console's user sent (button 1 "&Reply",
// which turns the same dialog into writing, keeping the text) and writing one (button 1 "&Send",
// request 91 with the address and the text, on-line only; the dialog closes either way). The
// other side's name ("<user> on <address>") is kept as a field, so the reply's title never depends
// on how the received title was cut.
//
// Confirmation Options binds four check boxes to the console's confirmation switches; the
// program saves them to the profile's "Warnings" when it ends.
//
// Threads: the user-interface thread.
#include <cstdint>
#include <optional>

#include "console/dialogs/common/editor.h"
#include "console/model/console_settings.h"

class CLookoutClient;

inline constexpr const char* kMessageFromPrefix = "Message from ";

class SendMessageForm {
 public:
  enum : int { TEXT = 1039, BUTTON = 1, LABEL = 1042 };
  enum Mode : uint32_t { READING = 0, WRITING = 1 };

  // A received message: title "Message from %s on %s" as the session made it, its text, and the
  // address a reply goes to.
  static SendMessageForm Received(const CString& title, const CString& text, const CString& replyAddress);
  // A new message to the user of a machine: "Message to %s on %s".
  static SendMessageForm ToUser(const CString& user, const CString& address);
  // A new message under a title the caller made.
  static SendMessageForm Writing(const CString& title, const CString& address);

  Mode GetMode() const { return m_mode; }
  const CString& Title() const { return m_title; }
  const CString& Address() const { return m_address; }
  CString ButtonText() const { return m_mode == READING ? "&Reply" : "&Send"; }
  CString LabelText() const { return m_mode == READING ? "Message" : "Your Message"; }
  // The text is read-only while reading.
  ControlStates States() const;

  // Button 1. Reading: becomes writing, titled "Reply to <user> on <address>"; returns false
  // (the dialog stays open). Writing: on-line, request 91 (address, text); returns true (the
  // dialog closes, also off-line, then without sending).
  bool PressButtonOne(CLookoutClient& client);
  // The two halves of button 1 for a window that sends through its own path: reading becomes
  // writing (true when it did), and the send itself.
  bool ToWriting();
  uint64_t Send(CLookoutClient& client);
  // The request of the last Send: its id, 0 when nothing was sent (off-line, or not yet sent).
  uint64_t SentRequest() const { return m_sent; }

  CString text;

 private:
  Mode m_mode = WRITING;
  CString m_title, m_address;
  CString m_who;  // "<user> on <address>"
  uint64_t m_sent = 0;
};

// Confirmation Options: check box id -> switch.
class ConfirmationOptionsForm {
 public:
  enum : int { BIND_EXTERNAL = 1348, DELETE_USER_GROUP = 1349, DELETE_SERVICE = 1350, DELETE_SESSION = 1351 };
  static constexpr int kIds[] = {BIND_EXTERNAL, DELETE_USER_GROUP, DELETE_SERVICE, DELETE_SESSION};
  // The check box's text.
  static const char* Text(int id);

  void Load(const ConsoleWarnings& warnings);
  void Apply(ConsoleWarnings& warnings) const;
  bool Checked(int id) const;
  void SetChecked(int id, bool on);

 private:
  bool m_checked[4] = {true, true, true, true};
};
