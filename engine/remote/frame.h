#pragma once
// Frames of the remote-control link, shared by the engine's session and the console's.
//
// Byte form (both directions, inside the enciphered link):
//   u32 N (little-endian), then N archive bytes holding one object, either
//     bare          the object's Serialize output only; the receiver names the class, or
//     class-tagged  CArchive::WriteObject output (tag, schema, class name, then Serialize output);
//                   the receiver creates the named class, which must derive from the base it
//                   expects.
//
// Reading is strict because the bytes come from the network:
//   - N above the cap (16 MiB unless given) is refused before any payload is read or allocated;
//     the payload buffer then grows only as bytes actually arrive;
//   - a frame whose bytes stop arriving, or whose length cannot even be read, fails: the stream
//     is out of step and the connection must be closed;
//   - the object is loaded into a scratch object and must consume the payload exactly; only a
//     complete load reaches the caller's object, so nothing half-read is ever applied.
// Every failure throws CFrameException; its text is the one the session logs.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/config/archive.h"
#include "engine/config/object.h"
#include "engine/net/socket_exception.h"

class X1Socket;

inline constexpr uint32_t kMaxFrameLength = 16u * 1024u * 1024u;

inline constexpr const char* kFrameTextHeader = "Communications Failure";
inline constexpr const char* kFrameTextPayload = "Communications Failure - pad payload length";
inline constexpr const char* kFrameTextMemory = "Memory Allocation Error";

class CFrameException : public CException {
 public:
  enum Cause {
    shortHeader,   // fewer than 4 length bytes arrived
    shortPayload,  // fewer than N payload bytes arrived
    tooLarge,      // N above the cap: refused unread
    noMemory,      // the payload buffer could not be had
    malformed,     // all N bytes arrived but do not hold exactly one valid object
  };

  CFrameException(Cause cause, CString text) : m_cause(cause), m_text(std::move(text)) {}
  Cause GetCause() const { return m_cause; }
  const CString& GetText() const { return m_text; }
  const char* what() const noexcept override { return m_text.c_str(); }
  // True only for malformed: the whole frame was read, so the next frame starts where expected
  // and a refusal can still be sent before closing.
  bool StreamInStep() const { return m_cause == malformed; }
  // The frame was a class-tagged one (ReceiveUnknownObject); its failures are logged apart.
  bool IsTagged() const { return m_tagged; }
  void SetTagged() { m_tagged = true; }

 private:
  Cause m_cause;
  CString m_text;
  bool m_tagged = false;
};

// A frame's send that failed on the socket: the same code and text, so a caller that catches
// X1SocketException sees no difference, while one that logs sends apart from reads can tell.
class CFrameSendException : public X1SocketException {
 public:
  explicit CFrameSendException(const X1SocketException& e) : X1SocketException(e.GetCode(), e.GetText()) {}
};

// ---- Building ---------------------------------------------------------------------------------

// Length prefix and the object's Serialize output (Serialize is not const in the class library's
// form, hence the reference). Archive errors propagate as CArchiveException; a body over the cap
// throws CFrameException tooLarge, since no reader would take it.
std::vector<uint8_t> BuildFrame(CObject& obj);
// Length prefix and the class-tagged form; the class must be creatable by name.
std::vector<uint8_t> BuildTaggedFrame(const CObject& obj);

// ---- Pure parsing over bytes --------------------------------------------------------------------

struct FrameSlice {
  std::span<const uint8_t> payload;
  size_t consumed = 0;  // 4 + N
};

// The first frame of data: nullopt while data holds fewer than 4 + N bytes; CFrameException
// tooLarge as soon as the length is over cap.
std::optional<FrameSlice> SplitFrame(std::span<const uint8_t> data, uint32_t cap = kMaxFrameLength);

// Loads payload into target (already a scratch object: on failure it may hold part of the
// payload). Throws CFrameException malformed unless the object consumes the payload exactly.
void LoadBareFrame(std::span<const uint8_t> payload, CObject& target);
// A new object of the class the payload names, derived from expectedBase. A null tag, an unknown
// or unexpected class and trailing bytes all throw CFrameException malformed.
std::shared_ptr<CObject> LoadTaggedFrame(std::span<const uint8_t> payload, const CRuntimeClass* expectedBase);

// ---- Socket I/O -------------------------------------------------------------------------------

// Reads one frame's payload with X1Socket::ReceiveBlocking. shortPayloadText is the failure text
// when the payload stops short. Socket errors propagate as X1SocketException.
std::vector<uint8_t> ReceiveFramePayload(X1Socket& socket, const char* shortPayloadText = kFrameTextPayload,
                                         uint32_t cap = kMaxFrameLength);

// Reads a bare frame into target. The frame loads into a copy of target (loads that update in
// place see the current content) and the copy replaces target only after a complete load; on any
// failure target is untouched.
template <class T>
void ReceiveObject(X1Socket& socket, T& target, uint32_t cap = kMaxFrameLength) {
  std::vector<uint8_t> payload = ReceiveFramePayload(socket, kFrameTextPayload, cap);
  T scratch(target);
  LoadBareFrame(payload, scratch);
  target = std::move(scratch);
}

// Reads a class-tagged frame: a new object of a class derived from expectedBase.
std::shared_ptr<CObject> ReceiveUnknownObject(X1Socket& socket, const CRuntimeClass* expectedBase,
                                              uint32_t cap = kMaxFrameLength);

// One Send each; socket errors propagate as CFrameSendException.
void SendFrameBytes(X1Socket& socket, const std::vector<uint8_t>& frame);
void SendObject(X1Socket& socket, CObject& obj);
void SendUnknownObject(X1Socket& socket, const CObject& obj);
// A CTLRCPMessage with the code and texts, as a bare frame.
void SendRCPMessage(X1Socket& socket, uint16_t code, const CString& text1 = CString(), const CString& text2 = CString(),
                    const CString& text3 = CString());
