// Feeds arbitrary bytes to the dialer's archive reader, as a console's upload (requests 61 and 62)
// reaches it. Nothing may crash, leak or read out of bounds; a dialer that loads completely
// stores to bytes that load again to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/config/archive.h"
#include "engine/dialer/dialer_settings.h"

namespace {

std::vector<uint8_t> StoreOf(CDialerSettings& d) {
  CArchive ar;
  d.Serialize(ar);
  return ar.TakeBytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CDialerSettings dialer;
  try {
    CArchive in(data, size);
    dialer.Serialize(in);
  } catch (const CArchiveException&) {
    return 0;  // refused whole: the expected outcome for most inputs
  }
  const std::vector<uint8_t> first = StoreOf(dialer);
  CDialerSettings again;
  CArchive in(first.data(), first.size());
  again.Serialize(in);
  if (in.BytesLeft() != 0 || StoreOf(again) != first) abort();
  return 0;
}
