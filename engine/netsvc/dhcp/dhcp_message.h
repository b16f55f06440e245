#pragma once
// BOOTP/DHCP messages as the server reads and writes them (RFC 2131, 2132). Pure code over byte
// buffers, no sockets, so it can be tested and fuzzed alone.
//
// Layout: op(1) htype(1) hlen(1) hops(1) xid(4) secs(2) flags(2) ciaddr(4 @12) yiaddr(4 @16)
// siaddr(4 @20) giaddr(4 @24) chaddr(16 @28) sname(64 @44) file(128 @108) cookie 63 82 53 63
// (@236), options from byte 240: code, length, data; 0 is one byte of padding, 255 ends them.
//
// The writer fills the options area (bytes 240-547, 307 bytes of room before the end byte), then
// overflows into file (option 52 = 1) and sname (52 = 3) as RFC 2131 allows; a reply is sent at its
// own length: at least 300 bytes (the BOOTP minimum), more when the options need it.
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "engine/config/archive.h"

namespace dhcp {

constexpr size_t kFixedSize = 236;
constexpr size_t kOptionsStart = 240;
constexpr size_t kMinRequest = 240;      // fixed part and cookie
constexpr size_t kMaxMessage = 548;      // what every client accepts without option 57
constexpr size_t kMinReply = 300;
constexpr uint16_t kServerPort = 67;
constexpr uint16_t kClientPort = 68;

enum : uint8_t {
  DHCPDISCOVER = 1,
  DHCPOFFER = 2,
  DHCPREQUEST = 3,
  DHCPDECLINE = 4,
  DHCPACK = 5,
  DHCPNAK = 6,
  DHCPRELEASE = 7,
  DHCPINFORM = 8,
};

enum : uint8_t {
  OPT_PAD = 0,
  OPT_SUBNET_MASK = 1,
  OPT_ROUTER = 3,
  OPT_DNS = 6,
  OPT_HOST_NAME = 12,
  OPT_REQUESTED_ADDRESS = 50,
  OPT_LEASE_TIME = 51,
  OPT_OVERLOAD = 52,
  OPT_MESSAGE_TYPE = 53,
  OPT_SERVER_ID = 54,
  OPT_PARAMETER_LIST = 55,
  OPT_END = 255,
};

struct Request {
  uint32_t xid = 0;
  uint32_t ciaddr = 0;  // host order, as are the other addresses
  uint32_t giaddr = 0;
  uint8_t htype = 0;
  uint8_t hlen = 0;
  uint16_t flags = 0;
  CString hardwareAddress;   // "%02X" per chaddr byte of hlen, no separators
  uint8_t messageType = 0;   // 0 without option 53 (plain BOOTP: not served)
  uint32_t requested = 0;    // option 50
  uint32_t serverId = 0;     // option 54
  CString hostName;          // option 12 up to its first NUL or dot, host-name characters only
  std::vector<uint8_t> parameters;  // option 55 in order
};

// False (with why) for a datagram that is short, has a bad cookie, is not a BOOTREQUEST, has hlen
// over 16, or has an option running past the end or of the wrong length (50, 54: 4; 53: 1).
bool ParseRequest(const uint8_t* data, size_t length, Request* out, const char** error);

class CDHCPMessageWriter {
 public:
  // Starts the reply from the request's fixed part (cut or padded to 236 bytes); op becomes 2.
  CDHCPMessageWriter(const uint8_t* request, size_t length);

  enum Field { CIADDR = 0, YIADDR = 1, SIADDR = 2, GIADDR = 3 };
  void SetAddress(Field which, uint32_t addressHostOrder);
  uint32_t GetAddress(Field which) const;
  // Empties the options area (and file and sname when they held options) and starts again.
  void ClearOptions();
  // Writes an option unless its code was written before; false when it fitted nowhere (its
  // code then counts as written). A zero-length option is not written at all.
  bool SetOption(uint8_t code, const void* data, size_t length);
  bool SetOptionByte(uint8_t code, uint8_t value) { return SetOption(code, &value, 1); }
  bool SetOptionAddress(uint8_t code, uint32_t addressHostOrder);
  bool SetOptionDword(uint8_t code, uint32_t value);
  bool HasOption(uint8_t code) const { return m_written.count(code) > 0; }

  const uint8_t* Data() const { return m_buffer; }
  // The bytes to send: the whole message up to its last written option area, at least 300.
  size_t Length() const;

 private:
  uint8_t m_buffer[kMaxMessage] = {};
  int m_state = 0;             // 0 options area, 1 file, 2 sname
  size_t m_position = kOptionsStart;
  size_t m_overloadValue = 0;  // where option 52's value byte stands
  size_t m_room = 307;
  size_t m_end = kOptionsStart + 1;  // one past the last byte written in the options area
  std::set<uint8_t> m_written;
};

}  // namespace dhcp
