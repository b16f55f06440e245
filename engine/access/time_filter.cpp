#include "engine/access/time_filter.h"

#include <algorithm>
#include <limits>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

TL_IMPLEMENT_SERIAL(CTimeSlice, CFilterComponent, 1)
TL_IMPLEMENT_SERIAL(CTimeFilter, CFilterComponent, 1)

namespace {

constexpr int64_t kDay = CDateTime::kSecondsPerDay;
// A recurring pattern repeats every week; a stretch of eight days without a change therefore
// means no change until some one-off boundary.
constexpr int64_t kRecurringWindow = 8 * kDay;

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Bit of the weekday of a day number (day 0, 30 December 1899, was a Saturday): 0 Sunday.
int WeekdayBit(int64_t day) { return static_cast<int>(((day % 7) + 7 + 6) % 7); }

bool DaySet(uint32_t mask, int64_t day) { return ((mask >> WeekdayBit(day)) & 1u) != 0; }

CString IndexedKey(const CString& key, const char* prefix, size_t i) {
  return key + "\\" + prefix + std::to_string(i);
}

std::vector<std::shared_ptr<CTimeSlice>> Slices(const CLockableList& list) {
  std::vector<std::shared_ptr<CTimeSlice>> out;
  for (auto& obj : list.Snapshot()) {
    if (auto slice = std::dynamic_pointer_cast<CTimeSlice>(obj)) out.push_back(std::move(slice));
  }
  return out;
}

// The filter's answer for t from snapshots of its lists. A failure refuses: an exclusion that
// cannot be tested must not let the time through.
bool MatchSlices(const std::vector<std::shared_ptr<CTimeSlice>>& incl,
                 const std::vector<std::shared_ptr<CTimeSlice>>& excl, const CDateTime& t) {
  try {
    bool in = std::any_of(incl.begin(), incl.end(), [&](const auto& s) { return s->IsInSlice(t); });
    if (!in) return false;
    return std::none_of(excl.begin(), excl.end(), [&](const auto& s) { return s->IsInSlice(t); });
  } catch (...) {
    return false;
  }
}

bool AddSlice(CLockableList& list, std::shared_ptr<CTimeSlice> slice) {
  if (!slice) return false;
  CLockGuard guard(list);
  if (list.Contains(slice.get())) return false;
  list.AddTail(std::move(slice));
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CTimeSlice

bool CTimeSlice::IsInSlice(const CDateTime& t) const {
  CLockGuard guard(*this);
  if (!t.IsValid()) return false;
  const int64_t secs = t.GetTotalSeconds();
  if (Every) {
    const int64_t day = FloorDiv(secs, kDay);
    if (!DaySet(EveryWhat, day)) return false;
    if (!CheckTime) return true;
    if (!StartTime.IsValid() || !EndTime.IsValid()) return false;
    const int64_t sod = secs - day * kDay;
    return sod >= StartTime.GetSecondOfDay() && sod <= EndTime.GetSecondOfDay();
  }
  if (!CheckTime) return true;
  if (!StartTime.IsValid() || !EndTime.IsValid()) return false;
  return secs >= StartTime.GetTotalSeconds() && secs <= EndTime.GetTotalSeconds();
}

bool CTimeSlice::GetNextStart(CDateTime& out) const { return GetNextStart(CDateTime::GetCurrentTime(), out); }

bool CTimeSlice::GetNextStart(const CDateTime& now, CDateTime& out) const {
  CLockGuard guard(*this);
  if (!now.IsValid()) return false;
  const int64_t n = now.GetTotalSeconds();
  if (!Every) {
    // A start that has passed is no next start: taking it would end a session at once.
    if (!StartTime.IsValid() || StartTime.GetTotalSeconds() <= n) return false;
    out = StartTime;
    return true;
  }
  if ((EveryWhat & kAllDays) == 0) return false;
  if (CheckTime && !StartTime.IsValid()) return false;
  const int64_t startOfDay = CheckTime ? StartTime.GetSecondOfDay() : 0;
  const int64_t today = FloorDiv(n, kDay);
  // Offset 7 is today's weekday again: the only occurrence when today is the only day set and
  // today's start has passed.
  for (int64_t i = 0; i <= 7; ++i) {
    const int64_t at = (today + i) * kDay + startOfDay;
    if (DaySet(EveryWhat, today + i) && at > n) {
      out = CDateTime::FromSeconds(at);
      return out.IsValid();
    }
  }
  return false;
}

bool CTimeSlice::GetNextEnd(const CDateTime& t, CDateTime& out) const {
  CLockGuard guard(*this);
  if (!IsInSlice(t)) return false;
  if (!Every) {
    if (!CheckTime) return false;  // contains every time: no end
    out = EndTime;
    return true;
  }
  const int64_t day = t.GetDayNumber();
  if (CheckTime) {
    out = CDateTime::FromSeconds(day * kDay + EndTime.GetSecondOfDay());
    return out.IsValid();
  }
  for (int64_t i = 1; i <= 7; ++i) {
    if (!DaySet(EveryWhat, day + i)) {
      out = CDateTime::FromSeconds((day + i) * kDay);
      return out.IsValid();
    }
  }
  return false;
}

void CTimeSlice::AddBoundaries(int64_t from, int64_t to, std::vector<int64_t>& out) const {
  CLockGuard guard(*this);
  auto add = [&](int64_t at) {
    if (at >= from && at <= to) out.push_back(at);
  };
  if (CheckTime && (!StartTime.IsValid() || !EndTime.IsValid())) return;
  if (!Every) {
    if (!CheckTime) return;
    add(StartTime.GetTotalSeconds());
    add(EndTime.GetTotalSeconds() + 1);
    return;
  }
  if (to < from) return;
  const int64_t startOfDay = CheckTime ? StartTime.GetSecondOfDay() : 0;
  const int64_t endOfDay = CheckTime ? EndTime.GetSecondOfDay() + 1 : kDay;
  for (int64_t day = FloorDiv(from, kDay) - 1; day <= FloorDiv(to, kDay); ++day) {
    add(day * kDay + startOfDay);
    add(day * kDay + endOfDay);
  }
}

CString CTimeSlice::GetDescription() const {
  CLockGuard guard(*this);
  if (!Every) return "From " + StartTime.Format("%c") + " to " + EndTime.Format("%c");
  CString text = "Every ";
  const uint32_t mask = EveryWhat & kAllDays;
  if (mask == kAllDays) {
    text += "day";
  } else if (mask == kWeekdays) {
    text += "weekday";
  } else if (mask == kWeekend) {
    text += "weekend";
  } else {
    // Monday first, Sunday last.
    static const struct {
      int bit;
      const char* letters;
    } kDays[] = {{1, "M"}, {2, "T"}, {3, "W"}, {4, "Th"}, {5, "F"}, {6, "S"}, {0, "Su"}};
    for (const auto& d : kDays) {
      if ((mask >> d.bit) & 1u) text += d.letters;
    }
  }
  if (CheckTime) text += " from " + StartTime.Format("%X") + " to " + EndTime.Format("%X");
  return text;
}

bool CTimeSlice::SaveToRegistry(const CString& key) const {
  CLockGuard guard(*this);
  RegBatch batch;
  bool ok = CFilterComponent::SaveToRegistry(key);
  ok &= RegWriteDWORD(key, "Every", Every);
  ok &= RegWriteDWORD(key, "CheckTime", CheckTime);
  ok &= RegWriteDWORD(key, "EveryWhat", EveryWhat);
  ok &= StartTime.WriteToRegistry(key, "StartTime");
  ok &= EndTime.WriteToRegistry(key, "EndTime");
  return ok;
}

bool CTimeSlice::LoadFromRegistry(const CString& key) {
  CLockGuard guard(*this);
  CFilterComponent::LoadFromRegistry(key);
  Every = RegReadDWORD(key, "Every", 1);
  CheckTime = RegReadDWORD(key, "CheckTime", 0);
  EveryWhat = RegReadDWORD(key, "EveryWhat", kAllDays);
  StartTime.ReadFromRegistry(key, "StartTime");
  EndTime.ReadFromRegistry(key, "EndTime");
  return true;
}

void CTimeSlice::Serialize(CArchive& ar) {
  CLockGuard guard(*this);
  CFilterComponent::Serialize(ar);
  if (ar.IsStoring()) {
    ar << Every << CheckTime << EveryWhat;
    StartTime.Serialize(ar);
    EndTime.Serialize(ar);
    return;
  }
  uint32_t every = 0, checkTime = 0, everyWhat = 0;
  CDateTime start, end;
  ar >> every >> checkTime >> everyWhat;
  start.Serialize(ar);
  end.Serialize(ar);
  Every = every;
  CheckTime = checkTime;
  EveryWhat = everyWhat;
  StartTime = start;
  EndTime = end;
}

// ---------------------------------------------------------------------------------------------
// CTimeFilter

CTimeFilter::CTimeFilter() {
  Inclusions.SetElementClass(TL_RUNTIME_CLASS(CTimeSlice));
  Exclusions.SetElementClass(TL_RUNTIME_CLASS(CTimeSlice));
}

bool CTimeFilter::Match(const CDateTime& t) const {
  try {
    bool in = false;
    {
      CLockGuard guard(Inclusions);
      for (const auto& obj : Inclusions) {
        auto* slice = dynamic_cast<const CTimeSlice*>(obj.get());
        if (slice && slice->IsInSlice(t)) {
          in = true;
          break;
        }
      }
    }
    if (!in) return false;
    CLockGuard guard(Exclusions);
    for (const auto& obj : Exclusions) {
      auto* slice = dynamic_cast<const CTimeSlice*>(obj.get());
      if (slice && slice->IsInSlice(t)) return false;
    }
    return true;
  } catch (...) {
    return false;
  }
}

bool CTimeFilter::GetNextChange(CDateTime& out) const { return GetNextChange(CDateTime::GetCurrentTime(), out); }

bool CTimeFilter::GetNextChange(const CDateTime& now, CDateTime& out) const {
  if (!now.IsValid()) return false;
  // Work on snapshots so that no list lock is held across the search, and both lists are seen
  // as they were at one moment each.
  const auto incl = Slices(Inclusions);
  const auto excl = Slices(Exclusions);
  auto match = [&](int64_t at) { return MatchSlices(incl, excl, CDateTime::FromSeconds(at)); };

  const int64_t n = now.GetTotalSeconds();
  const bool answer = match(n);
  const int64_t far = CDateTime(9999, 12, 31, 23, 59, 59).GetTotalSeconds();

  std::vector<int64_t> oneOff;
  std::vector<const CTimeSlice*> recurring;
  for (const auto* list : {&incl, &excl}) {
    for (const auto& s : *list) {
      CLockGuard guard(*s);
      if (s->Every) {
        recurring.push_back(s.get());
      } else {
        s->AddBoundaries(n + 1, far, oneOff);
      }
    }
  }
  std::sort(oneOff.begin(), oneOff.end());
  oneOff.erase(std::unique(oneOff.begin(), oneOff.end()), oneOff.end());

  int64_t cur = n;
  auto nextOneOff = oneOff.begin();
  for (;;) {
    while (nextOneOff != oneOff.end() && *nextOneOff <= cur) ++nextOneOff;
    int64_t windowEnd = std::min(cur + kRecurringWindow, far);
    if (nextOneOff != oneOff.end()) windowEnd = std::min(windowEnd, *nextOneOff - 1);
    std::vector<int64_t> candidates;
    for (const auto* s : recurring) s->AddBoundaries(cur + 1, windowEnd, candidates);
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    for (int64_t at : candidates) {
      if (match(at) != answer) {
        out = CDateTime::FromSeconds(at);
        return true;
      }
    }
    // Nothing changes before the next one-off boundary (or ever, when there is none).
    if (nextOneOff == oneOff.end()) return false;
    if (match(*nextOneOff) != answer) {
      out = CDateTime::FromSeconds(*nextOneOff);
      return true;
    }
    cur = *nextOneOff;
  }
}

bool CTimeFilter::AddInclusion(std::shared_ptr<CTimeSlice> slice) { return AddSlice(Inclusions, std::move(slice)); }

bool CTimeFilter::AddExclusion(std::shared_ptr<CTimeSlice> slice) { return AddSlice(Exclusions, std::move(slice)); }

bool CTimeFilter::RemoveInclusion(const CTimeSlice* slice) { return slice && Inclusions.Remove(slice); }

bool CTimeFilter::RemoveExclusion(const CTimeSlice* slice) { return slice && Exclusions.Remove(slice); }

void CTimeFilter::CopyFrom(const CTimeFilter& other) {
  // Copying onto itself would empty the lists before reading them.
  if (&other == this) return;
  CString name, description;
  {
    CLockGuard guard(other);
    name = other.Name;
    description = other.Description;
  }
  {
    CLockGuard guard(*this);
    Name = std::move(name);
    Description = std::move(description);
  }
  // Copies are made under the source list's lock only, then swapped in under this list's.
  auto copy = [](CLockableList& dst, const CLockableList& src) {
    std::vector<std::shared_ptr<CObject>> slices;
    for (const auto& obj : src.Snapshot())
      if (auto s = std::dynamic_pointer_cast<CTimeSlice>(obj)) slices.push_back(std::make_shared<CTimeSlice>(*s));
    CLockGuard guard(dst);
    dst.RemoveAll();
    for (auto& s : slices) dst.AddTail(std::move(s));
  };
  copy(Inclusions, other.Inclusions);
  copy(Exclusions, other.Exclusions);
}

bool CTimeFilter::SaveToRegistry(const CString& key) const {
  RegBatch batch;
  bool ok = RegDeleteKeyTree(key);
  ok &= CFilterComponent::SaveToRegistry(key);
  const auto incl = Slices(Inclusions);
  for (size_t i = 0; i < incl.size(); ++i) ok &= incl[i]->SaveToRegistry(IndexedKey(key, "Inclusion", i));
  const auto excl = Slices(Exclusions);
  for (size_t i = 0; i < excl.size(); ++i) ok &= excl[i]->SaveToRegistry(IndexedKey(key, "Exclusion", i));
  return ok;
}

bool CTimeFilter::LoadFromRegistry(const CString& key) {
  CFilterComponent::LoadFromRegistry(key);
  auto load = [&](CLockableList& list, const char* prefix) {
    std::vector<std::shared_ptr<CTimeSlice>> slices;
    for (uint32_t n : RegEnumNumberedSubKeys(key, prefix)) {
      auto slice = std::make_shared<CTimeSlice>();
      slice->LoadFromRegistry(IndexedKey(key, prefix, n));
      slices.push_back(std::move(slice));
    }
    CLockGuard guard(list);
    list.RemoveAll();
    for (auto& s : slices) list.AddTail(std::move(s));
  };
  load(Inclusions, "Inclusion");
  load(Exclusions, "Exclusion");
  return true;
}

void CTimeFilter::Serialize(CArchive& ar) {
  CFilterComponent::Serialize(ar);
  Inclusions.SerializeChecked(ar);
  Exclusions.SerializeChecked(ar);
}
