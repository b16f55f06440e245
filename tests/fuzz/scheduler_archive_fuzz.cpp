// Feeds arbitrary bytes to the scheduler's archive reader, as a console's upload (request 151)
// reaches it, and asks every event it loads whether it is due. Nothing may crash, leak or read out
// of bounds; settings that load completely store to bytes that load again to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/config/archive.h"
#include "engine/scheduler/scheduler_settings.h"

namespace {

std::vector<uint8_t> StoreOf(CSchedulerSettings& s) {
  CArchive ar;
  s.Serialize(ar);
  return ar.TakeBytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CSchedulerSettings scheduler;
  try {
    CArchive in(data, size);
    scheduler.Serialize(in);
  } catch (const CArchiveException&) {
    return 0;  // refused whole: the expected outcome for most inputs
  }
  for (const auto& e : scheduler.GetEvents()) {
    (void)e->IsDue(CDateTime(2024, 2, 29, 23, 59, 0));
    for (const auto& a : e->GetActions()) (void)a->GetDescription();
  }
  const std::vector<uint8_t> first = StoreOf(scheduler);
  CSchedulerSettings again;
  CArchive in(first.data(), first.size());
  again.Serialize(in);
  if (in.BytesLeft() != 0 || StoreOf(again) != first) abort();
  return 0;
}
