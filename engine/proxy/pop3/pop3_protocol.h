#pragma once
// The POP3 gateway's text forms: a line out of a byte stream (bounded) and the "user#host[:port]"
// log-in. Pure functions over untrusted bytes.
//
//   USER user<delimiter>host[:port]   split at the last delimiter; port decimal 1-65535, default 110
#include <cstddef>
#include <cstdint>
#include <string>

namespace pop3 {

// A line (without its end) longer than this is refused: RFC 1939 commands are at most 255 bytes
// and the replies the gateway reads before log-in (one status line) at most 512.
inline constexpr size_t kMaxLine = 1024;

enum class LineResult { NeedMore, TooLong, Done };
// The first line of buffer (through its "\n"); on Done *length is the bytes it took with its end.
LineResult FirstLine(const std::string& buffer, std::string* line, size_t* length);

// The line without its CR/LF and surrounding spaces.
std::string Trim(const std::string& line);

struct UserTarget {
  std::string user;
  std::string host;
  uint16_t port = 110;
  bool hasPort = false;
  bool nonProxy = false;  // no delimiter
};
enum class UserResult { Bad, Rejected, Done };
// The USER argument. Without the delimiter: through an upstream proxy the whole argument is the
// user and host stays empty; else action 1 takes the operator's host and port, action 0 (or any
// other) is Rejected. Bad: empty user or host, a host with spaces or control characters, a port
// that is not 1-65535.
UserResult ParseUser(const std::string& argument, char delimiter, bool throughProxy, uint32_t nonProxyAction,
                     const std::string& nonProxyHost, uint32_t nonProxyPort, UserTarget* out);

// The delimiter a stored value stands for: a printable character other than space and ":", else '#'.
char DelimiterFrom(uint32_t value);

}  // namespace pop3
