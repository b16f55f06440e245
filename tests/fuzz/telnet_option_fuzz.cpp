// Feeds arbitrary bytes to the Telnet gateway's option stream and host-line parser the way a client
// could deliver them, split at an arbitrary point. Nothing may crash; every option is answered at
// most once, and an answer is always three bytes of IAC, a verb and the option.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/proxy/telnet/telnet_protocol.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  telnet::CParser parser;
  uint64_t answered[4] = {};
  int answers[256] = {};
  std::string line;
  for (size_t i = 0; i < size; ++i) {
    const telnet::CParser::Item item = parser.Feed(data[i]);
    if (item.kind == telnet::CParser::Kind::Option) {
      const std::string a = telnet::AnswerOption(item.verb, item.option, answered);
      Check(a.empty() || (a.size() == 3 && static_cast<uint8_t>(a[0]) == telnet::TELNET_IAC &&
                          static_cast<uint8_t>(a[2]) == item.option));
      if (!a.empty()) Check(++answers[item.option] == 1);
    } else if (item.kind == telnet::CParser::Kind::Data) {
      if (item.byte == '\n' || item.byte == 0) {
        std::string host;
        uint16_t port = 0;
        if (telnet::ParseHostLine(line, &host, &port)) Check(!host.empty() && port != 0 && host.size() <= 255);
        line.clear();
      } else if (line.size() < 1024) {
        line.push_back(static_cast<char>(item.byte));
      }
    }
  }
  return 0;
}
