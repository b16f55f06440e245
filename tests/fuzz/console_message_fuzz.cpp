// Feeds arbitrary messages and frames to the console's protocol state, the way an engine (or
// something posing as one) could send them after the log-in: unsolicited messages with any code,
// texts and frames, and replies to the gets with any frames. The console's mirrors and views must
// take only what loads whole; nothing may crash, leak or read out of bounds, and the mirrors must
// stay consistent (every user under its own name, machines keyed by their address).
#include <cstdint>
#include <cstring>
#include <span>

#include "console/model/lookout_client.h"
#include "engine/remote/rc_codes.h"

namespace {

struct NullUi : ConsoleUi {
  void ViewUpdate(int, const ViewEvent&) override {}
  void MessageBox(const CString&, const CString&, uint32_t) override {}
  void SetOnline(bool, const CString&) override {}
  void Popup(int, const CString&, const CString&, const CString&) override {}
  void Command(uint32_t) override {}
};

struct Input {
  std::span<const uint8_t> data;
  bool Empty() const { return data.empty(); }
  uint8_t Byte() {
    if (data.empty()) return 0;
    const uint8_t b = data[0];
    data = data.subspan(1);
    return b;
  }
  CString Text() {
    const size_t n = std::min<size_t>(Byte() % 32, data.size());
    CString s(reinterpret_cast<const char*>(data.data()), n);
    data = data.subspan(n);
    return s;
  }
  FramePayload Frame() {
    const size_t n = std::min<size_t>((Byte() << 8 | Byte()), data.size());
    FramePayload f(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    data = data.subspan(n);
    return f;
  }
};

// The codes worth reaching; the fuzzer picks among them by one byte.
const uint16_t kCodes[] = {5,  22, 23, 24, 25, 26, 27,  32,  33,  34,  35,  41, 42, 51, 62, 63, 71, 72,
                           73, 74, 75, 76, 90, 91, 100, 101, 120, 131, 151, 20, 30, 40, 50, 70, 130, 150};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  NullUi ui;
  CLookoutClient client(ui, [](std::function<void()>) {});
  Input in{std::span<const uint8_t>(data, size)};
  while (!in.Empty()) {
    SessionEvent ev;
    const uint8_t pick = in.Byte();
    const uint16_t code = kCodes[pick % (sizeof kCodes / sizeof kCodes[0])];
    ev.kind = (pick & 0x80) ? SessionEvent::TransactionDone : SessionEvent::Message;
    ev.reply = RC_REPLY_DONE;
    ev.message.m_code = code;
    ev.message.m_text1 = in.Text();
    ev.message.m_text2 = in.Text();
    ev.message.m_text3 = in.Text();
    const size_t frames = in.Byte() % 15;
    for (size_t i = 0; i < frames && !in.Empty(); ++i) ev.frames.push_back(in.Frame());
    client.HandleEvent(ev);
  }
  const ConsoleMirrors& m = client.Mirrors();
  for (const auto& [name, obj] : m.users->Snapshot()) {
    const std::string* key = obj->GetKeyName();
    if (key && *key != name) __builtin_trap();
  }
  // The scheduler holds every event under its own key ("%010u" of its ID).
  if (m.scheduler)
    for (const auto& [key, obj] : m.scheduler->Events.Snapshot()) {
      const std::string* own = obj->GetKeyName();
      if (!own || *own != key) __builtin_trap();
    }
  for (const auto& [address, machine] : m.machines)
    if (machine.record.Address != address) __builtin_trap();
  return 0;
}
