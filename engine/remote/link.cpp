#include "engine/remote/link.h"

#include <sys/random.h>

#include "engine/config/util.h"
#include "engine/config/md5.h"
#include "platform/clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One handshake message: its length byte, then that many bytes. The result holds the length byte
// at index 0, so offsets match the message tables.
bool ReadMessage(X1Socket& s, Bytes* msg, uint32_t noResponseCode, const char* noResponseText,
                 const char* shortText) {
  uint8_t len = 0;
  if (s.ReceiveBlocking(&len, 1) != 1) throw X1SocketException(noResponseCode, noResponseText);
  msg->assign(1 + len, 0);
  (*msg)[0] = len;
  if (len > 0 && s.ReceiveBlocking(msg->data() + 1, len) != len) throw X1SocketException(LINK_PROTOCOL_ERROR, shortText);
  return true;
}

void SendStatus(X1Socket& s, uint8_t status) {
  const uint8_t msg[5] = {4, 1, kLinkProtocolVersion, 0, status};
  s.SendRaw(msg, sizeof msg);
}

// A zero-terminated text starting at *pos inside msg; false when no terminator is in the message.
bool TakeText(const Bytes& msg, size_t* pos, CString* out) {
  for (size_t i = *pos; i < msg.size(); ++i) {
    if (msg[i] == 0) {
      out->assign(reinterpret_cast<const char*>(msg.data() + *pos), i - *pos);
      *pos = i + 1;
      return true;
    }
  }
  return false;
}

// Compares without stopping at the first difference, so timing tells nothing of the digest.
bool SameText(const CString& a, const CString& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// The challenge must not be guessable: a client that could predict it could replay a digest.
CString NewChallenge() {
  uint32_t r = 0;
  if (getrandom(&r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) r = static_cast<uint32_t>(platform::TickCount64());
  return FormatString("%u", r);
}

void Digest16(std::string_view text, uint8_t out[16]) {
  CMD5::Digest d = CMD5::Of(text);
  for (int i = 0; i < 16; ++i) out[i] = d[i];
}

}  // namespace

void CLinkCipher::Init(const uint8_t key[16]) {
  for (int i = 0; i < 256; ++i) m_s[i] = static_cast<uint8_t>(255 - i);
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + m_s[i] + key[i % 16]);
    std::swap(m_s[i], m_s[j]);
  }
  m_i = m_j = 0;
}

void CLinkCipher::Apply(uint8_t* data, size_t length) {
  for (size_t n = 0; n < length; ++n) {
    m_i = static_cast<uint8_t>(m_i + 1);
    m_j = static_cast<uint8_t>(m_j + m_s[m_i]);
    std::swap(m_s[m_i], m_s[m_j]);
    data[n] ^= m_s[static_cast<uint8_t>(m_s[m_i] + m_s[m_j])];
  }
}

X1Link::X1Link(uint8_t clientType, bool portCheck, bool fixedUser, CString userName, CString password)
    : m_clientType(clientType),
      m_portCheck(portCheck),
      m_fixedUser(fixedUser),
      m_user(std::move(userName)),
      m_password(std::move(password)) {}

CString X1Link::DigestText(std::string_view text) {
  return CMD5::UnpaddedHex(CMD5::Of(text));
}

void X1Link::StartCiphers(const CString& sendKeyText, const CString& receiveKeyText) {
  uint8_t key[16];
  Digest16(sendKeyText, key);
  m_send.Init(key);
  Digest16(receiveKeyText, key);
  m_receive.Init(key);
}

void X1Link::Refuse(X1Socket& socket, uint8_t status, uint32_t code, CString text) {
  // A refused login waits before it is told, so neither passwords nor user names can be tried at
  // network speed, and an unknown name answers as slowly as a wrong password.
  if (code >= LINK_WRONG_USERNAME && code <= LINK_BAD_PASSWORD) {
    if (m_failureWait)
      m_failureWait();
    else
      platform::SleepMs(kFailedLoginDelayMs);
  }
  if (status != 0) SendStatus(socket, status);
  throw X1SocketException(code, std::move(text));
}

void X1Link::ServerHandshake(X1Socket& socket) {
  socket.SetCiphering(false);
  m_challenge = NewChallenge();
  Bytes challenge = {static_cast<uint8_t>(m_challenge.size() + 5), 1, kLinkProtocolVersion, 0, 1};
  challenge.insert(challenge.end(), m_challenge.begin(), m_challenge.end());
  challenge.push_back(0);
  socket.SendRaw(challenge.data(), challenge.size());

  Bytes msg;
  ReadMessage(socket, &msg, LINK_NO_RESPONSE, "No response from client to challenge", "Bad Protocol");
  if (msg.size() < 9) throw X1SocketException(LINK_PROTOCOL_ERROR, "Bad Protocol");

  uint8_t type = msg[3];
  if (type != m_clientType) {
    if (m_clientType == LINK_CLIENT_CONSOLE && type == LINK_CLIENT_OTHER)
      m_clientType = LINK_CLIENT_OTHER;
    else
      Refuse(socket, LINK_WRONG_CLIENT_TYPE, LINK_WRONG_CLIENT_TYPE, "Wrong client type");
  }
  bool versionOk = m_clientType == LINK_CLIENT_OTHER ? msg[1] == 1 : (msg[1] == 1 && msg[2] == kLinkProtocolVersion);
  if (!versionOk) throw X1SocketException(LINK_WRONG_VERSION, "Wrong protocol version");
  if (m_portCheck) {
    uint32_t port = msg[4] | (msg[5] << 8) | (msg[6] << 16) | (static_cast<uint32_t>(msg[7]) << 24);
    if (port != socket.GetPeerPort())
      Refuse(socket, LINK_PORT_MISMATCH, LINK_PORT_MISMATCH, "Port mismatch disallowed - direct connection required");
  }
  if (msg[8] != 2) throw X1SocketException(LINK_PROTOCOL_ERROR, "Wrong command");

  size_t pos = 9;
  CString name, digest;
  if (!TakeText(msg, &pos, &name) || !TakeText(msg, &pos, &digest))
    throw X1SocketException(LINK_PROTOCOL_ERROR, "Bad Protocol");

  bool disabled = false;
  if (m_fixedUser) {
    if (name != m_user) Refuse(socket, 0, LINK_WRONG_USERNAME, "Wrong username");
  } else {
    if (name.empty()) Refuse(socket, 0, LINK_NO_USERNAME, "No username given");
    CString password;
    LinkUserState state = m_lookup ? m_lookup(name, &password) : LinkUserState::NoSuchUser;
    if (state == LinkUserState::NoSuchUser) Refuse(socket, 0, LINK_NO_SUCH_USER, "No such user");
    // A disabled account is refused like a wrong password: the client learns nothing more.
    disabled = state == LinkUserState::Disabled;
    m_user = name;
    m_password = password;
  }
  if (disabled || !SameText(digest, DigestText(m_challenge + m_password)))
    Refuse(socket, LINK_BAD_PASSWORD, LINK_BAD_PASSWORD, FormatOperatorText("User %s failed password", {m_user}));

  SendStatus(socket, LINK_ACCEPTED);
  StartCiphers(m_challenge + m_password + m_user, m_challenge + m_user + m_password);
  socket.SetCiphering(true);
}

void X1Link::ClientHandshake(X1Socket& socket) {
  socket.SetCiphering(false);
  Bytes msg;
  ReadMessage(socket, &msg, LINK_NO_RESPONSE, "No response from server", "Protocol error");
  if (msg.size() < 5) throw X1SocketException(LINK_PROTOCOL_ERROR, "Protocol error");
  if (msg[1] != 1 || (m_clientType == LINK_CLIENT_CONSOLE && msg[2] != kLinkProtocolVersion))
    throw X1SocketException(LINK_WRONG_VERSION, "Wrong protocol version");
  if (msg[4] != 1) throw X1SocketException(LINK_PROTOCOL_ERROR, "Wrong response");
  size_t pos = 5;
  if (!TakeText(msg, &pos, &m_challenge)) {
    // A challenge without its terminator still ends with the message.
    m_challenge.assign(reinterpret_cast<const char*>(msg.data() + 5), msg.size() - 5);
  }

  CString digest = DigestText(m_challenge + m_password);
  size_t length = m_user.size() + digest.size() + 10;
  if (length > 255) throw X1SocketException(LINK_PROTOCOL_ERROR, "Protocol error");
  uint32_t port = socket.GetLocalPort();
  Bytes response = {static_cast<uint8_t>(length), 1, kLinkProtocolVersion, m_clientType,
                    static_cast<uint8_t>(port), static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port >> 16),
                    static_cast<uint8_t>(port >> 24), 2};
  response.insert(response.end(), m_user.begin(), m_user.end());
  response.push_back(0);
  response.insert(response.end(), digest.begin(), digest.end());
  response.push_back(0);
  socket.SendRaw(response.data(), response.size());

  ReadMessage(socket, &msg, LINK_NO_RESPONSE, "No response from server", "Bad Protocol");
  if (msg.size() < 5) throw X1SocketException(LINK_PROTOCOL_ERROR, "Bad Protocol");
  if (msg[1] != 1 || msg[2] != kLinkProtocolVersion) throw X1SocketException(LINK_WRONG_VERSION, "Wrong protocol version");
  if (msg[4] != LINK_ACCEPTED) throw X1SocketException(msg[4]);

  StartCiphers(m_challenge + m_user + m_password, m_challenge + m_password + m_user);
  socket.SetCiphering(true);
}

X1Link& SetHandshake(X1Socket& socket, uint8_t clientType, bool portCheck, bool fixedUser, const CString& userName,
                     const CString& password) {
  auto link = std::make_unique<X1Link>(clientType, portCheck, fixedUser, userName, password);
  X1Link& ref = *link;
  socket.SetLink(std::move(link));
  socket.EnableLink(true);
  return ref;
}
