#pragma once
// One client connection of the SOCKS server: SOCKS 4 and 4a, SOCKS 5 with no authentication or a
// user name and password (RFC 1929) checked against the user database, and the commands CONNECT,
// BIND and (SOCKS 5) UDP ASSOCIATE.
//
// Every message is collected until it is whole (a client may send it in pieces or pipeline the
// next one behind it), bounded by socks::kMaxMessage and by the session's request deadline; a
// message that breaks its form ends the session. Every outcome the client waits for gets its reply:
// a refusal, a failed connect (mapped from the socket error), an unsupported command or address
// type. A client chooses its destination, so it is judged after name resolution
// (CTwoEndTCPSession::JudgeDestination): the gateway's own services and, for clients elsewhere,
// its loopback are refused with code 2 (SOCKS 4: 91).
//
// After CONNECT and BIND the two connections go to the two-end relay. UDP ASSOCIATE opens two
// datagram sockets on any free port: one the client sends to (on the address it reached the
// gateway at), one toward the servers. Only datagrams from the control connection's client address
// (and, once known or when the request named it, its port) are relayed, fragments are dropped,
// and only datagrams from destinations the client has sent to come back, so the gateway is never
// an open relay. The association ends with the control connection.
//
// Threads: everything runs on the session's own thread; the BIND listener and the datagram
// sockets are created there, so their events arrive on its queue next to the client socket's.
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/proxy/common/two_end_session.h"
#include "engine/proxy/socks/socks_protocol.h"
#include "engine/proxy/socks/socks_settings.h"

class CSOCKSSession : public CTwoEndTCPSession {
  TL_DECLARE_DYNAMIC(CSOCKSSession)

 public:
  // Destinations a UDP association remembers for the way back; further ones are not relayed.
  static constexpr size_t kMaxUDPPeers = 256;

  CSOCKSSession(std::shared_ptr<CService> service, int acceptedHandle);
  ~CSOCKSSession() override;

  void SetSOCKSOptions(const CSOCKSOptions& options) { m_options = options; }
  // The SOCKS server connects directly: an upstream proxy would carry only CONNECT.
  void UseServiceConnectSettings(const CTCPService&) override {}

  // 1 while the client may still log in with RFC 1929 (the service offers it, the client has not
  // shown itself a SOCKS 4 one, no login yet), so the rights check lets it on to its own login.
  uint32_t GetAuthenticatedLevel() const override;
  // The failure reply of the phase the session is in.
  void SendAccessDenied() override;
  // 22 the SOCKS version, 23 the command, 24 the SOCKS 5 address type; the rest as the two-end
  // session.
  void GetProperty(uint32_t code, CTLDataObject& value) const override;
  bool InvolvesHost(const CString& text) const override;

  // A UDP association's datagrams count with the connection's bytes: the user's accounting and the
  // traffic lines see all that went through the session.
  uint64_t GetClientBytesSent() const override {
    return CTwoEndTCPSession::GetClientBytesSent() + m_udpClient.GetBytesSent();
  }
  uint64_t GetClientBytesReceived() const override {
    return CTwoEndTCPSession::GetClientBytesReceived() + m_udpClient.GetBytesReceived();
  }
  uint64_t GetServerBytesSent() const override {
    return CTwoEndTCPSession::GetServerBytesSent() + m_udpServer.GetBytesSent();
  }
  uint64_t GetServerBytesReceived() const override {
    return CTwoEndTCPSession::GetServerBytesReceived() + m_udpServer.GetBytesReceived();
  }

 protected:
  void OnMessage(platform::Message& msg) override;
  void OnRead(platform::Message& msg) override;
  void OnAccept(platform::Message& msg) override;
  void OnClose(platform::Message& msg) override;
  void OnEnd() override;

 private:
  enum class Phase { Version, Methods, Login, Request5, Bound, Associated, FirstData, Relaying, Done };

  // A SOCKS 4 request whose fixed part has come waits this long for the end of its user id (and a
  // SOCKS 4a host name); then the session says so and ends kSOCKS4EndDelayMs later. A client that
  // never ends its request holds nothing for the whole session time-out.
  static constexpr uint32_t kSOCKS4WaitMs = 1000;
  static constexpr uint32_t kSOCKS4EndDelayMs = 500;
  enum : uintptr_t { kSOCKS4WaitTimer = 1, kSOCKS4EndTimer = 2 };
  void OnSOCKS4Incomplete();

  void ReadClient();
  // Works through the whole messages collected so far.
  void Process();
  void OnMethods();
  void OnLogin();
  void OnRequest(const socks::Request& request);
  void DoConnect();
  // CONNECT to one of the gateway's own services: true when it has been answered (handed over or
  // refused) and the session is ending.
  bool ConnectToOwnService();
  // The first client bytes after a CONNECT to port 80 or 8080: a web request goes to a WWW session,
  // anything else to the relay.
  void OnFirstData();
  void HandOverWebRequest();
  // Hands the client connection to a new session of service, prepared by the service and then by
  // prepare; true when its thread runs (this session then ends).
  bool HandOverClient(const std::shared_ptr<CTCPService>& service, const std::shared_ptr<CTCPSession>& made);
  // The success reply with the address the client reached the gateway at and the target port.
  void SendGrantedLocally();
  void DoBind();
  void DoAssociate();
  void OnUDPFromClient();
  void OnUDPFromServer();
  // Ends the session after a message that breaks its form.
  void Malformed(const char* why);
  // The version's failure reply (code is the SOCKS 5 one; SOCKS 4 always sends 91); sending is
  // best effort: the client may have gone.
  void SendFailure(uint8_t code);
  void SendBytes(const std::string& bytes);
  // The target as the description shows it: the name, the dotted address, or with reverse lookups
  // the address's name when it has one.
  CString TargetDisplay() const;
  // The request is allowed at the request stage; otherwise it has been refused and the session is
  // ending.
  bool RequestAllowed();
  // The address of this machine's interface toward the target (the route's source), for the BIND
  // reply; false when there is none.
  bool InterfaceAddressToward(uint32_t target, uint32_t* out) const;
  // The target's address as looked up when it was named; false when it is not known.
  bool TargetAddress(uint32_t* out) const;

  CSOCKSOptions m_options;
  Phase m_phase = Phase::Version;
  std::string m_in;
  uint8_t m_version = 0;
  uint8_t m_command = 0;
  uint8_t m_addressType = 0;
  CString m_target;  // the host text: dotted address or name
  uint32_t m_targetAddress = 0;
  uint16_t m_targetPort = 0;
  CString m_userId;
  bool m_loggedIn = false;
  bool m_socks4Waiting = false;  // the wait for the end of a SOCKS 4 request runs
  socks::Methods m_methods;

  // BIND.
  X1Socket m_bindListener;
  CString m_boundPeer;

  // UDP ASSOCIATE.
  X1Socket m_udpClient;
  X1Socket m_udpServer;
  CString m_udpClientAddress;
  uint16_t m_udpClientPort = 0;  // 0 until the first datagram or the request names it
  std::set<std::pair<uint32_t, uint16_t>> m_udpPeers;
  std::vector<uint8_t> m_datagram;
};
