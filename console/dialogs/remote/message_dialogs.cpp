#include "console/dialogs/remote/message_dialogs.h"

#include "console/model/lookout_client.h"
#include "engine/remote/rc_codes.h"

SendMessageForm SendMessageForm::Received(const CString& title, const CString& text, const CString& replyAddress) {
  SendMessageForm f;
  f.m_mode = READING;
  f.m_title = title;
  f.m_address = replyAddress;
  f.text = text;
  // A title of another form names nobody we could cut out: the reply then names the address.
  const CString prefix = kMessageFromPrefix;
  f.m_who = title.compare(0, prefix.size(), prefix) == 0 ? title.substr(prefix.size()) : replyAddress;
  return f;
}

SendMessageForm SendMessageForm::ToUser(const CString& user, const CString& address) {
  SendMessageForm f;
  f.m_mode = WRITING;
  f.m_who = user + " on " + address;
  f.m_title = "Message to " + f.m_who;
  f.m_address = address;
  return f;
}

SendMessageForm SendMessageForm::Writing(const CString& title, const CString& address) {
  SendMessageForm f;
  f.m_mode = WRITING;
  f.m_title = title;
  f.m_address = address;
  f.m_who = address;
  return f;
}

ControlStates SendMessageForm::States() const {
  // Read-only is shown as "disabled for typing"; the text stays selectable.
  return {{TEXT, {m_mode == WRITING, true, std::nullopt}}};
}

bool SendMessageForm::ToWriting() {
  if (m_mode != READING) return false;
  m_mode = WRITING;
  m_title = "Reply to " + m_who;
  return true;
}

uint64_t SendMessageForm::Send(CLookoutClient& client) {
  m_sent = client.Request(RC_REQ_SEND_MESSAGE, m_address, text);
  return m_sent;
}

bool SendMessageForm::PressButtonOne(CLookoutClient& client) {
  if (ToWriting()) return false;
  Send(client);
  return true;
}

namespace {
int IndexOf(int id) {
  for (int i = 0; i < 4; ++i)
    if (ConfirmationOptionsForm::kIds[i] == id) return i;
  return -1;
}
}  // namespace

const char* ConfirmationOptionsForm::Text(int id) {
  switch (id) {
    case BIND_EXTERNAL: return "Confirm binding a service to an &outside interface";
    case DELETE_USER_GROUP: return "Confirm deleting a &user or group";
    case DELETE_SERVICE: return "Confirm deleting a &service";
    case DELETE_SESSION: return "Confirm &terminating a machine or session";
    default: return "";
  }
}

void ConfirmationOptionsForm::Load(const ConsoleWarnings& w) {
  m_checked[0] = w.BindExternal != 0;
  m_checked[1] = w.DeleteUserGroup != 0;
  m_checked[2] = w.DeleteService != 0;
  m_checked[3] = w.DeleteSession != 0;
}

void ConfirmationOptionsForm::Apply(ConsoleWarnings& w) const {
  w.BindExternal = m_checked[0] ? 1 : 0;
  w.DeleteUserGroup = m_checked[1] ? 1 : 0;
  w.DeleteService = m_checked[2] ? 1 : 0;
  w.DeleteSession = m_checked[3] ? 1 : 0;
}

bool ConfirmationOptionsForm::Checked(int id) const {
  const int i = IndexOf(id);
  return i >= 0 && m_checked[i];
}

void ConfirmationOptionsForm::SetChecked(int id, bool on) {
  const int i = IndexOf(id);
  if (i >= 0) m_checked[i] = on;
}
