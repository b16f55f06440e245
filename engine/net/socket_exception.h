#pragma once
// The one exception type of the socket library, the enciphered link and the code that connects
// out: a socket error code (numbered as the host system's socket errors, which the operator's
// reworded texts and the console's messages are keyed by), a link status code, or 0, and a text.
#include <cstdint>
#include <exception>
#include <string>

#include "engine/config/archive.h"

// Socket error codes as the texts know them.
enum : uint32_t {
  WSAEINTR = 10004,
  WSAEBADF = 10009,
  WSAEACCES = 10013,
  WSAEFAULT = 10014,
  WSAEINVAL = 10022,
  WSAEMFILE = 10024,
  WSAEWOULDBLOCK = 10035,
  WSAEINPROGRESS = 10036,
  WSAEALREADY = 10037,
  WSAENOTSOCK = 10038,
  WSAEDESTADDRREQ = 10039,
  WSAEMSGSIZE = 10040,
  WSAEPROTOTYPE = 10041,
  WSAENOPROTOOPT = 10042,
  WSAEPROTONOSUPPORT = 10043,
  WSAEOPNOTSUPP = 10045,
  WSAEAFNOSUPPORT = 10047,
  WSAEADDRINUSE = 10048,
  WSAEADDRNOTAVAIL = 10049,
  WSAENETDOWN = 10050,
  WSAENETUNREACH = 10051,
  WSAENETRESET = 10052,
  WSAECONNABORTED = 10053,
  WSAECONNRESET = 10054,
  WSAENOBUFS = 10055,
  WSAEISCONN = 10056,
  WSAENOTCONN = 10057,
  WSAESHUTDOWN = 10058,
  WSAETIMEDOUT = 10060,
  WSAECONNREFUSED = 10061,
  WSAEHOSTDOWN = 10064,
  WSAEHOSTUNREACH = 10065,
  WSAHOST_NOT_FOUND = 11001,
  WSATRY_AGAIN = 11002,
  WSANO_RECOVERY = 11003,
  WSANO_DATA = 11004,
};

// Base of the exceptions the system's handlers log as "Caught CException ...".
class CException : public std::exception {
 public:
  const char* what() const noexcept override { return "exception"; }
};

class X1SocketException : public CException {
 public:
  // The text is the operator's "ErrorStrings\\SocketErrors" value named by the code in decimal
  // when it is set and not empty, else the built-in English text.
  explicit X1SocketException(uint32_t code);
  // The text as given.
  X1SocketException(uint32_t code, CString text);

  uint32_t GetCode() const { return m_code; }
  const CString& GetText() const { return m_text; }
  const char* what() const noexcept override { return m_text.c_str(); }

  // The built-in English text of a code.
  static CString BuiltInText(uint32_t code);
  // The text a code gets without one given (registry first, then built in).
  static CString TextFor(uint32_t code);

 private:
  uint32_t m_code;
  CString m_text;
};

// The socket error code for an errno value (ECONNREFUSED -> WSAECONNREFUSED ...).
uint32_t SocketErrorFromErrno(int err);

// Errno values without a socket error code of their own map to this base plus the errno, so the
// number still tells what happened and never collides with a real code or a link status.
inline constexpr uint32_t kSocketErrorErrnoBase = 20000;

// The text of a failed host-name lookup (code WSAEINVAL): the operator's "ErrorStrings\\SocketErrors"
// value "HostnameLookupFailed" when set, else "Host name lookup for '%s' failed", filled safely.
CString HostnameLookupFailedText(const CString& host);
