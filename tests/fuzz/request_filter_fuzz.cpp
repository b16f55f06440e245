// Feeds arbitrary bytes to the request-filter reader, as a console's upload of a right or of the
// cache settings reaches it, and evaluates what loads against a fixed request and cache entry.
// Nothing may crash, leak or read out of bounds; a collection that loads completely stores to bytes
// that load again to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/access/request_filter.h"
#include "engine/config/archive.h"

namespace {

std::vector<uint8_t> StoreOf(CRequestFilterCollection& c) {
  CArchive ar;
  c.Serialize(ar);
  return ar.TakeBytes();
}

struct Request : IRequestVariables {
  void GetProperty(uint32_t code, CTLDataObject& v) const override {
    if (code % 3 == 0) v.SetString("GET http://example.test/");
    if (code % 3 == 1) v.SetDWord(code);
    if (code % 3 == 2) v.SetInteger(-static_cast<int32_t>(code));
  }
  bool GetHeaderField(const CString& name, CString& value) const override {
    value = name;
    return true;
  }
  CString GetUserName() const override { return "fuzz"; }
};

struct Entry : ICacheEntryFields {
  void GetField(uint32_t code, CTLDataObject& v) const override { v.SetDouble(code * 1.5); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CRequestFilterCollection filters;
  try {
    CArchive in(data, size);
    filters.SerializeChecked(in);
  } catch (const CArchiveException&) {
    return 0;  // refused whole: the expected outcome for most inputs
  }
  Request request;
  RequestFilterContext ctx;
  ctx.request = &request;
  ctx.isProfileConnected = [](const CString& name) { return name.size() % 2 == 0; };
  (void)filters.GetRequiredLevel(ctx);
  (void)filters.AnyMatches(ctx);
  (void)filters.AnyMatchesCacheEntry(Entry());
  for (const auto& f : filters.GetFilters()) {
    (void)f->Bans(ctx);
    for (const auto& c : f->GetCriteria()) (void)c->GetDescription();
  }
  const std::vector<uint8_t> first = StoreOf(filters);
  CRequestFilterCollection again;
  CArchive in(first.data(), first.size());
  again.SerializeChecked(in);
  if (in.BytesLeft() != 0 || StoreOf(again) != first) abort();
  return 0;
}
