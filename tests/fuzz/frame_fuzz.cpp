// Feeds arbitrary bytes to the frame reader as a stream of frames, the way a console or engine
// peer could send them: each frame is loaded bare into a message and a value, and class-tagged.
// Nothing may crash, leak or read out of bounds; whatever loads must rebuild to a frame that loads
// to the same content.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "engine/remote/rc_message.h"
#include "engine/remote/frame.h"

namespace {

// Smaller than the real cap so the fuzzer explores lengths near it instead of waiting for data.
constexpr uint32_t kFuzzCap = 1u << 16;

bool SameMessage(const CTLRCPMessage& a, const CTLRCPMessage& b) {
  return a.m_code == b.m_code && a.m_text1 == b.m_text1 && a.m_text2 == b.m_text2 &&
         a.m_text3 == b.m_text3;
}

bool SameValue(const CTLDataObject& a, const CTLDataObject& b) {
  // Compared as bytes so NaN payloads count as equal to themselves.
  CTLDataObject x(a), y(b);
  return BuildFrame(x) == BuildFrame(y);
}

void CheckBareMessage(std::span<const uint8_t> payload) {
  CTLRCPMessage msg(1, "before");
  try {
    LoadBareFrame(payload, msg);
  } catch (const CFrameException&) {
    return;
  }
  std::vector<uint8_t> again = BuildFrame(msg);
  CTLRCPMessage back;
  LoadBareFrame(std::span<const uint8_t>(again).subspan(4), back);
  if (!SameMessage(msg, back)) abort();
}

void CheckBareValue(std::span<const uint8_t> payload) {
  CTLDataObject value;
  try {
    LoadBareFrame(payload, value);
  } catch (const CFrameException&) {
    return;
  }
  // Comparisons must stay defined for whatever arrived.
  (void)value.IsEqual(value);
  (void)value.IsGreaterThan(value);
  (void)value.IsLessThan(value);
  std::vector<uint8_t> again = BuildFrame(value);
  CTLDataObject back;
  LoadBareFrame(std::span<const uint8_t>(again).subspan(4), back);
  if (!SameValue(value, back)) abort();
}

void CheckTagged(std::span<const uint8_t> payload) {
  std::shared_ptr<CObject> obj;
  try {
    obj = LoadTaggedFrame(payload, TL_RUNTIME_CLASS(CObject));
  } catch (const CFrameException&) {
    return;
  }
  if (!obj) abort();
  std::vector<uint8_t> again = BuildTaggedFrame(*obj);
  auto back = LoadTaggedFrame(std::span<const uint8_t>(again).subspan(4), TL_RUNTIME_CLASS(CObject));
  if (!back || back->GetRuntimeClass() != obj->GetRuntimeClass()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> rest(data, size);
  while (!rest.empty()) {
    std::optional<FrameSlice> slice;
    try {
      slice = SplitFrame(rest, kFuzzCap);
    } catch (const CFrameException& e) {
      if (e.GetCause() != CFrameException::tooLarge) abort();
      break;
    }
    if (!slice) break;
    if (slice->consumed < 4 || slice->consumed > rest.size()) abort();
    CheckBareMessage(slice->payload);
    CheckBareValue(slice->payload);
    CheckTagged(slice->payload);
    rest = rest.subspan(slice->consumed);
  }
  return 0;
}
