#include "engine/remote/frame.h"

#include <algorithm>
#include <new>

#include "engine/config/lockable.h"
#include "engine/net/x1_socket.h"
#include "engine/remote/rc_message.h"

namespace {

// The payload grows by at most this much per read, so a peer that announces a large frame and
// sends little makes us hold no more than it actually sent.
constexpr size_t kReadChunk = 64 * 1024;

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

[[noreturn]] void ThrowTooLarge() { throw CFrameException(CFrameException::tooLarge, kFrameTextMemory); }

// Patches the length into the 4 placeholder bytes the frame starts with.
std::vector<uint8_t> Finish(std::vector<uint8_t> bytes) {
  const uint64_t n = bytes.size() - 4;
  if (n > kMaxFrameLength) ThrowTooLarge();
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(n >> (8 * i));
  return bytes;
}

[[noreturn]] void ThrowMalformed(const char* detail) {
  throw CFrameException(CFrameException::malformed, CString("Malformed frame: ") + detail);
}

}  // namespace

std::vector<uint8_t> BuildFrame(CObject& obj) {
  CArchive ar;
  ar << uint32_t{0};
  obj.Serialize(ar);
  return Finish(ar.TakeBytes());
}

std::vector<uint8_t> BuildTaggedFrame(const CObject& obj) {
  CArchive ar;
  ar << uint32_t{0};
  ar.WriteObject(&obj);
  return Finish(ar.TakeBytes());
}

std::optional<FrameSlice> SplitFrame(std::span<const uint8_t> data, uint32_t cap) {
  if (data.size() < 4) return std::nullopt;
  const uint32_t n = GetU32(data.data());
  if (n > cap) ThrowTooLarge();
  if (data.size() - 4 < n) return std::nullopt;
  return FrameSlice{data.subspan(4, n), size_t{4} + n};
}

void LoadBareFrame(std::span<const uint8_t> payload, CObject& target) {
  try {
    CArchive ar(payload.data(), payload.size());
    target.Serialize(ar);
    // A table records a failed load instead of throwing it; a frame that broke off inside one is
    // as malformed as any other, and must not pass for a complete table.
    if (auto* table = dynamic_cast<CLockableCollection*>(&target); table && !table->LastLoadComplete())
      ThrowMalformed(("incomplete table: " + table->LastLoadError()).c_str());
    if (ar.BytesLeft() != 0) ThrowMalformed("bytes left after the object");
  } catch (const CArchiveException& e) {
    ThrowMalformed(e.what());
  } catch (const std::bad_alloc&) {
    throw CFrameException(CFrameException::noMemory, kFrameTextMemory);
  }
}

std::shared_ptr<CObject> LoadTaggedFrame(std::span<const uint8_t> payload, const CRuntimeClass* expectedBase) {
  std::shared_ptr<CObject> obj;
  try {
    CArchive ar(payload.data(), payload.size());
    obj = ar.ReadObject(expectedBase);
    if (!obj) ThrowMalformed("no object");
    if (ar.BytesLeft() != 0) ThrowMalformed("bytes left after the object");
  } catch (const CArchiveException& e) {
    ThrowMalformed(e.what());
  } catch (const std::bad_alloc&) {
    throw CFrameException(CFrameException::noMemory, kFrameTextMemory);
  }
  return obj;
}

std::vector<uint8_t> ReceiveFramePayload(X1Socket& socket, const char* shortPayloadText, uint32_t cap) {
  uint8_t header[4];
  if (socket.ReceiveBlocking(header, sizeof header) != sizeof header) {
    throw CFrameException(CFrameException::shortHeader, kFrameTextHeader);
  }
  const uint32_t n = GetU32(header);
  if (n > cap) ThrowTooLarge();
  std::vector<uint8_t> payload;
  try {
    payload.reserve(std::min<size_t>(n, kReadChunk));
    while (payload.size() < n) {
      const size_t have = payload.size();
      const size_t want = std::min<size_t>(n - have, kReadChunk);
      payload.resize(have + want);
      const size_t got = socket.ReceiveBlocking(payload.data() + have, want);
      if (got != want) throw CFrameException(CFrameException::shortPayload, shortPayloadText);
    }
  } catch (const std::bad_alloc&) {
    throw CFrameException(CFrameException::noMemory, kFrameTextMemory);
  }
  return payload;
}

std::shared_ptr<CObject> ReceiveUnknownObject(X1Socket& socket, const CRuntimeClass* expectedBase, uint32_t cap) {
  try {
    std::vector<uint8_t> payload = ReceiveFramePayload(socket, kFrameTextHeader, cap);
    return LoadTaggedFrame(payload, expectedBase);
  } catch (CFrameException& e) {
    e.SetTagged();
    throw;
  }
}

void SendFrameBytes(X1Socket& socket, const std::vector<uint8_t>& frame) {
  try {
    socket.Send(frame.data(), frame.size());
  } catch (const CFrameSendException&) {
    throw;
  } catch (const X1SocketException& e) {
    throw CFrameSendException(e);
  }
}

void SendObject(X1Socket& socket, CObject& obj) { SendFrameBytes(socket, BuildFrame(obj)); }

void SendUnknownObject(X1Socket& socket, const CObject& obj) { SendFrameBytes(socket, BuildTaggedFrame(obj)); }

void SendRCPMessage(X1Socket& socket, uint16_t code, const CString& text1, const CString& text2, const CString& text3) {
  CTLRCPMessage msg(code, text1, text2, text3);
  SendObject(socket, msg);
}
