#include "console/dialogs/access/recipient_editors.h"

#include "console/dialogs/access/filter_editors.h"
#include "console/model/lookout_client.h"
#include "engine/access/group.h"
#include "engine/access/location.h"
#include "engine/access/user_db.h"
#include "engine/core/service_settings.h"

std::vector<int> RecipientPageSet(uint32_t kind, int32_t type) {
  std::vector<int> pages;
  const bool dhcpAccess = kind == SERVICE_KIND_DHCP && type == kRightAccess;
  if (!dhcpAccess) {
    pages.push_back(RECIPIENT_PAGE_USER);
    pages.push_back(RECIPIENT_PAGE_LOCATION);
  }
  pages.push_back(RECIPIENT_PAGE_TIME);
  if (type == kRightAccess && kind != SERVICE_KIND_NONE && kind != SERVICE_KIND_DNS && kind != SERVICE_KIND_DHCP)
    pages.push_back(RECIPIENT_PAGE_BAN);
  if (type == kRightAccess) pages.push_back(RECIPIENT_PAGE_ADVANCED);
  return pages;
}

CString RecipientTitle(const CString& userName) { return "Properties for recipient " + userName; }

RecipientSheetContext RecipientContextOf(const CLookoutClient& client) {
  RecipientSheetContext ctx;
  ctx.principals = PrincipalsOf(client);
  return ctx;
}

// ---- Recipient page -------------------------------------------------------------------------------

void RecipientUserPage::Load(const CRecipient& r) {
  specify = r.SpecifyUser != 0;
  level = r.MinimumSecurityLevel;
  name = r.UserName;
  modified = false;
}

ControlStates RecipientUserPage::States() const {
  ControlStates st;
  st[EVERYONE].enabled = !existing;
  st[SPECIFY].enabled = !existing;
  // Who an existing recipient is cannot change here, so its name is not offered for editing.
  st[NAME].enabled = !existing && specify;
  st[LIST].enabled = !existing && specify;
  return st;
}

bool RecipientUserPage::Validate(Prompter& prompter) {
  if (!modified) return true;
  if (!existing && specify && name.empty()) {
    prompter.Message(kTitleError, kTextSelectUserOrGroup, EDITOR_MB_STOP);
    return false;
  }
  return true;
}

void RecipientUserPage::Apply(CRecipient& r) const {
  r.MinimumSecurityLevel = level;
  if (!modified) return;
  // A new recipient for everybody is named as the default one is, whatever the edit last held.
  if (!existing) r.UserName = specify ? name : CString("Everyone");
  r.SpecifyUser = specify ? 1 : 0;
}

void RecipientUserPage::SetSpecify(bool value) {
  specify = value;
  modified = true;
}

void RecipientUserPage::Select(const RecipientSheetContext& ctx, size_t row) {
  if (row >= ctx.principals.size()) return;
  name = ctx.principals[row].name;
  modified = true;
}

void RecipientUserPage::SetName(const CString& value) {
  if (value == name) return;
  name = value;
  modified = true;
}

// ---- Location page --------------------------------------------------------------------------------

void RecipientLocationPage::Load(const CRecipient& r) {
  specify = r.SpecifyLocation != 0;
  included = r.IncludedLocations;
  excluded = r.ExcludedLocations;
  includedEdit.clear();
  excludedEdit.clear();
  modified = false;
}

bool RecipientLocationPage::Validate(Prompter& prompter) {
  if (!modified) return true;
  // The lists are written whatever the radio says, so every pattern in them must compile.
  if (!CheckPatterns(prompter)) return false;
  if (!specify) return true;
  const uint32_t style = EDITOR_MB_STOP | EDITOR_MB_DEFAULT_NO;
  if (included.empty() && !prompter.AskYesNo(kTitleInvalidSetting, kTextNoLocations, style)) return false;
  bool localIncluded = false, localExcluded = false;
  for (const CString& p : included)
    if ((localIncluded = CIPFilter(p).Matches("127.0.0.1"))) break;
  for (const CString& p : excluded)
    if ((localExcluded = CIPFilter(p).Matches("127.0.0.1"))) break;
  if ((!localIncluded || localExcluded) && !prompter.AskYesNo(kTitlePossibleProblem, kTextLocalhost, style))
    return false;
  return true;
}

void RecipientLocationPage::Apply(CRecipient& r) const {
  if (!modified) return;
  r.SpecifyLocation = specify ? 1 : 0;
  r.IncludedLocations = included;
  r.ExcludedLocations = excluded;
}

// ---- Time page ------------------------------------------------------------------------------------

namespace {
CLockableList& SliceList(CTimeFilter& f, bool ex) { return ex ? f.Exclusions : f.Inclusions; }
std::vector<std::shared_ptr<CTimeSlice>> Slices(const CTimeFilter& f, bool ex) {
  std::vector<std::shared_ptr<CTimeSlice>> out;
  for (const auto& obj : (ex ? f.Exclusions : f.Inclusions).Snapshot())
    if (auto s = std::dynamic_pointer_cast<CTimeSlice>(obj)) out.push_back(std::move(s));
  return out;
}
}  // namespace

void RecipientTimePage::Load(const CRecipient& r) {
  specify = r.SpecifyTime != 0;
  m_filter.CopyFrom(r.TimeFilter);
  modified = false;
}

ControlStates RecipientTimePage::States() const {
  ControlStates st;
  for (int id : {INCLUDED, INCLUDED_ADD, INCLUDED_REMOVE, EXCLUDED, EXCLUDED_ADD, EXCLUDED_REMOVE})
    st[id].enabled = specify;
  return st;
}

bool RecipientTimePage::Validate(Prompter& prompter) {
  if (!modified) return true;
  if (specify && m_filter.Inclusions.IsEmpty() &&
      !prompter.AskYesNo(kTitleInvalidSetting, kTextNoTimes, EDITOR_MB_STOP | EDITOR_MB_DEFAULT_NO))
    return false;
  return true;
}

void RecipientTimePage::Apply(CRecipient& r) const {
  if (!modified) return;
  r.SpecifyTime = specify ? 1 : 0;
  r.TimeFilter.CopyFrom(m_filter);
}

void RecipientTimePage::SetSpecify(bool value) {
  specify = value;
  modified = true;
}

std::vector<CString> RecipientTimePage::Rows(bool ex) const {
  std::vector<CString> rows;
  for (const auto& s : Slices(m_filter, ex)) rows.push_back(s->GetDescription());
  return rows;
}

std::shared_ptr<CTimeSlice> RecipientTimePage::Slice(bool ex, size_t row) const {
  const auto slices = Slices(m_filter, ex);
  return row < slices.size() ? slices[row] : nullptr;
}

void RecipientTimePage::Add(bool ex, std::shared_ptr<CTimeSlice> slice) {
  if (!slice) return;
  if (ex ? m_filter.AddExclusion(std::move(slice)) : m_filter.AddInclusion(std::move(slice))) modified = true;
}

void RecipientTimePage::Replace(bool ex, size_t row, std::shared_ptr<CTimeSlice> slice) {
  if (!slice) return;
  CLockableList& list = SliceList(m_filter, ex);
  CLockGuard guard(list);
  auto all = list.Snapshot();
  if (row >= all.size()) return;
  all[row] = std::move(slice);
  list.RemoveAll();
  for (auto& s : all) list.AddTail(std::move(s));
  modified = true;
}

void RecipientTimePage::Remove(bool ex, size_t row) {
  auto slice = Slice(ex, row);
  if (!slice) return;
  if (ex ? m_filter.RemoveExclusion(slice.get()) : m_filter.RemoveInclusion(slice.get())) modified = true;
}

// ---- Time Slice dialog ----------------------------------------------------------------------------

CDateTime WithTimeOfDay(const CDateTime& base, int32_t secondOfDay) {
  const int64_t day = base.IsValid() ? base.GetDayNumber() : 0;
  return CDateTime::FromSeconds(day * 86400 + secondOfDay);
}

TimeSliceEditor::TimeSliceEditor(const CTimeSlice* slice) {
  if (slice) {
    m_base = std::make_shared<CTimeSlice>(*slice);
  } else {
    // A new slice: every day, all day; the times offered are the working day, and today.
    m_base = std::make_shared<CTimeSlice>();
    const CDateTime now = CDateTime::GetCurrentTime();
    m_base->StartTime = WithTimeOfDay(CDateTime(), 9 * 3600);
    m_base->EndTime = WithTimeOfDay(CDateTime(), 17 * 3600);
    starting = WithTimeOfDay(now, 0);
    finishing = WithTimeOfDay(now, 86399);
  }
  single = m_base->Every == 0;
  days = m_base->EveryWhat & CTimeSlice::kAllDays;
  between = m_base->CheckTime != 0;
  if (!single) {
    fromTime = m_base->StartTime;
    toTime = m_base->EndTime;
  } else {
    fromTime = WithTimeOfDay(CDateTime(), 9 * 3600);
    toTime = WithTimeOfDay(CDateTime(), 17 * 3600);
  }
  if (slice) {
    starting = m_base->StartTime;
    finishing = m_base->EndTime;
  }
}

ControlStates TimeSliceEditor::States() const {
  ControlStates st;
  st[STARTING].enabled = single;
  st[FINISHING].enabled = single;
  for (int id : kDays) st[id].enabled = !single;
  st[ALL_DAY].enabled = !single;
  st[BETWEEN].enabled = !single;
  st[FROM].enabled = !single && between;
  st[TO].enabled = !single && between;
  return st;
}

bool TimeSliceEditor::Validate(Prompter& prompter) const {
  if (single) {
    if (!starting.IsValid() || !finishing.IsValid()) {
      prompter.Message(kTitleInvalidTimeSlice, kTextInvalidDateTime, EDITOR_MB_STOP);
      return false;
    }
    if (finishing < starting) {
      prompter.Message(kTitleInvalidTimeSlice, kTextEndBeforeStart, EDITOR_MB_STOP);
      return false;
    }
    return true;
  }
  if (between) {
    if (!fromTime.IsValid() || !toTime.IsValid()) {
      prompter.Message(kTitleInvalidTimeSlice, kTextInvalidDateTime, EDITOR_MB_STOP);
      return false;
    }
    // The slice test never matches a range whose start lies after its end.
    if (fromTime.GetSecondOfDay() > toTime.GetSecondOfDay()) {
      prompter.Message(kTitleInvalidTimeSlice, kTextOvernight, EDITOR_MB_STOP);
      return false;
    }
  }
  if ((days & CTimeSlice::kAllDays) == 0 &&
      !prompter.AskYesNo(kTitleInvalidTimeSlice, kTextNoDays, EDITOR_MB_EXCLAMATION | EDITOR_MB_DEFAULT_NO))
    return false;
  return true;
}

std::shared_ptr<CTimeSlice> TimeSliceEditor::Result() const {
  auto s = std::make_shared<CTimeSlice>(*m_base);
  s->Every = single ? 0 : 1;
  s->EveryWhat = days & CTimeSlice::kAllDays;
  if (single) {
    s->StartTime = starting;
    s->EndTime = finishing;
    s->CheckTime = 1;
  } else {
    s->CheckTime = between ? 1 : 0;
    s->StartTime = fromTime;
    s->EndTime = toTime;
  }
  return s;
}

// ---- Sheet ----------------------------------------------------------------------------------------

RecipientSheet::RecipientSheet(const CRecipient* existing, uint32_t kind, int32_t type, RecipientSheetContext ctx)
    : m_copy(existing ? Clone(*existing) : std::make_shared<CRecipient>()),
      m_existing(existing != nullptr),
      m_kind(kind),
      m_type(type),
      m_ctx(std::move(ctx)),
      m_pages(RecipientPageSet(kind, type)) {
  for (RecipientPage* page : {static_cast<RecipientPage*>(&user), static_cast<RecipientPage*>(&location),
                              static_cast<RecipientPage*>(&time)}) {
    page->existing = m_existing;
    page->Load(*m_copy);
  }
}

void RecipientSheet::AddFilterPages(CriterionDialogs& dialogs, const CriterionContext& ctx) {
  for (int id : m_pages) {
    if (id == RECIPIENT_PAGE_BAN) ban = std::make_shared<BanListPage>(m_kind, dialogs, ctx);
    if (id == RECIPIENT_PAGE_ADVANCED) advanced = std::make_shared<RecipientAdvancedPage>(m_kind, m_type, dialogs, ctx);
  }
  for (RecipientPage* page : {static_cast<RecipientPage*>(ban.get()), static_cast<RecipientPage*>(advanced.get())}) {
    if (!page) continue;
    page->existing = m_existing;
    page->Load(*m_copy);
  }
}

CString RecipientSheet::Title() const {
  return m_existing ? RecipientTitle(m_copy->UserName) : CString(kNewRecipientTitle);
}

RecipientPage* RecipientSheet::Page(int id) {
  bool shown = false;
  for (int p : m_pages) shown |= p == id;
  if (!shown) return nullptr;
  switch (id) {
    case RECIPIENT_PAGE_USER: return &user;
    case RECIPIENT_PAGE_LOCATION: return &location;
    case RECIPIENT_PAGE_TIME: return &time;
    case RECIPIENT_PAGE_BAN: return ban.get();
    case RECIPIENT_PAGE_ADVANCED: return advanced.get();
    default: return nullptr;
  }
}

std::shared_ptr<CRecipient> RecipientSheet::Ok(Prompter& prompter, int* refusedPage) {
  std::vector<PageLogic<CRecipient>*> order;
  std::vector<int> ids;
  for (int id : m_pages)
    if (RecipientPage* page = Page(id)) {
      order.push_back(page);
      ids.push_back(id);
    }
  int refused = -1;
  auto result = ValidateAndApply(order, *m_copy, prompter, &refused);
  if (refusedPage) *refusedPage = refused >= 0 ? ids[static_cast<size_t>(refused)] : 0;
  return result;
}

void ReplaceRecipient(CRight& right, size_t row, std::shared_ptr<CRecipient> recipient) {
  if (!recipient) return;
  CLockGuard guard(right.Recipients);
  auto all = right.Recipients.Snapshot();
  if (row >= all.size()) return;
  all[row] = std::move(recipient);
  right.Recipients.RemoveAll();
  for (auto& r : all) right.Recipients.AddTail(std::move(r));
}
