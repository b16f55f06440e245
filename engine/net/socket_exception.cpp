#include "engine/net/socket_exception.h"

#include <errno.h>

#include <utility>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

namespace {

constexpr const char* kSocketErrorsKey = "ErrorStrings\\SocketErrors";

}  // namespace

X1SocketException::X1SocketException(uint32_t code) : m_code(code), m_text(TextFor(code)) {}

X1SocketException::X1SocketException(uint32_t code, CString text) : m_code(code), m_text(std::move(text)) {}

CString X1SocketException::BuiltInText(uint32_t code) {
  switch (code) {
    case 0: return "You should never get this error";
    case WSAEINVAL: return "Could not connect to remote host";
    case WSAENETDOWN: return "Remote Network Down";
    case WSAENETUNREACH: return "Remote Network Unreachable";
    case WSAECONNABORTED: return "Timed Out";
    case WSAECONNRESET: return "Connection Reset by Remote Host";
    case WSAENOBUFS: return "Out of buffers";
    case WSAETIMEDOUT: return "Connection to Remote Host timed out";
    case WSAECONNREFUSED: return "Connection refused by Remote Host";
    case WSAEHOSTUNREACH: return "Host unreachable";
    default: return FormatString("Socket Error %i", static_cast<int>(code));
  }
}

CString X1SocketException::TextFor(uint32_t code) {
  CString text = RegReadString(kSocketErrorsKey, FormatString("%u", code), "");
  // The operator's text is shown as it stands, never used as a format.
  if (!text.empty()) return text;
  return BuiltInText(code);
}

CString HostnameLookupFailedText(const CString& host) {
  CString format = RegReadString(kSocketErrorsKey, "HostnameLookupFailed", "");
  if (format.empty()) format = "Host name lookup for '%s' failed";
  return FormatOperatorText(format, {host});
}

uint32_t SocketErrorFromErrno(int err) {
  // EAGAIN and EWOULDBLOCK (like EOPNOTSUPP and ENOTSUP) may be one value, so they cannot share
  // a switch.
  if (err == EAGAIN || err == EWOULDBLOCK) return WSAEWOULDBLOCK;
  if (err == EOPNOTSUPP || err == ENOTSUP) return WSAEOPNOTSUPP;
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN:
    case EPIPE: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: break;
  }
  if (err < 0) return kSocketErrorErrnoBase;
  return kSocketErrorErrnoBase + static_cast<uint32_t>(err);
}
