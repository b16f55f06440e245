#pragma once
// The authenticated, enciphered link: a challenge from the server, a user name and a digest of
// the challenge and the password from the client, a status byte back, then every byte both ways
// through a stream cipher keyed per direction from the challenge, the user name and the password.
// The console's connection to the remote-control service and the enciphered mappings between two
// engines use it.
#include <array>
#include <cstdint>
#include <functional>

#include "engine/config/archive.h"
#include "engine/net/x1_socket.h"

enum : uint8_t {
  LINK_CLIENT_MAPPING = 1,  // a TCP mapping between two engines
  LINK_CLIENT_CONSOLE = 2,  // the administration console
  LINK_CLIENT_OTHER = 3,    // a client a console server also accepts
};

inline constexpr uint8_t kLinkProtocolVersion = 9;

// Handshake results (the codes of the X1SocketException that ends a failed handshake).
enum : uint32_t {
  LINK_NO_RESPONSE = 100,
  LINK_PROTOCOL_ERROR = 101,
  LINK_WRONG_VERSION = 102,
  LINK_WRONG_USERNAME = 105,
  LINK_NO_USERNAME = 106,
  LINK_NO_SUCH_USER = 107,
  LINK_BAD_PASSWORD = 108,
  LINK_WRONG_CLIENT_TYPE = 109,
  LINK_PORT_MISMATCH = 110,
  LINK_ACCEPTED = 4,
};

// The link's stream cipher: RC4 whose permutation starts reversed (S[i] = 255 - i).
class CLinkCipher {
 public:
  void Init(const uint8_t key[16]);
  void Apply(uint8_t* data, size_t length);

 private:
  uint8_t m_s[256] = {};
  uint8_t m_i = 0;
  uint8_t m_j = 0;
};

// How a server finds the password of a user who logs in.
enum class LinkUserState { Found, NoSuchUser, Disabled };
using LinkUserLookup = std::function<LinkUserState(const CString& name, CString* password)>;

class X1Link : public X1SocketLink {
 public:
  // A refused login costs the client this long before it hears the refusal.
  static constexpr uint32_t kFailedLoginDelayMs = 1000;

  X1Link(uint8_t clientType, bool portCheck, bool fixedUser, CString userName, CString password);

  // Server without a fixed user: how names are looked up.
  void SetUserLookup(LinkUserLookup lookup) { m_lookup = std::move(lookup); }
  // Server: the wait of a refused log-in (no user name, no such user, wrong password) before the
  // client hears it, run once per refusal on the handshake's thread; kFailedLoginDelayMs each
  // time when not set.
  void SetFailureWait(std::function<void()> wait) { m_failureWait = std::move(wait); }

  void ClientHandshake(X1Socket& socket) override;
  void ServerHandshake(X1Socket& socket);
  void EncipherOutgoing(uint8_t* data, size_t length) override { m_send.Apply(data, length); }
  void DecipherIncoming(uint8_t* data, size_t length) override { m_receive.Apply(data, length); }

  // After a server handshake: the user who logged in, and the client type it settled on.
  const CString& GetUserName() const { return m_user; }
  uint8_t GetClientType() const { return m_clientType; }
  const CString& GetChallenge() const { return m_challenge; }

  // The digest text: the 16 digest bytes of MD5(text) as unpadded lower-case hex.
  static CString DigestText(std::string_view text);

 private:
  void StartCiphers(const CString& sendKeyText, const CString& receiveKeyText);
  [[noreturn]] void Refuse(X1Socket& socket, uint8_t status, uint32_t code, CString text);

  uint8_t m_clientType;
  bool m_portCheck;
  bool m_fixedUser;
  CString m_user;
  CString m_password;
  CString m_challenge;
  LinkUserLookup m_lookup;
  std::function<void()> m_failureWait;
  CLinkCipher m_send;
  CLinkCipher m_receive;
};

// Enables the link on a socket (before Connect for a client, after Attach for a server).
X1Link& SetHandshake(X1Socket& socket, uint8_t clientType, bool portCheck, bool fixedUser, const CString& userName,
                     const CString& password);
