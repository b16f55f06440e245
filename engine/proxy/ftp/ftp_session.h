#pragma once
// One client connection of the FTP gateway. The client names the real server in its log-in
// ("USER user@host[:port]"); the gateway connects there, swallows the server's greeting, logs in
// upstream with the user alone (or "user@host" to an upstream FTP proxy) and from then on relays
// the control dialogue, rewriting what names a data connection so that every data connection runs
// through the gateway:
//   - PORT from the client: the gateway listens toward the server and sends it a PORT naming that
//     listener; when the server connects in, the gateway connects to the client's data port;
//   - 227 from the server: the gateway listens toward the client and answers it a 227 naming that
//     listener; when the client connects in, the gateway connects to the server's passive port.
// Each data connection is relayed both ways (without copying through the process), its half-close
// passed on, and it is closed when both sides have ended.
//
// Sound behaviour where the obvious reading would fail: every command before USER is answered
// ("530 Please login with USER user@host first"); EPSV, EPRT, LPSV and LPRT get "502 Command not
// implemented" (clients then fall back to PASV and PORT, which the gateway rewrites); a PORT must
// name the client's own control address, a 227 is connected at the server's control address
// whatever it names, and a data listener takes only the peer it expects (others are closed);
// control lines are collected with a cap (ftp::kMaxLine) and every whole line is acted on in
// order, in both directions; a second USER after log-in goes upstream without its "@host".
//
// Threads: everything runs on the session's own thread; the data sockets are created there.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/proxy/common/two_end_session.h"
#include "engine/proxy/ftp/ftp_protocol.h"

class CFTPSession : public CTwoEndTCPSession {
  TL_DECLARE_DYNAMIC(CFTPSession)

 public:
  CFTPSession(std::shared_ptr<CService> service, int acceptedHandle);
  ~CFTPSession() override;

  // "500 Trellis Engine Access Denied".
  void SendAccessDenied() override;
  // 20 the upstream user name; the rest as the two-end session.
  void GetProperty(uint32_t code, CTLDataObject& value) const override;

  // The control connections' counts plus the data connections' (a data socket object is used for
  // every transfer of the session and keeps counting across them).
  uint64_t GetClientBytesSent() const override {
    return CTwoEndTCPSession::GetClientBytesSent() + m_dataClient.GetBytesSent();
  }
  uint64_t GetClientBytesReceived() const override {
    return CTwoEndTCPSession::GetClientBytesReceived() + m_dataClient.GetBytesReceived();
  }
  uint64_t GetServerBytesSent() const override {
    return CTwoEndTCPSession::GetServerBytesSent() + m_dataServer.GetBytesSent();
  }
  uint64_t GetServerBytesReceived() const override {
    return CTwoEndTCPSession::GetServerBytesReceived() + m_dataServer.GetBytesReceived();
  }

 protected:
  void OnStart() override;
  void OnRead(platform::Message& msg) override;
  void OnAccept(platform::Message& msg) override;
  void OnClose(platform::Message& msg) override;
  void OnEnd() override;

 private:
  void ReadClient();
  void ReadServer();
  void OnClientLine(const std::string& line);
  void OnServerLine(const std::string& line);
  void HandleUser(const std::string& line);
  void HandlePort(const std::string& line);
  void HandlePassiveReply(const std::string& line);
  // Opens the data listener on localAddress; only expectedPeer may connect, and the other end of
  // the data connection is target:port (toServer: the server's side).
  uint16_t OpenDataListener(const CString& localAddress, const CString& expectedPeer, const CString& target,
                            uint16_t port, bool toServer);
  void PumpData(X1Socket& from, X1Socket& to);
  void EndData(bool clientSide);
  void CloseData();
  void SendClient(const std::string& text);
  void SendServer(const std::string& text);

  ftp::CLineBuffer m_commands;
  ftp::CLineBuffer m_replies;
  bool m_serverConnected = false;
  bool m_greetingDone = false;  // the server's greeting has been swallowed and USER sent
  bool m_throughProxy = false;  // the control connection goes to an upstream FTP proxy
  bool m_portAllowed = true;
  ftp::UserTarget m_target;
  std::vector<std::string> m_held;  // client lines that came before the upstream log-in
  size_t m_heldBytes = 0;
  CString m_upstreamUser;

  X1Socket m_dataListener;
  X1Socket m_dataClient;
  X1Socket m_dataServer;
  CString m_dataExpectedPeer;
  CString m_dataTarget;
  uint16_t m_dataTargetPort = 0;
  bool m_dataTargetIsServer = false;
  bool m_dataClientEnded = false;
  bool m_dataServerEnded = false;
};
