#pragma once
// Two-end sessions: every proxy session that relays between a client and a server.
//
// CTwoEndTCPSession adds the server-side connection to a TCP session and the one operation by
// which every TCP proxy connects onward (ConnectToServer): directly, through an upstream HTTP
// proxy (the protocol then speaks to the proxy), through a SOCKS 4 server, or through an HTTP
// CONNECT tunnel, as the service's connection settings say. Once a protocol has done its own
// exchange it may hand both connections to the relay (StartRelay), which moves bytes both ways
// until both directions have ended; a half-close is passed on, so the other direction stays open
// until it ends too and no reply is lost.
//
// CTwoEndUDPSession adds a server-side datagram socket to a UDP session; its service's thread
// drives it (OpenServerSocket, SetupDestination, ForwardToServer, OnServerRead).
//
// Threads: a TCP two-end session creates its server socket on its own thread, so the server
// socket's events arrive on the session's queue next to the client socket's. Setters of the
// server name, address and port and the connection settings may be called from any thread; the
// sockets belong to the session's thread.
//
// Errors of ConnectToServer are X1SocketException: socket errors with their codes; a failed host
// lookup WSAEINVAL with the operator's "HostnameLookupFailed" text; a refusal or a bad answer of an
// upstream SOCKS 4 server or HTTP proxy code 0 with the operator's texts ("ErrorStrings\\SOCKS"
// "NoResponse" / "AccessDenied", "ErrorStrings\\SSL" "BadResponse"), read at each use; a
// destination the gateway will not connect a client to WSAEACCES (kDestinationRefusedText).
//
// A destination a client chooses is resolved once, judged on the resolved address whatever its
// spelling ("localhost", "127.1", "0", "2130706433" ...), and connected to at exactly that address,
// so a name that answers differently a second time cannot slip past the judgement: the gateway's
// loopback (127.0.0.0/8, 0.0.0.0) is refused to a client that is not on the gateway itself, and a
// service the gateway itself listens with is refused to every client. Operator-chosen destinations
// (a fixed server, an upstream proxy, a mapping) are not judged so, but no connection, whoever
// chose its destination, may lead back into its own service's listener, directly or through the
// engine's other listeners (loop_guard.h): that is refused before connecting (kLoopRefusedText).
//
// The same single lookup serves the rights: a gateway names its server (NameServer) before the
// request-stage rights check, so the server's name, port and address a rule tests are the ones the
// connection uses. An address that could not be looked up then (the link had to be dialled first)
// is looked up after the dial and the rights are asked again before anything is connected.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/core/service.h"
#include "engine/core/session.h"
#include "engine/net/x1_socket.h"
#include "engine/proxy/common/loop_guard.h"

// The code of the exceptions that report a refusal or a bad answer of an upstream proxy.
inline constexpr uint32_t kUpstreamProxyError = 0;

// Registry keys and values of the upstream proxies' error texts, with their built-in defaults
// ("%s" is the host, "%u" the port).
inline constexpr const char* kSOCKSErrorStringsKey = "ErrorStrings\\SOCKS";
inline constexpr const char* kSSLErrorStringsKey = "ErrorStrings\\SSL";
inline constexpr const char* kSOCKSNoResponseDefault = "SOCKS4 connect to %s:%u failed - no response from SOCKS server";
inline constexpr const char* kSOCKSAccessDeniedDefault = "SOCKS4 connect to %s:%u failed - denied by SOCKS server";
inline constexpr const char* kSSLBadResponseDefault =
    "SSLTunnelling connect to %s:%u failed - bad response from HTTP server";

// The operator's text of "ErrorStrings\\<key>" value name, else the default, filled with host and
// port.
CString UpstreamErrorText(const char* key, const char* name, const char* def, const CString& host, uint32_t port);

// Wire helpers of the upstream negotiations (pure; exposed for tests).
namespace twoend {
// At most this many bytes of the SOCKS 4 user id are sent.
inline constexpr size_t kMaxSOCKS4UserId = 80;
// The CONNECT reply's status line and headers together may not exceed this.
inline constexpr size_t kMaxConnectReplyHeader = 8192;
// The whole CONNECT reply header must arrive within this time.
inline constexpr int kConnectReplyTimeoutMs = 30000;
// Time a ping of bypass-proxy-on-local waits.
inline constexpr int kBypassPingTimeoutMs = 2000;

// The SOCKS 4 CONNECT request: 04 01 port(2, network order) address(4, network order) user id
// (cut at 80 bytes and at a NUL) 00. address is host byte order.
std::string BuildSOCKS4Request(uint32_t address, uint16_t port, const CString& userId);
// The outcome of an 8-byte SOCKS 4 reply.
enum class SOCKS4Reply { Granted, Denied, Bad };
SOCKS4Reply ParseSOCKS4Reply(const uint8_t reply[8]);
// True when the status line of a CONNECT reply grants the tunnel: "HTTP/1.0" or "HTTP/1.1"
// (any case) followed by a 2xx status.
bool IsConnectGranted(const CString& statusLine);
// A host text that can go into a request line as it stands: not empty, at most 255 bytes, no
// spaces, control characters or "@/?#".
bool IsSafeHostText(const CString& host);
}  // namespace twoend

// The text of a refused destination (WSAEACCES).
inline constexpr const char* kDestinationRefusedText = "Connection to this gateway refused";
// The text of a request the rights refused once its server's address was known (WSAEACCES); the
// refusal has been answered and the session is ending.
inline constexpr const char* kRefusedByRightsText = "Request refused by the access rights";
// The text of a connection refused because it would come back into its own service (WSAEACCES).
inline constexpr const char* kLoopRefusedText = "Connection would loop back into this gateway";

// Why a client of session may not be connected to (or send to) address:port (host order) over
// transport, or null when it may: one of the gateway's own services of that transport, or the
// gateway's loopback for a client that is not on the gateway itself.
const char* JudgeClientDestination(const CSession& session, uint32_t address, uint32_t port, uint32_t transport);
// Whether a connection of session's service over hops (its first hops: the destination, the
// upstream proxy) would come back into that service through the engine's listeners (loop_guard.h).
// When it would, the service is told (it logs the first one after each start) and the result is
// true: the caller refuses.
bool RefuseRoadBack(const CSession& session, const CString& destination, const std::vector<loopguard::Hop>& hops);

class CTwoEndTCPSession : public CTCPSession {
  TL_DECLARE_DYNAMIC(CTwoEndTCPSession)

 public:
  CTwoEndTCPSession();
  // See CTCPSession: the accepted descriptor is the session's from the call on.
  CTwoEndTCPSession(std::shared_ptr<CService> service, int acceptedHandle);
  ~CTwoEndTCPSession() override;

  // ---- Connection settings (copied from the service before the thread starts) ---------------

  void SetConnectSettings(const CConnectSettings& settings);
  CConnectSettings GetConnectSettings() const;
  void UseServiceConnectSettings(const CTCPService& service) override;

  // ---- The server -------------------------------------------------------------------------

  // The server address "none known": request variable 34 then reads "255.255.255.255", and rules
  // on it are skipped.
  static constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

  // Names the server a request asks for, before its request-stage rights check: the host as the
  // resolver reads it (NormalizeHostName; returned, and the caller goes on with that spelling), the
  // port and, when this session reaches the server by its address (directly, through a SOCKS 4
  // server, or to ping it for bypass-proxy-on-local; or byAddress), the address, looked up once
  // (a dotted host is its address whatever the way). The connection later goes to exactly that
  // address. While a lookup would have to wait for the dialer, or when it fails, the address stays
  // kNoAddress. An empty return: the host names nothing.
  CString NameServer(const CString& host, uint32_t port, bool byAddress = false);
  // Whether this session's way out needs the server's address.
  bool ReachesServerByAddress() const;

  // Set by the protocol (ConnectToServer(host, port) sets them too). address: host byte order; a
  // new name forgets the address of the old one.
  void SetServerName(const CString& name);
  void SetServerAddress(uint32_t address);
  void SetServerPort(uint32_t port);
  CString GetServerName() const;
  uint32_t GetServerAddress() const;
  uint32_t GetServerPort() const;

  X1Socket& GetServerSocket() { return m_serverSocket; }

  // Connects the given (created, stream) socket to host:port: bound to the session's outgoing
  // interface when its method is not 0, then directly (method 0), to the upstream HTTP proxy
  // (method 1: the protocol then talks to the proxy), through a SOCKS 4 server (2) or an HTTP
  // CONNECT tunnel (4). With bypass-proxy-on-local, a host that answers one ICMP echo is reached
  // directly. An enciphered link on the socket is run over the finished tunnel (never with the
  // proxy itself); method 1 cannot carry one and is refused (WSAEINVAL). Other method values are
  // refused too (WSAEINVAL): connecting directly where the operator configured something else
  // would go around the operator's upstream. Throws X1SocketException.
  enum class Destination { ClientChosen, OperatorChosen };
  virtual void ConnectToServer(X1Socket& socket, const CString& host, uint32_t port,
                               Destination who = Destination::ClientChosen);

  // The usual path: names the server unless NameServer already named this host and port, holds the
  // idle check while the dialer connects, looks up (ResolveNamedServer) an address still missing
  // that the way out needs, (re)creates the session's server socket and ConnectToServer(server
  // socket, host, port) to the named address, then records the peer's address when connected
  // directly and the server-side local address. A refusal by the rights asked again throws
  // WSAEACCES (kRefusedByRightsText) with the session already ending.
  void ConnectToServer(const CString& host, uint32_t port, Destination who = Destination::ClientChosen);

  // Why a client may not be connected to address:port (host byte order), or null when it may
  // (JudgeClientDestination; a SOCKS association judges datagrams with transport UDP).
  const char* JudgeDestination(uint32_t address, uint32_t port, uint32_t transport = SERVICE_TRANSPORT_TCP) const;

  // ---- Relay --------------------------------------------------------------------------------

  // From now on the events of both sockets go to the relay (not to OnRead / OnClose), which sends
  // every byte received on one side to the other. prefixToServer / prefixToClient are sent first
  // (bytes the protocol has already read past its own exchange). When one side ends its sending,
  // the other side's sending is shut down and the other direction goes on; when both have ended
  // (or a send fails) OnRelayEnded runs. Must be called on the session's thread with both sockets
  // connected. Throws X1SocketException when a prefix cannot be sent.
  void StartRelay(const std::string& prefixToServer = std::string(), const std::string& prefixToClient = std::string());
  bool IsRelaying() const { return m_relaying.load(); }
  // The client has ended its sending (its end was passed on to the server), and the other way.
  bool ClientEnded() const { return m_clientEnded.load(); }
  bool ServerEnded() const { return m_serverEnded.load(); }

  // ---- Counters and request variables --------------------------------------------------------

  uint64_t GetServerBytesSent() const override { return m_serverSocket.GetBytesSent(); }
  uint64_t GetServerBytesReceived() const override { return m_serverSocket.GetBytesReceived(); }
  // Codes 2 (server name), 3 (server port), 34 (server address, dotted); the rest as the base.
  void GetProperty(uint32_t code, CTLDataObject& value) const override;
  // The client connection's local address, or the server connection's.
  bool IsOwnAddress(const CString& text) const override;
  bool InvolvesHost(const CString& text) const override;

 protected:
  void OnMessage(platform::Message& msg) override;
  // A gateway that has read its client's log-in names the request with it (the session's
  // description, told to the consoles), then asks the rights at the request stage: a refusal is
  // answered, audited, logged and ends the session (false); a grant is audited and logged as the
  // request (true).
  bool AnnounceRequest(const CString& description);
  // Both directions of the relay have ended or it failed (failed: a send or receive threw; the
  // reason is logged). The base ends the session with exit code 0.
  virtual void OnRelayEnded(bool failed);
  // After the dial: the named server's address, when the way out needs it and it is not known yet,
  // looked up now (a failure throws the lookup's X1SocketException) and judged: the request-stage
  // rights are asked again, and a refusal is answered, audited and logged and ends the session
  // (false).
  bool ResolveNamedServer();
  void OnEnd() override;
  // Binds a created socket to the session's outgoing interface address (when its method is not
  // "any" and the interface has an address now), as every connection toward a server is: a second
  // connection to the same server (an FTP data connection) must come from the same address.
  void BindOutgoing(X1Socket& socket);

  X1Socket m_serverSocket;

 private:
  // One relay event of either socket; false when the message is no current event of either.
  bool RelayEvent(platform::Message& msg);
  // Moves what is waiting on one direction's source to its destination without ever waiting for
  // room: what the destination cannot take is held until its FD_WRITE, and meanwhile the source is
  // not read (its sender is slowed by its own connection). Bounded per event while the source is
  // open; after its end, until it is drained (no read event follows an end), then the end is
  // passed on. clientSide: the direction from the client to the server.
  void Pump(bool clientSide);
  // Room again on a destination: what was held goes out first, then the direction goes on.
  void Resume(bool clientSide);
  // Which events each socket needs now (reads until its end, room while something is held for it).
  void SelectEvents();
  void EndDirection(bool clientSide);
  void RelayFailed(const char* what);

  void ConnectSOCKS4(X1Socket& socket, const CString& host, uint32_t address, uint32_t port,
                     const CConnectSettings& cs);
  // The destination's address, looked up once (dotted text as it stands): the named server's when
  // host is its name and its address is known, else a lookup that throws when it fails.
  uint32_t ResolveDestination(const CString& host) const;
  // Names host and port as they are, with the address of a dotted host, else the looked-up one
  // (lookUp) or none yet.
  void NameServerAs(const CString& host, uint32_t port, bool lookUp);
  void ConnectTunnel(X1Socket& socket, const CString& host, uint32_t port, const CConnectSettings& cs);

  CString m_serverName;
  uint32_t m_serverAddress = kNoAddress;  // the address of m_serverName
  uint32_t m_serverPort = 0;
  CString m_serverLocalAddress;
  CConnectSettings m_connect;
  std::atomic<bool> m_relaying{false};
  std::atomic<bool> m_clientEnded{false};
  std::atomic<bool> m_serverEnded{false};
  bool m_relayDone = false;
  // Per direction (0: client to server, 1: server to client): bytes the destination had no room
  // for, and whether the source's end has been seen.
  std::string m_held[2];
  bool m_sourceEnded[2] = {false, false};
};

class CTwoEndUDPSession : public CUDPSession {
  TL_DECLARE_DYNAMIC(CTwoEndUDPSession)

 public:
  CTwoEndUDPSession();
  CTwoEndUDPSession(std::shared_ptr<CService> service, std::weak_ptr<CUDPSessionOwner> owner,
                    const CString& clientAddress, uint32_t clientPort);
  ~CTwoEndUDPSession() override;

  void SetServerName(const CString& name);
  void SetServerAddress(uint32_t address);  // host byte order
  void SetServerPort(uint32_t port);
  CString GetServerName() const;
  uint32_t GetServerAddress() const;
  uint32_t GetServerPort() const;

  // Creates the server-side datagram socket, bound (any port) to the outgoing interface when the
  // interface method is not 0, else to any address, and selects read events. Its events go to the
  // calling thread (the service's). Throws X1SocketException.
  virtual void OpenServerSocket();
  // Chooses the destination (server address and port); false in the base.
  virtual bool SetupDestination() { return false; }
  // A destination a client named: why it may not be sent to (JudgeClientDestination with UDP), or
  // null. Refused, the session's log gets the failed-authorisation line.
  const char* JudgeDestination(uint32_t address, uint32_t port) const;
  bool RefuseClientDestination(uint32_t address, uint32_t port);
  // An operator's destination (a mapping's) that would come back into this service through the
  // engine's datagram listeners: true (the service has been told) when it must be refused.
  bool LoopsBack(const CString& host, uint32_t address, uint32_t port);
  // Sends one client datagram to the server address and port (nothing when either is 0). Counts the
  // client bytes received and the server bytes sent. Throws X1SocketException.
  virtual void ForwardToServer(const void* buffer, size_t length);
  // A datagram waits on the server-side socket; empty in the base.
  virtual void OnServerRead() {}

  X1Socket& GetServerSocket() { return m_serverSocket; }
  // The server-side socket's descriptor (the key the service finds this session by), -1 when none.
  int GetServerHandle() const { return m_serverSocket.GetHandle(); }

  uint64_t GetServerBytesSent() const override { return m_serverSocket.GetBytesSent(); }
  uint64_t GetServerBytesReceived() const override { return m_serverSocket.GetBytesReceived(); }
  void GetProperty(uint32_t code, CTLDataObject& value) const override;
  void Exit(uint32_t code) override;

 protected:
  X1Socket m_serverSocket;

 private:
  CString m_serverName;
  uint32_t m_serverAddress = 0;
  uint32_t m_serverPort = 0;
};
