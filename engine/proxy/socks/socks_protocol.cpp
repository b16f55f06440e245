#include "engine/proxy/socks/socks_protocol.h"

#include <cstring>

#include "engine/net/socket_exception.h"

namespace socks {

namespace {

uint16_t Port(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Address(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
void PutPort(std::string& s, uint16_t port) {
  s.push_back(static_cast<char>(port >> 8));
  s.push_back(static_cast<char>(port & 0xFF));
}
void PutAddress(std::string& s, uint32_t a) {
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<char>((a >> shift) & 0xFF));
}

// A NUL-ended text from data[at] on: Done with its end in *end, NeedMore without a NUL yet, Bad
// past the cap.
Parse ZeroText(const uint8_t* data, size_t size, size_t at, size_t* end) {
  const size_t limit = at + kMaxSOCKS4Text + 1;
  for (size_t i = at; i < size; ++i) {
    if (data[i] == 0) {
      *end = i;
      return Parse::Done;
    }
    if (i + 1 >= limit) return Parse::Bad;
  }
  return Parse::NeedMore;
}

// ATYP, DST.ADDR and DST.PORT from data[at] on (SOCKS 5 requests and UDP headers).
Parse Destination(const uint8_t* data, size_t size, size_t at, Request* out, const char** why, bool* badType) {
  if (size < at + 1) return Parse::NeedMore;
  out->addressType = data[at];
  size_t p = at + 1;
  switch (out->addressType) {
    case SOCKS_ATYP_IPV4:
      if (size < p + 4 + 2) return Parse::NeedMore;
      out->address = Address(data + p);
      p += 4;
      break;
    case SOCKS_ATYP_DOMAIN: {
      if (size < p + 1) return Parse::NeedMore;
      const size_t len = data[p++];
      if (len == 0) {
        *why = "empty host name";
        return Parse::Bad;
      }
      if (size < p + len + 2) return Parse::NeedMore;
      out->host.assign(reinterpret_cast<const char*>(data + p), len);
      if (out->host.find('\0') != std::string::npos) {
        *why = "NUL in host name";
        return Parse::Bad;
      }
      p += len;
      break;
    }
    case SOCKS_ATYP_IPV6:
      if (size < p + 16 + 2) return Parse::NeedMore;
      p += 16;
      break;
    default:
      if (badType) *badType = true;
      *why = "unknown address type";
      return Parse::Bad;
  }
  out->port = Port(data + p);
  out->length = p + 2;
  return Parse::Done;
}

}  // namespace

Parse ParseSOCKS4Request(const uint8_t* data, size_t size, Request* out, const char** why) {
  *out = Request();
  if (size < 8) return Parse::NeedMore;
  if (data[0] != 4) {
    *why = "not a SOCKS 4 request";
    return Parse::Bad;
  }
  out->version = 4;
  out->command = data[1];
  out->port = Port(data + 2);
  out->address = Address(data + 4);
  size_t end = 0;
  Parse r = ZeroText(data, size, 8, &end);
  if (r == Parse::Bad) *why = "user id too long";
  if (r != Parse::Done) return r;
  out->userId.assign(reinterpret_cast<const char*>(data + 8), end - 8);
  out->length = end + 1;
  // 0.0.0.x with x != 0 is SOCKS 4a: the host name follows the user id.
  if ((out->address & 0xFFFFFF00u) == 0 && out->address != 0) {
    const size_t at = end + 1;
    r = ZeroText(data, size, at, &end);
    if (r == Parse::Bad) *why = "host name too long";
    if (r != Parse::Done) return r;
    if (end == at) {
      *why = "empty host name";
      return Parse::Bad;
    }
    out->host.assign(reinterpret_cast<const char*>(data + at), end - at);
    out->addressType = SOCKS_ATYP_DOMAIN;
    out->address = 0;
    out->length = end + 1;
  }
  return Parse::Done;
}

Parse ParseMethods(const uint8_t* data, size_t size, Methods* out, const char** why) {
  *out = Methods();
  if (size < 2) return Parse::NeedMore;
  if (data[0] != 5) {
    *why = "not a SOCKS 5 method selection";
    return Parse::Bad;
  }
  const size_t n = data[1];
  if (n == 0) {
    *why = "no methods offered";
    return Parse::Bad;
  }
  if (size < 2 + n) return Parse::NeedMore;
  for (size_t i = 0; i < n; ++i) {
    if (data[2 + i] == SOCKS_METHOD_NONE) out->none = true;
    if (data[2 + i] == SOCKS_METHOD_USERPASS) out->userPass = true;
  }
  out->length = 2 + n;
  return Parse::Done;
}

Parse ParseLogin(const uint8_t* data, size_t size, Login* out, const char** why) {
  *out = Login();
  if (size < 2) return Parse::NeedMore;
  if (data[0] != 1) {
    *why = "unknown login version";
    return Parse::Bad;
  }
  const size_t ulen = data[1];
  if (size < 2 + ulen + 1) return Parse::NeedMore;
  const size_t plen = data[2 + ulen];
  if (size < 3 + ulen + plen) return Parse::NeedMore;
  out->user.assign(reinterpret_cast<const char*>(data + 2), ulen);
  out->password.assign(reinterpret_cast<const char*>(data + 3 + ulen), plen);
  out->length = 3 + ulen + plen;
  return Parse::Done;
}

Parse ParseSOCKS5Request(const uint8_t* data, size_t size, Request* out, const char** why, bool* badType) {
  *out = Request();
  if (badType) *badType = false;
  if (size < 4) return Parse::NeedMore;
  if (data[0] != 5) {
    *why = "not a SOCKS 5 request";
    return Parse::Bad;
  }
  out->version = 5;
  out->command = data[1];
  return Destination(data, size, 3, out, why, badType);
}

Parse ParseUDPHeader(const uint8_t* data, size_t size, Request* out, const char** why) {
  *out = Request();
  if (size < 4) {
    *why = "short datagram";
    return Parse::Bad;
  }
  if (data[2] != 0) {
    *why = "fragment";
    return Parse::Bad;
  }
  out->version = 5;
  const Parse r = Destination(data, size, 3, out, why, nullptr);
  if (r == Parse::NeedMore) {
    *why = "short datagram";
    return Parse::Bad;
  }
  return r;
}

std::string SOCKS4Reply(uint8_t code, uint32_t address, uint16_t port) {
  std::string s;
  s.push_back(0);
  s.push_back(static_cast<char>(code));
  PutPort(s, port);
  PutAddress(s, address);
  return s;
}

std::string SOCKS5Reply(uint8_t code, uint32_t address, uint16_t port) {
  std::string s{'\x05', static_cast<char>(code), '\0', '\x01'};
  PutAddress(s, address);
  PutPort(s, port);
  return s;
}

std::string UDPHeader(uint32_t address, uint16_t port) {
  std::string s{'\0', '\0', '\0', '\x01'};
  PutAddress(s, address);
  PutPort(s, port);
  return s;
}

uint8_t ReplyForSocketError(uint32_t error) {
  switch (error) {
    case WSAECONNREFUSED: return SOCKS5_CONNECTION_REFUSED;
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN:
    case WSAETIMEDOUT:
    case WSAEINVAL: return SOCKS5_HOST_UNREACHABLE;
    case WSAENETUNREACH:
    case WSAENETDOWN: return SOCKS5_NETWORK_UNREACHABLE;
    case WSAEACCES: return SOCKS5_NOT_ALLOWED;
    default: return SOCKS5_GENERAL_FAILURE;
  }
}

}  // namespace socks
