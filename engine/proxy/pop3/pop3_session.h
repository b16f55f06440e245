#pragma once
// One client connection of the POP3 gateway. Before a server exists only "USER user#host[:port]"
// is taken (the delimiter is the service's; other commands get "-ERR unrecognised command");
// the gateway connects there, swallows the server's greeting, sends "USER user" (to an upstream
// proxy "USER user#host[:port]"), and from then on relays the dialogue both ways unchanged, the
// server's answer to USER first. What the client sent behind its USER (a pipelined PASS) is held
// and follows the upstream USER, in order. Lines read before the relay are bounded
// (pop3::kMaxLine); a longer one is answered "-ERR" and ends the session.
//
// Threads: everything runs on the session's own thread.
#include <cstdint>
#include <string>

#include "engine/proxy/common/two_end_session.h"
#include "engine/proxy/pop3/pop3_protocol.h"

class CPOP3Session : public CTwoEndTCPSession {
  TL_DECLARE_DYNAMIC(CPOP3Session)

 public:
  CPOP3Session(std::shared_ptr<CService> service, int acceptedHandle);
  ~CPOP3Session() override;

  void SetDelimiter(uint32_t value) { m_delimiter = pop3::DelimiterFrom(value); }

  // "-ERR Access Denied".
  void SendAccessDenied() override;
  // 19 the user name for the server; the rest as the two-end session.
  void GetProperty(uint32_t code, CTLDataObject& value) const override;

 protected:
  void OnStart() override;
  void OnRead(platform::Message& msg) override;
  void OnClose(platform::Message& msg) override;

 private:
  void ReadClient();
  void ReadServer();
  void HandleUser(const std::string& argument);
  void SendClient(const std::string& text);

  char m_delimiter = '#';
  std::string m_clientBuffer;
  std::string m_serverBuffer;
  bool m_connected = false;
  bool m_throughProxy = false;
  pop3::UserTarget m_target;
  CString m_userName;
};
