// Feeds arbitrary bytes to the archive readers of the mapping services, as a console's upload of a
// TCP or UDP mapping service reaches the engine: the service's fields, the rules with their
// location patterns and the link values. Nothing may crash, leak or read out of bounds; a service
// that loads completely stores to bytes that load again to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/config/archive.h"
#include "engine/proxy/mapping/mapping_settings.h"

namespace {

template <class S>
std::vector<uint8_t> StoreOf(S& s) {
  CArchive ar;
  s.Serialize(ar);
  return ar.TakeBytes();
}

template <class S>
void RoundTrip(const uint8_t* data, size_t size) {
  S service;
  try {
    CArchive in(data, size);
    service.Serialize(in);
  } catch (const CArchiveException&) {
    return;  // refused: the expected outcome for most inputs
  }
  const std::vector<uint8_t> first = StoreOf(service);
  S again;
  CArchive in(first.data(), first.size());
  again.Serialize(in);
  if (in.BytesLeft() != 0 || StoreOf(again) != first) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the class, so one corpus reaches both readers.
  if (data[0] & 1)
    RoundTrip<CTCPMappingServiceSettings>(data + 1, size - 1);
  else
    RoundTrip<CUDPMappingServiceSettings>(data + 1, size - 1);
  return 0;
}
