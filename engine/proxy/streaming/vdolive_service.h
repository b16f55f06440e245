#pragma once
// The VDOLive relay: a player connects to the gateway's port and sends a request naming the
// server, its port and the file; the session connects to that server, passes the player's control
// messages on with the player's media port replaced by the port of a datagram socket of its own
// (the server media socket), and after the hello relays both connections raw. The server's media
// datagrams reach the server media socket and go to the player's media address through a second
// datagram socket (the client media socket); the player's go the other way.
//
// Client messages (numbers 32-bit big-endian): length (bytes after this field), type, body.
// Texts: a 32-bit length, the bytes, padding to a multiple of 4; a text ends at its first zero.
//   32 proxy request: server port at 8, server host (text) at 12, file (text) after it
//    6 media set-up: stream name (text) at 8, two 32-bit fields, the player's media port
//      at 20 + name length + padding (a first type 6 is a non-proxy request)
//    1 hello: "VDO Live" at 8, the player's media port at 16
//
// Sound where the plain reading is not: a message is taken only when whole (the player may send
// it in pieces), and one whose length field exceeds the 2048-byte buffer, or whose texts or port
// lie outside it, ends the session; the hello is rewritten only when it holds its port; the
// server media socket takes its first datagram only from the server's address, is bound to the
// outgoing interface (the client media socket, which talks to the player, never is); datagrams
// are read whole into 2048 bytes (longer ones are dropped, never cut); player datagrams before
// the server's first are dropped; the side that closes is drained before the session ends.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/proxy/common/two_end_session.h"
#include "engine/proxy/streaming/vdolive_settings.h"

namespace vdolive {
inline constexpr size_t kMaxMessage = 2048;  // length field included
inline constexpr uint32_t kTypeHello = 1;
inline constexpr uint32_t kTypeMedia = 6;
inline constexpr uint32_t kTypeRequest = 32;

uint32_t Get32(const std::string& m, size_t offset);
void Put32(std::string& m, size_t offset, uint32_t value);

enum class Take { Whole, More, Bad };
// Moves the first whole message of in into out; More when it is not whole yet; Bad when its
// length cannot be a message (under 4, or beyond kMaxMessage).
Take TakeMessage(std::string& in, std::string* out);
uint32_t TypeOf(const std::string& message);  // the message must be whole

// The text at offset: its bytes up to the first zero, and where the next field starts. False when
// the text does not lie within the message.
bool ReadText(const std::string& m, size_t offset, CString* text, size_t* next);

struct Request {
  uint32_t port = 0;
  CString host;
  CString file;
};
bool ParseRequest(const std::string& m, Request* out);
// The offset of a type-6 message's media port; false when it lies outside the message.
bool MediaPortOffset(const std::string& m, size_t* offset);
// A hello carrying its port at offset 16.
bool IsHello(const std::string& m);
}  // namespace vdolive

class CVDOLiveService final : public TRunningService<CVDOLiveServiceSettings, CTCPService> {
 public:
  CVDOLiveService();
  ~CVDOLiveService() override;

  std::shared_ptr<CTCPSession> CreateSession(int handle) override;
};

class CVDOLiveSession : public CTwoEndTCPSession {
  TL_DECLARE_DYNAMIC(CVDOLiveSession)

 public:
  CVDOLiveSession(std::shared_ptr<CService> service, int acceptedHandle);
  ~CVDOLiveSession() override;

  void GetProperty(uint32_t code, CTLDataObject& value) const override;
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
  void ReadClient();
  // False when the session has ended.
  bool HandleRequest(std::string& message);
  void HandleControl(std::string& message);
  void OpenClientMediaSocket(std::string& message);
  void ServerMediaRead();
  void ClientMediaRead();

  bool m_requestRead = false;
  bool m_helloPassed = false;
  bool m_serverMediaKnown = false;
  std::string m_input;  // client bytes not yet a whole message
  CString m_file;
  uint32_t m_clientMediaPort = 0;
  X1Socket m_clientMedia;
  X1Socket m_serverMedia;
  uint8_t m_datagram[vdolive::kMaxMessage];
};
