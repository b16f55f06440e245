#pragma once
// The FTP gateway's text forms: control lines collected from a byte stream, the commands the
// gateway acts on, the "user@host[:port]" log-in, and the six numbers of PORT and 227 that name a
// data connection. Pure functions over untrusted bytes: lines are bounded, numbers are checked
// against their ranges, and a form that does not hold is refused rather than guessed at.
//
//   USER user@host[:port]   split at the last "@"; port decimal 1-65535, default 21
//   PORT h1,h2,h3,h4,p1,p2  address h1.h2.h3.h4, port p1*256+p2, each number 0-255
//   227 text (h1,h2,h3,h4,p1,p2)   the numbers after the first "(", or else from the first digit
//                                  after the code on
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ftp {

// A control line longer than this (without its end) is refused: RFC 959 lines are short, and a
// peer that sends no line end must not grow the buffer without bound.
inline constexpr size_t kMaxLine = 4096;

// Collects bytes and hands out whole lines (with their "\n", and any "\r" before it).
class CLineBuffer {
 public:
  // Appends bytes; false once the unfinished line has passed kMaxLine (the buffer is then useless).
  bool Append(const char* data, size_t n);
  // The next whole line, or false when none is complete yet.
  bool Next(std::string* line);
  bool Overflowed() const { return m_overflow; }
  size_t Pending() const { return m_buf.size() - m_pos; }

 private:
  std::string m_buf;
  size_t m_pos = 0;
  bool m_overflow = false;
};

// The command a client line carries, by its whole first word (case ignored), as the server reads
// it: by its first four letters "PORTX ..." would be rewritten into a PORT the client never sent and
// "USERNAME a@host" would make the gateway connect out; "user" and "pasv" are still commands.
enum class Command { Empty, User, Port, Pasv, Extended, Quit, Other };
Command Classify(const std::string& line);

// The line without its trailing CR/LF and spaces.
std::string TrimLine(const std::string& line);
// The text after the command word and one space ("" when none).
std::string Argument(const std::string& line);

struct UserTarget {
  std::string user;
  std::string host;
  uint16_t port = 21;
  bool nonProxy = false;  // no "@": the operator's fixed server
};
// Parses the USER argument. Without "@" the target is the non-proxy server when nonProxyAction
// is 1 (the whole argument is the user), otherwise the form is bad. False for a bad form: empty
// user or host, a host with spaces or control characters, a port that is not 1-65535.
bool ParseUser(const std::string& argument, uint32_t nonProxyAction, const std::string& nonProxyHost,
               uint32_t nonProxyPort, UserTarget* out);

// The six numbers of a PORT argument or a 227 reply line. address host order.
bool ParseHostPort(const std::string& text, uint32_t* address, uint16_t* port);
bool ParsePassiveReply(const std::string& line, uint32_t* address, uint16_t* port);
// "h1,h2,h3,h4,p1,p2".
std::string FormatHostPort(uint32_t address, uint16_t port);

// The reply code of a reply line (100-599) and whether it is the last line of its reply
// ("NNN " or "NNN" alone); 0 when the line does not start with a code.
int ReplyCode(const std::string& line, bool* last);

}  // namespace ftp
