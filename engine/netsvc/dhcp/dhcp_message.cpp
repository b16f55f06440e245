#include "engine/netsvc/dhcp/dhcp_message.h"

#include <algorithm>
#include <cstring>

#include "engine/config/util.h"

namespace dhcp {

namespace {
constexpr uint8_t kCookie[4] = {99, 130, 83, 99};
constexpr size_t kSnameOffset = 44, kSnameSize = 64, kFileOffset = 108, kFileSize = 128;

uint32_t Get32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
bool HostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}
}  // namespace

bool ParseRequest(const uint8_t* data, size_t length, Request* out, const char** error) {
  *out = Request();
  auto fail = [&](const char* why) {
    *error = why;
    return false;
  };
  if (length < kMinRequest) return fail("shorter than 240 bytes");
  if (data[0] != 1) return fail("not a BOOTREQUEST");
  if (std::memcmp(data + 236, kCookie, 4) != 0) return fail("bad magic cookie");
  if (data[2] == 0 || data[2] > 16) return fail("hardware address length not 1-16");
  out->htype = data[1];
  out->hlen = data[2];
  out->xid = Get32(data + 4);
  out->flags = static_cast<uint16_t>((data[10] << 8) | data[11]);
  out->ciaddr = Get32(data + 12);
  out->giaddr = Get32(data + 24);
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < out->hlen; ++i) {
    out->hardwareAddress += kHex[data[28 + i] >> 4];
    out->hardwareAddress += kHex[data[28 + i] & 0x0F];
  }
  size_t pos = kOptionsStart;
  while (pos < length) {
    const uint8_t code = data[pos];
    if (code == OPT_PAD) {
      ++pos;
      continue;
    }
    if (code == OPT_END) break;  // what follows END is not options
    if (pos + 2 > length) return fail("option without its length");
    const size_t n = data[pos + 1];
    if (pos + 2 + n > length) return fail("option runs past the end");
    const uint8_t* v = data + pos + 2;
    switch (code) {
      case OPT_MESSAGE_TYPE:
        if (n != 1) return fail("option 53 not 1 byte");
        out->messageType = v[0];
        break;
      case OPT_REQUESTED_ADDRESS:
        if (n != 4) return fail("option 50 not 4 bytes");
        out->requested = Get32(v);
        break;
      case OPT_SERVER_ID:
        if (n != 4) return fail("option 54 not 4 bytes");
        out->serverId = Get32(v);
        break;
      case OPT_HOST_NAME: {
        // The name ends at its first NUL or dot: a client that sends a full name ("pc.lan") is
        // known by its host label, and a dotted name could never become an outside name's answer.
        size_t len = 0;
        while (len < n && v[len] != 0 && v[len] != '.') ++len;
        CString name(reinterpret_cast<const char*>(v), len);
        // A name that is a key of the lease tables and a DNS answer: host-name characters only.
        if (std::all_of(name.begin(), name.end(), HostNameChar)) out->hostName = name;
        break;
      }
      case OPT_PARAMETER_LIST: out->parameters.assign(v, v + n); break;
      default: break;
    }
    pos += 2 + n;
  }
  return true;
}

CDHCPMessageWriter::CDHCPMessageWriter(const uint8_t* request, size_t length) {
  std::memcpy(m_buffer, request, std::min(length, kFixedSize));
  m_buffer[0] = 2;
  std::memcpy(m_buffer + 236, kCookie, 4);
  m_buffer[kOptionsStart] = OPT_END;
}

void CDHCPMessageWriter::SetAddress(Field which, uint32_t a) {
  if (which < CIADDR || which > GIADDR) return;
  Put32(m_buffer + 12 + 4 * which, a);
}

uint32_t CDHCPMessageWriter::GetAddress(Field which) const {
  if (which < CIADDR || which > GIADDR) return 0;
  return Get32(m_buffer + 12 + 4 * which);
}

void CDHCPMessageWriter::ClearOptions() {
  if (m_state >= 1) std::memset(m_buffer + kFileOffset, 0, kFileSize);
  if (m_state >= 2) std::memset(m_buffer + kSnameOffset, 0, kSnameSize);
  std::memset(m_buffer + kOptionsStart, 0, kMaxMessage - kOptionsStart);
  m_buffer[kOptionsStart] = OPT_END;
  m_state = 0;
  m_position = kOptionsStart;
  m_room = 307;
  m_end = kOptionsStart + 1;
  m_overloadValue = 0;
  m_written.clear();
}

bool CDHCPMessageWriter::SetOption(uint8_t code, const void* data, size_t n) {
  if (code == OPT_PAD || code == OPT_END || m_written.count(code)) return false;
  m_written.insert(code);
  // An option added in the console and never given a value is left out.
  if (n == 0 || n > 255) return false;
  if (m_state == 0 && m_room < n + 5) {
    // Option 52 and an end byte close the options area; the rest goes into file.
    m_buffer[m_position] = OPT_OVERLOAD;
    m_buffer[m_position + 1] = 1;
    m_buffer[m_position + 2] = 1;
    m_overloadValue = m_position + 2;
    m_buffer[m_position + 3] = OPT_END;
    m_end = std::max(m_end, m_position + 4);
    m_position = kFileOffset;
    std::memset(m_buffer + kFileOffset, 0, kFileSize);
    m_buffer[m_position] = OPT_END;
    m_room = kFileSize - 1;
    m_state = 1;
  }
  if (m_state == 1 && m_room < n + 2) {
    m_buffer[m_overloadValue] = 3;
    m_position = kSnameOffset;
    std::memset(m_buffer + kSnameOffset, 0, kSnameSize);
    m_buffer[m_position] = OPT_END;
    m_room = kSnameSize - 1;
    m_state = 2;
  }
  if (m_state == 2 && m_room < n + 2) return false;
  m_buffer[m_position] = code;
  m_buffer[m_position + 1] = static_cast<uint8_t>(n);
  std::memcpy(m_buffer + m_position + 2, data, n);
  m_buffer[m_position + 2 + n] = OPT_END;
  m_position += 2 + n;
  m_room -= n + 2;
  if (m_state == 0) m_end = std::max(m_end, m_position + 1);
  return true;
}

bool CDHCPMessageWriter::SetOptionAddress(uint8_t code, uint32_t a) {
  uint8_t b[4];
  Put32(b, a);
  return SetOption(code, b, 4);
}

bool CDHCPMessageWriter::SetOptionDword(uint8_t code, uint32_t value) { return SetOptionAddress(code, value); }

size_t CDHCPMessageWriter::Length() const {
  // Once options overflow the whole options area is in use.
  const size_t end = m_state > 0 ? kMaxMessage : m_end;
  return std::max(end, kMinReply);
}

}  // namespace dhcp
