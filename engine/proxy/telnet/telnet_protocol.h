#pragma once
// The Telnet gateway's byte forms (RFC 854, 855, 857, 858): the command stream parsed one byte at a
// time with its state kept across reads, the answers the gateway gives to option requests while
// it runs its own line editor, and the host line typed at its prompt.
//
//   IAC (255) IAC          a data byte 255
//   IAC WILL/WONT/DO/DONT (251-254) option
//   IAC SB ... IAC SE      a sub-negotiation, skipped whole (IAC IAC inside it too)
//   IAC other (240-250)    a command without option, ignored
#include <cstdint>
#include <string>

namespace telnet {

enum : uint8_t {
  TELNET_SE = 240,
  TELNET_SB = 250,
  TELNET_WILL = 251,
  TELNET_WONT = 252,
  TELNET_DO = 253,
  TELNET_DONT = 254,
  TELNET_IAC = 255,
  TELNET_OPT_ECHO = 1,
  TELNET_OPT_SGA = 3,
};

// What the gateway says first: IAC WILL ECHO, IAC WILL SGA, IAC DO SGA.
inline constexpr char kGreeting[] = "\xFF\xFB\x01\xFF\xFB\x03\xFF\xFD\x03";

class CParser {
 public:
  enum class Kind { None, Data, Option };
  struct Item {
    Kind kind = Kind::None;
    uint8_t byte = 0;  // Data
    uint8_t verb = 0;  // Option: WILL, WONT, DO or DONT
    uint8_t option = 0;
  };
  // One byte in; an item out when one is complete (Kind::None while inside a sequence).
  Item Feed(uint8_t b);

 private:
  enum class State { Data, Iac, Verb, Sub, SubIac };
  State m_state = State::Data;
  uint8_t m_verb = 0;
};

// The answer to an option request while the gateway runs its own front end, and whether the
// option has had its one answer (answered is a 256-bit set the caller keeps). Each option is
// answered once: ECHO as asked (DO: WILL, DONT: WONT), SGA always WILL, any other DO, DONT or WONT:
// WONT, any other WILL: DONT (the refusal of what the client offers for its own side). Answering a
// WONT or DONT that names the state already in force cannot loop, since nothing is answered twice.
std::string AnswerOption(uint8_t verb, uint8_t option, uint64_t answered[4]);

// The host line: split at its last ":" into host and port, else at its last space, else port 23.
// False for an empty host or a port that is not 1-65535.
bool ParseHostLine(const std::string& line, std::string* host, uint16_t* port);

}  // namespace telnet
