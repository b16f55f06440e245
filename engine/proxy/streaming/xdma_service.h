#pragma once
// The XDMA relay: players on the inside send their stream datagrams to the gateway's port; the
// first datagram of a player address and port names the real server (address at offset 4, port at
// offset 8 after the port rule below). One CXDMASession per player sends the player's datagrams
// to that server from a socket of its own, with flag bit 0 of byte 1 set and that socket's port
// written at offset 8, and sends the server's datagrams back to the player unchanged.
//
// Datagram fields the relay reads or writes (network byte order; other bytes pass unchanged):
//   0 kind ("X" names a stream, "R" is the player's last), 1 flags, 4-7 server address,
//   8-9 port, 52.. stream name up to a zero byte (kind "X").
//
// Sound where the plain reading is not: datagrams shorter than 10 bytes are dropped (their fields
// would come from an earlier datagram); the stream name is read only within the datagram and
// counts as absent without its zero byte; the server-side socket is connected to the server, so
// no other sender reaches the player; a session whose setup fails ends at once; the server a player
// names is judged as every client-chosen destination before the socket is connected to it (the
// gateway's loopback and its own datagram services are refused, with the failed-authorisation
// line).
#include <cstdint>
#include <memory>

#include "engine/core/udp_service.h"
#include "engine/proxy/common/two_end_session.h"
#include "engine/proxy/streaming/xdma_settings.h"

namespace xdma {
inline constexpr size_t kMinDatagram = 10;
inline constexpr size_t kStreamNameOffset = 52;
inline constexpr uint8_t kKindStream = 'X';
inline constexpr uint8_t kKindLast = 'R';

// The port rule: the port as decimal text loses a last "4" (8004 -> 800, 4 -> 0, 8000 stays).
uint32_t ServerPort(uint16_t written);

// What a player's first datagram names. False for a datagram too short to carry it.
struct FirstDatagram {
  uint8_t kind = 0;
  uint32_t address = 0;  // host order
  uint32_t port = 0;     // after the port rule
  CString stream;        // empty when there is none within the datagram
};
bool ParseFirst(const uint8_t* data, size_t length, FirstDatagram* out);

// Sets flag bit 0 and writes port (host order) at offset 8; false (unchanged) when too short.
bool MarkForServer(uint8_t* data, size_t length, uint16_t port);
}  // namespace xdma

class CXDMAService final : public TRunningService<CXDMAServiceSettings, CTwoEndUDPService> {
 public:
  CXDMAService();
  ~CXDMAService() override;

  std::shared_ptr<CTwoEndUDPSession> CreateSession(int listenerHandle) override;
};

class CXDMASession : public CTwoEndUDPSession {
  TL_DECLARE_DYNAMIC(CXDMASession)

 public:
  explicit CXDMASession(std::shared_ptr<CUDPService> service);
  ~CXDMASession() override;

  bool SetupDestination() override;
  void ForwardToServer(const void* buffer, size_t length) override;
  void OnServerRead() override;

 private:
  bool Setup();

  uint16_t m_serverSidePort = 0;
  uint8_t m_buffer[CTwoEndUDPService::kReceiveBufferSize];
};
