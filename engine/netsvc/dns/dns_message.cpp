#include "engine/netsvc/dns/dns_message.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "engine/config/util.h"

namespace dns {

namespace {
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
}  // namespace

ParseStatus ParseQuery(const uint8_t* data, size_t length, Query* out) {
  *out = Query();
  if (length < kHeaderSize) return ParseStatus::Drop;
  // A response is never answered: answering one would let two relays (or a spoofed source)
  // bounce packets between them for ever.
  if (data[2] & 0x80) return ParseStatus::Drop;
  out->id = Get16(data);
  out->opcode = static_cast<uint8_t>((data[2] >> 3) & 0x0F);
  out->recursionDesired = (data[2] & 0x01) != 0;
  if (Get16(data + 4) != 1) {
    out->error = "QDCOUNT is not 1";
    return ParseStatus::Malformed;
  }
  size_t pos = kHeaderSize;
  size_t wire = 0;
  CString name;
  for (;;) {
    if (pos >= length) {
      out->error = "name runs past the end";
      return ParseStatus::Malformed;
    }
    const uint8_t len = data[pos];
    if (len == 0) {
      ++pos;
      ++wire;
      break;
    }
    if (len & 0xC0) {
      // Pointers (0xC0) have nothing to point back to in the first name; 0x40 and 0x80 are
      // reserved label types.
      out->error = "compressed or reserved label in the question";
      return ParseStatus::Malformed;
    }
    if (pos + 1 + len > length) {
      out->error = "label runs past the end";
      return ParseStatus::Malformed;
    }
    wire += 1u + len;
    if (wire + 1 > kMaxWireName) {
      out->error = "name longer than 255 bytes";
      return ParseStatus::Malformed;
    }
    const char* label = reinterpret_cast<const char*>(data + pos + 1);
    // A dot or NUL inside a label would change what the resolver is asked.
    if (std::memchr(label, '.', len) || std::memchr(label, '\0', len)) {
      out->error = "label holds a dot or NUL";
      return ParseStatus::Malformed;
    }
    if (!name.empty()) name += '.';
    name.append(label, len);
    pos += 1u + len;
  }
  if (pos + 4 > length) {
    out->error = "question ends before QTYPE and QCLASS";
    return ParseStatus::Malformed;
  }
  out->name = std::move(name);
  out->qtype = Get16(data + pos);
  out->qclass = Get16(data + pos + 2);
  out->questionEnd = pos + 4;
  out->hasQuestion = true;
  return ParseStatus::Ok;
}

size_t BuildReply(const uint8_t* query, const Query& q, uint8_t rcode, bool authoritative, const uint32_t* address,
                  uint8_t* out, size_t outSize) {
  const size_t questionLength = q.hasQuestion ? q.questionEnd - kHeaderSize : 0;
  const bool answer = address != nullptr && rcode == RCODE_NOERROR && q.hasQuestion;
  const size_t total = kHeaderSize + questionLength + (answer ? 16 : 0);
  if (total > outSize) return 0;
  Put16(out, q.id);
  out[2] = static_cast<uint8_t>(0x80 | (q.opcode << 3) | (authoritative ? 0x04 : 0) | (q.recursionDesired ? 1 : 0));
  out[3] = static_cast<uint8_t>(0x80 | (rcode & 0x0F));
  Put16(out + 4, q.hasQuestion ? 1 : 0);
  Put16(out + 6, answer ? 1 : 0);
  Put16(out + 8, 0);
  Put16(out + 10, 0);
  // The reply may be written over the query: memmove.
  if (questionLength > 0) std::memmove(out + kHeaderSize, query + kHeaderSize, questionLength);
  if (answer) {
    uint8_t* p = out + kHeaderSize + questionLength;
    Put16(p, 0xC00C);  // the question's name
    Put16(p + 2, QTYPE_A);
    Put16(p + 4, QCLASS_IN);
    std::memset(p + 6, 0, 4);  // TTL 0: leases and links change
    Put16(p + 10, 4);
    const uint32_t a = *address;
    p[12] = static_cast<uint8_t>(a >> 24);
    p[13] = static_cast<uint8_t>(a >> 16);
    p[14] = static_cast<uint8_t>(a >> 8);
    p[15] = static_cast<uint8_t>(a);
  }
  return total;
}

bool IsNumericName(const CString& name) {
  if (name.empty()) return false;
  in_addr a{};
  if (inet_aton(name.c_str(), &a) != 0) return true;
  // Label by label: each one decimal digits, or "0x" and hex digits.
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(name.find('.', start), name.size());
    const std::string_view label(name.data() + start, end - start);
    if (label.empty()) return false;
    const bool hex = label.size() >= 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X');
    const std::string_view digits = hex ? label.substr(2) : label;
    for (char c : digits) {
      if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c))))
        return false;
    }
    if (end == name.size()) return true;
    start = end + 1;
  }
}

}  // namespace dns
