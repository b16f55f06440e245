#pragma once
// DNS messages as the relay reads and writes them: the header and first question of a query, and
// the reply made from them. Pure functions over byte buffers, no sockets, so they can be tested
// and fuzzed alone.
//
// Byte forms (RFC 1035, network order):
//   header   ID(2) FLAGS(2: QR, OPCODE(4), AA, TC, RD | RA, Z, AD, CD, RCODE(4)) QDCOUNT ANCOUNT
//            NSCOUNT ARCOUNT (2 each)
//   question NAME (length-prefixed labels ending with 0) QTYPE(2) QCLASS(2)
//   answer   NAME (here always the pointer C0 0C to the question's name) TYPE(2) CLASS(2) TTL(4)
//            RDLENGTH(2) RDATA
//
// What a reply looks like: the query's ID, QR=1, its opcode and RD, RA=1, AA only for names the
// gateway answers itself, Z/AD/CD clear; the first question and nothing else of the query (the
// query's own extra records, such as an EDNS OPT record, are dropped); at most one A answer.
#include <cstddef>
#include <cstdint>

#include "engine/config/archive.h"

namespace dns {

constexpr size_t kHeaderSize = 12;
// A reply never grows beyond the classic UDP limit; a question is at most 255 + 4 bytes, so a
// reply with one answer always fits.
constexpr size_t kMaxMessage = 512;
constexpr size_t kMaxWireName = 255;

enum : uint8_t {
  RCODE_NOERROR = 0,
  RCODE_FORMERR = 1,
  RCODE_SERVFAIL = 2,
  RCODE_NXDOMAIN = 3,
  RCODE_NOTIMP = 4,
  RCODE_REFUSED = 5,
};

enum : uint16_t { QTYPE_A = 1, QCLASS_IN = 1 };

enum class ParseStatus {
  Drop,     // no header to answer (under 12 bytes) or not a query (QR=1): nothing is sent
  Malformed,  // FORMERR; the question is echoed when HasQuestion
  Ok,
};

struct Query {
  uint16_t id = 0;
  uint8_t opcode = 0;
  bool recursionDesired = false;
  bool hasQuestion = false;  // name, type and class were read whole
  CString name;              // labels joined with "."; no trailing dot ("" for the root)
  uint16_t qtype = 0;
  uint16_t qclass = 0;
  size_t questionEnd = 0;    // offset just past QCLASS
  const char* error = "";    // why a query is malformed
};

// Reads the header and the first question. Every read is checked against length; the question
// name may hold no compression pointer (it is the first name of the message), no label type
// 0x40-0xBF, no label with "." or NUL, and at most 255 bytes; QDCOUNT must be 1.
ParseStatus ParseQuery(const uint8_t* data, size_t length, Query* out);

// Writes the reply for a parsed query into out (at least kMaxMessage bytes) and returns its
// length. address (host order) adds one A record with TTL 0; it is only used with RCODE_NOERROR.
size_t BuildReply(const uint8_t* query, const Query& q, uint8_t rcode, bool authoritative, const uint32_t* address,
                  uint8_t* out, size_t outSize);

// A number rather than a name: anything the system's address parser reads as an IPv4 address
// ("10.1", "1234", "0x7f.1", "017700000001", dotted quads), or a name whose labels are all decimal
// or 0x-hex numbers ("1.2.3.4.5"). A resolver would answer such a "name" from its digits.
bool IsNumericName(const CString& name);

}  // namespace dns
