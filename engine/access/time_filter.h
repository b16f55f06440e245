#pragma once
// Time slices and time filters.
//
// A slice is one window of local wall-clock time: recurring on the weekdays of a mask (bit 0
// Sunday .. bit 6 Saturday), optionally between two times of day, or one-off between two
// date-times. A filter allows an instant when some inclusion slice contains it and no exclusion
// slice does, and tells when that answer next changes (a session's end time).
//
// Instants are compared in whole seconds, and both ends belong to a slice: a 09:00-17:00 slice
// contains 17:00:00 and not 17:00:01. For a recurring slice only the time of day of StartTime and
// EndTime counts (their date parts are ignored). A recurring slice whose start lies after its end
// (22:00-06:00) contains nothing; the console refuses to make one. A slice whose compared
// date-times are not valid contains nothing.
//
// Archive form of CTimeSlice: the base's, Every, CheckTime, EveryWhat (u32 each), StartTime,
// EndTime (date-time archive form, datetime.h). Of CTimeFilter: the base's, then the inclusion and
// the exclusion list in the list form (lockable.h), elements CTimeSlice.
// Registry: a slice's "Every", "CheckTime", "EveryWhat" DWORDs and "StartTime", "EndTime" 8-byte
// binaries; a filter's slices in the sub-keys "Inclusion<n>" and "Exclusion<n>" (n from 0 in list
// order, loaded in numeric order).
#include <memory>
#include <vector>

#include "engine/config/datetime.h"
#include "engine/access/filter_component.h"

class CTimeSlice : public CFilterComponent {
  TL_DECLARE_SERIAL(CTimeSlice)

 public:
  CTimeSlice() = default;
  CTimeSlice(const CTimeSlice&) = default;
  CTimeSlice& operator=(const CTimeSlice&) = default;

  // Weekday bits of EveryWhat.
  static constexpr uint32_t kAllDays = 127, kWeekdays = 62, kWeekend = 65;

  virtual bool IsInSlice(const CDateTime& t) const;
  // The first start of the slice strictly after now (the clock's now without an argument).
  // A one-off slice whose start has passed and a recurring slice without days have none.
  bool GetNextStart(CDateTime& out) const;
  bool GetNextStart(const CDateTime& now, CDateTime& out) const;
  // The end of the stretch of this slice that contains t: false when t is not in the slice or the
  // slice has no end (a one-off slice without times; a recurring slice of all days without times).
  // A recurring slice without times ends at the midnight that starts its first day not set.
  bool GetNextEnd(const CDateTime& t, CDateTime& out) const;

  CString GetDescription() const override;
  bool SaveToRegistry(const CString& key) const override;
  bool LoadFromRegistry(const CString& key) override;
  void Serialize(CArchive& ar) override;

  // Instants (whole seconds) in [from, to] at which this slice's answer may change: the first
  // second inside and the first second after each stretch.
  void AddBoundaries(int64_t from, int64_t to, std::vector<int64_t>& out) const;

  uint32_t Every = 1;
  uint32_t CheckTime = 0;
  uint32_t EveryWhat = kAllDays;
  CDateTime StartTime;
  CDateTime EndTime;
};

class CTimeFilter : public CFilterComponent {
  TL_DECLARE_SERIAL(CTimeFilter)

 public:
  CTimeFilter();
  CTimeFilter(const CTimeFilter&) = delete;
  CTimeFilter& operator=(const CTimeFilter&) = delete;

  // True when some inclusion slice contains t and no exclusion slice does. An empty inclusion list
  // allows nothing; a failure while testing refuses.
  virtual bool Match(const CDateTime& t) const;
  bool MatchNow() const { return Match(CDateTime::GetCurrentTime()); }

  // The first whole second after now at which Match gives the other answer than it gives now: for
  // an allowed instant, the moment the permission ends; for a refused one, the moment it begins.
  // Always strictly after now. False when the answer never changes (the caller then sets no end
  // time).
  bool GetNextChange(CDateTime& out) const;
  bool GetNextChange(const CDateTime& now, CDateTime& out) const;

  // False (nothing added) for a null slice or one already in the list.
  bool AddInclusion(std::shared_ptr<CTimeSlice> slice);
  bool AddExclusion(std::shared_ptr<CTimeSlice> slice);
  // Takes the slice out of its list; false when the list does not hold it.
  bool RemoveInclusion(const CTimeSlice* slice);
  bool RemoveExclusion(const CTimeSlice* slice);
  // This filter becomes equal to other: name, description and copies of both lists' slices. A
  // copy onto itself changes nothing; the source's locks are never held with this filter's.
  void CopyFrom(const CTimeFilter& other);

  // Saving deletes the key's tree first, so slices removed since the last save go with it.
  bool SaveToRegistry(const CString& key) const override;
  // Replaces both lists by the slices stored under the key.
  bool LoadFromRegistry(const CString& key) override;
  void Serialize(CArchive& ar) override;

  // Elements are CTimeSlice; each list has its own lock, never held together with the other.
  CLockableList Inclusions;
  CLockableList Exclusions;
};
