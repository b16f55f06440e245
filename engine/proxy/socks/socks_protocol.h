#pragma once
// The SOCKS byte forms the server reads and writes: SOCKS 4 and 4a requests, the SOCKS 5 method
// selection, the user name and password sub-negotiation (RFC 1929), SOCKS 5 requests (RFC 1928)
// and the header of a relayed UDP datagram. Pure functions over untrusted bytes: each parser looks
// only at the bytes it is given, says "need more" while a message is not whole, and refuses a
// message that breaks its form or a bound instead of reading past it.
//
// Byte forms (numbers in network order):
//   SOCKS 4 request   04 CMD PORT(2) ADDR(4) USERID... 00
//   SOCKS 4a request  as SOCKS 4 with ADDR 0.0.0.x (x != 0), then HOST... 00
//   SOCKS 4 reply     00 CODE PORT(2) ADDR(4)            CODE 90 granted, 91 refused or failed
//   SOCKS 5 methods   05 NMETHODS METHODS(NMETHODS)
//   method reply      05 METHOD                          METHOD FF: none acceptable
//   RFC 1929 login    01 ULEN UNAME(ULEN) PLEN PASSWD(PLEN); reply 01 STATUS (0 success)
//   SOCKS 5 request   05 CMD 00 ATYP DST.ADDR DST.PORT(2) ATYP 1: 4 bytes, 3: LEN NAME(LEN),
//                                                          4: 16 bytes (parsed, then refused)
//   SOCKS 5 reply     05 REP 00 01 BND.ADDR(4) BND.PORT(2)
//   UDP datagram      00 00 FRAG ATYP DST.ADDR DST.PORT(2) DATA
#include <cstddef>
#include <cstdint>
#include <string>

namespace socks {

// A SOCKS 4 user id or 4a host name longer than this is refused (RFC 1928 names are at most 255
// bytes; user ids have no limit of their own, so they get the same).
inline constexpr size_t kMaxSOCKS4Text = 255;
// The most bytes a client may send before its current message is whole: the longest valid
// message (a SOCKS 4a request with both texts at their caps) fits.
inline constexpr size_t kMaxMessage = 8 + 2 * (kMaxSOCKS4Text + 1);

enum Command : uint8_t { SOCKS_CONNECT = 1, SOCKS_BIND = 2, SOCKS_UDP_ASSOCIATE = 3 };
enum AddressType : uint8_t { SOCKS_ATYP_IPV4 = 1, SOCKS_ATYP_DOMAIN = 3, SOCKS_ATYP_IPV6 = 4 };
enum Method : uint8_t { SOCKS_METHOD_NONE = 0, SOCKS_METHOD_USERPASS = 2, SOCKS_METHOD_REFUSED = 0xFF };
// SOCKS 5 reply codes.
enum Reply : uint8_t {
  SOCKS5_SUCCEEDED = 0,
  SOCKS5_GENERAL_FAILURE = 1,
  SOCKS5_NOT_ALLOWED = 2,
  SOCKS5_NETWORK_UNREACHABLE = 3,
  SOCKS5_HOST_UNREACHABLE = 4,
  SOCKS5_CONNECTION_REFUSED = 5,
  SOCKS5_TTL_EXPIRED = 6,
  SOCKS5_COMMAND_NOT_SUPPORTED = 7,
  SOCKS5_ADDRESS_TYPE_NOT_SUPPORTED = 8,
};
inline constexpr uint8_t kSOCKS4Granted = 90;
inline constexpr uint8_t kSOCKS4Failed = 91;

enum class Parse { NeedMore, Bad, Done };

struct Request {
  uint8_t version = 0;  // 4 or 5
  uint8_t command = 0;
  uint8_t addressType = SOCKS_ATYP_IPV4;  // SOCKS 4 requests count as IPv4, 4a ones as names
  uint32_t address = 0;                   // host order; ATYP 1 and SOCKS 4
  std::string host;                       // the name (ATYP 3, SOCKS 4a); empty otherwise
  uint16_t port = 0;
  std::string userId;  // SOCKS 4 only
  size_t length = 0;   // bytes the request took
};

// A SOCKS 4 or 4a request at the start of data (data[0] must be 4).
Parse ParseSOCKS4Request(const uint8_t* data, size_t size, Request* out, const char** why);

struct Methods {
  bool none = false;      // method 0 offered
  bool userPass = false;  // method 2 offered
  size_t length = 0;
};
Parse ParseMethods(const uint8_t* data, size_t size, Methods* out, const char** why);

struct Login {
  std::string user;
  std::string password;
  size_t length = 0;
};
Parse ParseLogin(const uint8_t* data, size_t size, Login* out, const char** why);

// A SOCKS 5 request. An address type other than 1, 3 and 4 is Bad with *badType set (the caller
// answers code 8); a type-4 request parses (length known) and is refused by the caller.
Parse ParseSOCKS5Request(const uint8_t* data, size_t size, Request* out, const char** why, bool* badType);

// The header of a client's UDP datagram; on Done, out->length is where the data begins. A
// fragment (FRAG != 0) is Bad: the relay does not reassemble.
Parse ParseUDPHeader(const uint8_t* data, size_t size, Request* out, const char** why);

// Replies. address is host order.
std::string SOCKS4Reply(uint8_t code, uint32_t address = 0, uint16_t port = 0);
std::string SOCKS5Reply(uint8_t code, uint32_t address = 0, uint16_t port = 0);
// The UDP header of a datagram from address:port going back to the client.
std::string UDPHeader(uint32_t address, uint16_t port);

// The SOCKS 5 reply code for a socket error (WSAE... codes): refused 5, host unreachable 4,
// network unreachable 3, time-out 4, a refused destination 2, a failed lookup 4, otherwise 1.
uint8_t ReplyForSocketError(uint32_t error);

}  // namespace socks
