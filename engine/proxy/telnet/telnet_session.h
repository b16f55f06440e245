#pragma once
// One client connection of the Telnet gateway: a small front end run by the gateway itself (option
// negotiation, a character-at-a-time line editor with echo, an optional log-in against the user
// database, a prompt for the host), then a relay to the chosen host.
//
// The front end keeps the option parser's state across reads (a sequence may be split anywhere),
// skips sub-negotiations, takes IAC IAC as the data byte 255, answers each option once as RFC 854
// asks (an unknown DO gets WONT, an unknown WILL gets DONT), takes DEL (127) like backspace (most
// terminals send it), and caps the typed line (kMaxLine; further bytes are dropped unechoed).
//
// Once connected the relay is transparent both ways, so the remote host and the client negotiate
// their options between themselves from then on; toward a port other than 23 (a raw TCP service)
// every NUL the client sends becomes a line feed. A half-close is passed on.
//
// Threads: everything runs on the session's own thread.
#include <cstdint>
#include <string>

#include "engine/proxy/common/two_end_session.h"
#include "engine/proxy/telnet/telnet_protocol.h"
#include "engine/proxy/telnet/telnet_settings.h"

class CTelnetSession : public CTwoEndTCPSession {
  TL_DECLARE_DYNAMIC(CTelnetSession)

 public:
  static constexpr size_t kMaxLine = 1024;

  CTelnetSession(std::shared_ptr<CService> service, int acceptedHandle);
  ~CTelnetSession() override;

  void SetTelnetOptions(const CTelnetOptions& options);

  // 1 while the client may still log in at the gateway.
  uint32_t GetAuthenticatedLevel() const override { return m_loginPending ? 1 : 0; }
  // "Access Denied".
  void SendAccessDenied() override;

 protected:
  void OnStart() override;
  void OnRead(platform::Message& msg) override;
  void OnClose(platform::Message& msg) override;

 private:
  enum class State { User, Password, Host, Connected };

  void FrontEnd();
  void OnLine();
  void Login();
  void ProcessConnectRequest(const std::string& line);
  void Send(const std::string& text);
  void ShowPrompt();
  // Relay: what is waiting on the client goes to the server (NUL as LF toward a port other than 23).
  void ClientToServer();
  void EndDirection(bool clientSide);

  CTelnetOptions m_options;
  bool m_loginPending = false;
  State m_state = State::Host;
  telnet::CParser m_parser;
  uint64_t m_answered[4] = {0, 0, 0, 0};
  std::string m_line;
  CString m_user;
  uint16_t m_port = 23;
  bool m_clientEnded = false;
  bool m_serverEnded = false;
};
