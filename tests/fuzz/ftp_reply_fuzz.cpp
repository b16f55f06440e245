// Feeds arbitrary bytes to the FTP forms the web proxy reads from a server and a browser: reply
// lines one by one, the 227 port, LIST lines, the URL path for commands and Basic credentials.
// Nothing may crash or read out of bounds; what parses keeps the invariants the session relies on
// (codes 100-599, bounded text, no line end or NUL in anything that becomes a command).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/proxy/www/ftp_reply.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool HasLineEnd(const CString& s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != CString::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CFtpReplyReader reader;
  size_t start = 0;
  while (start <= bytes.size()) {
    const size_t lf = bytes.find('\n', start);
    const std::string_view line =
        bytes.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
    const CFtpReplyReader::Result r = reader.Feed(line);
    if (r == CFtpReplyReader::kComplete) Check(reader.Code() >= 100 && reader.Code() <= 599);
    Check(reader.MultiLineText().size() <= kMaxFtpReplyText + line.size());
    CFtpListEntry e;
    if (ParseFtpListLine(line, &e)) Check(!e.name.empty() && e.name.find('/') == CString::npos && !HasLineEnd(e.name));
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  uint16_t port = 0;
  if (ParsePasvPort(bytes, &port)) Check(port != 0);
  CString path;
  if (DecodeFtpPath(bytes, &path)) Check(!HasLineEnd(path));
  CString user, password;
  if (ParseBasicCredentials(bytes, &user, &password))
    Check(!user.empty() && !HasLineEnd(user) && !HasLineEnd(password));
  return 0;
}
