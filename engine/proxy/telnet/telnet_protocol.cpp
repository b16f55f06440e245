#include "engine/proxy/telnet/telnet_protocol.h"

#include <cctype>

namespace telnet {

CParser::Item CParser::Feed(uint8_t b) {
  Item item;
  switch (m_state) {
    case State::Data:
      if (b == TELNET_IAC) {
        m_state = State::Iac;
      } else {
        item.kind = Kind::Data;
        item.byte = b;
      }
      break;
    case State::Iac:
      if (b == TELNET_IAC) {
        item.kind = Kind::Data;
        item.byte = b;
        m_state = State::Data;
      } else if (b >= TELNET_WILL) {
        m_verb = b;
        m_state = State::Verb;
      } else if (b == TELNET_SB) {
        m_state = State::Sub;
      } else {
        m_state = State::Data;  // NOP, GA, AYT ...: nothing the line editor needs
      }
      break;
    case State::Verb:
      item.kind = Kind::Option;
      item.verb = m_verb;
      item.option = b;
      m_state = State::Data;
      break;
    case State::Sub:
      if (b == TELNET_IAC) m_state = State::SubIac;
      break;
    case State::SubIac:
      // IAC SE ends it; IAC IAC is a data byte of it; anything else is a broken sequence, ended too.
      m_state = b == TELNET_IAC ? State::Sub : State::Data;
      break;
  }
  return item;
}

std::string AnswerOption(uint8_t verb, uint8_t option, uint64_t answered[4]) {
  uint64_t& word = answered[option >> 6];
  const uint64_t bit = uint64_t{1} << (option & 63);
  if (word & bit) return std::string();
  uint8_t reply = 0;
  if (option == TELNET_OPT_ECHO && (verb == TELNET_DO || verb == TELNET_DONT)) {
    reply = verb == TELNET_DO ? TELNET_WILL : TELNET_WONT;
  } else if (option == TELNET_OPT_SGA && (verb == TELNET_DO || verb == TELNET_DONT)) {
    reply = TELNET_WILL;
  } else if (option == TELNET_OPT_SGA || option == TELNET_OPT_ECHO) {
    return std::string();  // the client's WILL/WONT answers the gateway's own DO or WILL
  } else if (verb == TELNET_WILL) {
    // The client offers to do something on its side: refusing that is DONT (a WONT would speak of
    // this side and leave a client that waits for its answer waiting).
    reply = TELNET_DONT;
  } else {
    // DO, DONT or WONT: this side does none of them, and says so once.
    reply = TELNET_WONT;
  }
  word |= bit;
  return std::string{static_cast<char>(TELNET_IAC), static_cast<char>(reply), static_cast<char>(option)};
}

bool ParseHostLine(const std::string& line, std::string* host, uint16_t* port) {
  size_t cut = line.rfind(':');
  if (cut == std::string::npos) cut = line.rfind(' ');
  *port = 23;
  std::string h = line;
  if (cut != std::string::npos) {
    std::string digits = line.substr(cut + 1);
    while (!digits.empty() && digits.front() == ' ') digits.erase(0, 1);
    if (digits.empty() || digits.size() > 5) return false;
    uint32_t p = 0;
    for (char c : digits) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      p = p * 10 + static_cast<uint32_t>(c - '0');
    }
    if (p == 0 || p > 0xFFFF) return false;
    *port = static_cast<uint16_t>(p);
    h = line.substr(0, cut);
  }
  while (!h.empty() && h.back() == ' ') h.pop_back();
  while (!h.empty() && h.front() == ' ') h.erase(0, 1);
  if (h.empty() || h.size() > 255) return false;
  for (unsigned char c : h)
    if (c <= ' ' || c == 0x7F || c == '/' || c == '@' || c == ':') return false;
  *host = h;
  return true;
}

}  // namespace telnet
