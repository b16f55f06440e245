#pragma once
// The RealAudio relay: a player connects to the gateway's port and sends header records naming
// the server, its port and whether it wants TCP delivery; the session connects to the server,
// answers with a status record and relays the control connection. With UDP delivery the player's
// control messages 1 and 7 carry its data and robust-UDP ports: the relay puts the ports of two
// datagram sockets of its own in their place (and its robust port in the server's "O",8,7
// answer) and forwards the datagrams that reach them.
//
// Byte forms (big-endian):
//   header record, player to relay: length (2, bytes after it), type (1), payload (length - 1)
//     0 connect, 1 hello (version), 2 server name, 3 server port (2), 4 client port offset (2),
//     5 TCP mode (1), 6 player status (text)
//   status record, relay to player: length (2, text + 2), 6, code (0 connected, 1 socket error,
//     2 bad information), text
//   player control: a 5-byte preamble, then messages id (2), payload length (2), payload; id 0 ends
//     them, ids 1 and 7 carry a port in payload bytes 0-1
//   server control: a 9-byte preamble, then one 10-byte message ("O", 8, 7, robust port, 4 bytes)
//
// Sound where the plain reading is not: each direction keeps its own input and parses only whole
// records and messages (the player may send them in pieces or together); a header record longer
// than 256 bytes or of length 0 ends the session with "Bad Info Passed"; a record whose length is
// wrong for its type is consumed and ignored; control payloads are bounded and ids 1 and 7 need
// their port; the server's robust answer is rewritten only when the robust socket exists; the data
// socket takes only the server's datagrams, the robust socket relays the player's to the server
// and the server's to the player's own robust port, and drops the rest; status texts are cut to
// fit their record; the first decision waits for three bytes; a closing server is drained first.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/proxy/common/two_end_session.h"
#include "engine/proxy/streaming/realaudio_settings.h"

namespace realaudio {
inline constexpr size_t kMaxRecord = 256;          // a header record whole, length field included
inline constexpr size_t kMaxControlPayload = 508;  // the message buffer's room for a payload
inline constexpr size_t kMaxStatusText = kMaxRecord - 4;

enum : uint8_t { STATUS_CONNECTED = 0, STATUS_SOCKET_ERROR = 1, STATUS_BAD_INFO = 2 };
inline constexpr const char* kConnectedText = "Connected OK";
inline constexpr const char* kBadInfoText = "Bad Info Passed";

std::string BuildStatusRecord(uint8_t code, const CString& text);

enum class Take { Whole, More, Bad };
// A whole header record from the front of in (moved to out), More, or Bad (length 0 or beyond
// kMaxRecord).
Take TakeRecord(std::string& in, std::string* out);
// A whole control message (header and payload) from the front of in; Bad when the payload is
// longer than kMaxControlPayload, or an id 1 or 7 carries no port.
Take TakeControl(std::string& in, std::string* out);
uint16_t Get16(const std::string& s, size_t offset);
void Put16(std::string& s, size_t offset, uint16_t value);
// The server's 10-byte message accepts robust UDP.
bool AcceptsRobust(const std::string& message);
}  // namespace realaudio

class CRealAudioService final : public TRunningService<CRealAudioServiceSettings, CTCPService> {
 public:
  CRealAudioService();
  ~CRealAudioService() override;

  std::shared_ptr<CTCPSession> CreateSession(int handle) override;
};

class CRealAudioSession : public CTwoEndTCPSession {
  TL_DECLARE_DYNAMIC(CRealAudioSession)

 public:
  CRealAudioSession(std::shared_ptr<CService> service, int acceptedHandle);
  ~CRealAudioSession() override;

  uint64_t GetClientBytesSent() const override;
  uint64_t GetClientBytesReceived() const override;
  uint64_t GetServerBytesSent() const override;
  uint64_t GetServerBytesReceived() const override;

 protected:
  void OnStart() override;
  void OnRead(platform::Message& msg) override;
  void OnClose(platform::Message& msg) override;
  void OnEnd() override;

 private:
  enum State { HEADER = 0, RAW = 1, CONTROL = 2 };

  void ClientRead();
  void ServerRead();
  // Header records until the state changes or the input runs out.
  void ReadPackets();
  // False when the session has ended.
  bool HandleRecord(const std::string& record);
  void ConnectServer();
  void SendStatus(uint8_t code, const CString& text);
  void RelayClientControl();
  void RelayServerControl();
  // Both directions raw: the two-end relay takes over, with what is buffered sent first.
  void MaybeStartRelay();
  uint16_t OpenUDP(X1Socket& socket);
  void DataRead();
  void RobustRead();

  State m_clientState = HEADER;
  State m_serverState = CONTROL;
  bool m_decided = false;  // proxy or non-proxy request
  bool m_tcpMode = false;
  bool m_clientPreamble = false;
  bool m_serverPreamble = false;
  std::string m_clientIn;
  std::string m_serverIn;
  uint32_t m_clientDataPort = 0;
  uint32_t m_clientRobustPort = 0;
  uint32_t m_serverRobustPort = 0;
  CString m_serverAddressText;
  X1Socket m_dataUDP;
  X1Socket m_robustUDP;
  uint8_t m_datagram[2048];
};
