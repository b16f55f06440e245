#include "console/dialogs/access/filter_editors.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "console/model/lookout_client.h"
#include "engine/access/group.h"
#include "engine/config/util.h"
#include "engine/core/service_settings.h"
#include "engine/dialer/dialer_settings.h"

namespace {

bool SameText(const CString& a, const CString& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

CString Trimmed(const CString& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == CString::npos) return CString();
  const size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Services with a client and a server end: their requests name the server.
bool HasServerEnd(uint32_t kind) {
  switch (kind) {
    case SERVICE_KIND_WWW:
    case SERVICE_KIND_POP3:
    case SERVICE_KIND_TELNET:
    case SERVICE_KIND_FTP:
    case SERVICE_KIND_SOCKS:
    case SERVICE_KIND_REALAUDIO:
    case SERVICE_KIND_VDOLIVE:
    case SERVICE_KIND_XDMA: return true;
    default: return false;
  }
}

// The shortest text that reads back as the same double, so an untouched value round-trips.
CString DoubleText(double d) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d);
  return r.ec == std::errc() ? CString(buf, r.ptr) : CString("0");
}

std::optional<int64_t> ParseSigned(const CString& text, int64_t min, int64_t max) {
  const CString t = Trimmed(text);
  if (t.empty()) return std::nullopt;
  int64_t v = 0;
  const char* b = t.data();
  const char* e = t.data() + t.size();
  if (*b == '+') ++b;
  const auto r = std::from_chars(b, e, v);
  if (r.ec != std::errc() || r.ptr != e || v < min || v > max) return std::nullopt;
  return v;
}

std::optional<double> ParseDouble(const CString& text) {
  const CString t = Trimmed(text);
  if (t.empty()) return std::nullopt;
  double v = 0;
  const char* b = t.data();
  const char* e = t.data() + t.size();
  if (*b == '+') ++b;
  const auto r = std::from_chars(b, e, v);
  if (r.ec != std::errc() || r.ptr != e || !std::isfinite(v)) return std::nullopt;
  return v;
}

// A header field name is an HTTP token: anything else can never be the name of a request's field.
bool IsHeaderName(const CString& name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (c <= 32 || c >= 127 || std::strchr("\"(),/:;<=>?@[\\]{}", c)) return false;
  return true;
}

void Fail(FieldError* error, int control, const CString& text) {
  if (error) *error = {control, text};
}

}  // namespace

CString NotAGroupText(const CString& name) { return FormatString("\"%s\" is not a group", name.c_str()); }

CriterionContext CriterionContextOf(const CLookoutClient& client, uint32_t serviceKind, int32_t mode) {
  CriterionContext ctx;
  ctx.serviceKind = serviceKind;
  ctx.mode = mode;
  const ConsoleMirrors& m = client.Mirrors();
  if (m.users) {
    CLockGuard guard(*m.users);
    for (const CString& key : m.users->Keys())
      if (auto g = std::dynamic_pointer_cast<CGroup>(m.users->Find(key))) ctx.groups.push_back(g->Name);
  }
  if (m.dialer) {
    for (const auto& [key, obj] : m.dialer->Profiles.Snapshot()) {
      auto p = std::dynamic_pointer_cast<CFilterComponent>(obj);
      ctx.profiles.push_back(p && !p->Name.empty() ? p->Name : key);
    }
  }
  return ctx;
}

std::vector<int32_t> OfferedVariables(const CriterionContext& ctx) {
  std::vector<int32_t> v;
  if (ctx.Purge()) {
    for (int32_t i = 0; i < static_cast<int32_t>(kCacheFieldCount); ++i) v.push_back(i);
    return v;
  }
  const uint32_t kind = ctx.mode == CRITERION_MODE_CACHE ? static_cast<uint32_t>(SERVICE_KIND_WWW) : ctx.serviceKind;
  for (int32_t i : {0, 1, 4, 5, 6, 7, 8, 9, 10, 11, 26, 27, 28, 29, 30, 32, 33}) v.push_back(i);
  if (HasServerEnd(kind)) v.insert(v.end(), {2, 3, 34});
  switch (kind) {
    case SERVICE_KIND_WWW: v.insert(v.end(), {12, 13, 14, 15, 16, 17, 18, 31}); break;
    case SERVICE_KIND_POP3: v.push_back(19); break;
    case SERVICE_KIND_FTP: v.push_back(20); break;
    case SERVICE_KIND_VDOLIVE: v.push_back(21); break;
    case SERVICE_KIND_SOCKS: v.insert(v.end(), {22, 23, 24}); break;
    case SERVICE_KIND_XDMA: v.push_back(25); break;
    default: break;
  }
  std::sort(v.begin(), v.end());
  return v;
}

int32_t VariableKind(const CriterionContext& ctx, int32_t index) {
  return ctx.Purge() ? GetCacheFieldKind(index) : GetPropertyKind(index);
}

const char* VariableName(const CriterionContext& ctx, int32_t index) {
  if (index < 0) return nullptr;
  return ctx.Purge() ? GetCacheFieldName(static_cast<uint32_t>(index)) : GetPropertyName(static_cast<uint32_t>(index));
}

std::vector<int32_t> SuitableComparisons(int32_t kind) {
  switch (kind) {
    case TL_DATA_INTEGER:
    case TL_DATA_DWORD:
    case TL_DATA_DOUBLE: return {TL_COMPARE_EQUALS, TL_COMPARE_GREATER, TL_COMPARE_LESS};
    case TL_DATA_STRING:
      return {TL_COMPARE_EQUALS, TL_COMPARE_CONTAINS, TL_COMPARE_BEGINS, TL_COMPARE_ENDS, TL_COMPARE_EMPTY};
    case TL_DATA_BOOLEAN: return {TL_COMPARE_TRUE, TL_COMPARE_FALSE};
    default: return {};
  }
}

// ---- CriterionLogic ---------------------------------------------------------------------------

CriterionLogic::CriterionLogic(CriterionContext ctx) : m_ctx(std::move(ctx)) {
  const auto offered = OfferedVariables(m_ctx);
  SetVariable(offered.empty() ? 0 : offered.front());
}

void CriterionLogic::Load(const CRequestCriterion* criterion) {
  m_loaded.reset();
  if (!criterion) return;
  m_loaded = criterion->Clone();
  const CRequestCriterion& c = *m_loaded;
  dataIndex = c.DataIndex;
  comparison = c.Comparison;
  negate = c.Not != 0;
  name = c.VariableName;
  const int32_t kind = Kind();
  switch (kind) {
    case TL_DATA_INTEGER: value = std::to_string(c.Value.nData); break;
    case TL_DATA_DWORD: value = std::to_string(c.Value.dwData); break;
    case TL_DATA_DOUBLE: value = DoubleText(c.Value.dData); break;
    case TL_DATA_STRING: value = c.Value.strData; break;
    default: value.clear(); break;
  }
  // A stored comparison that cannot hold for the variable is replaced by one that can: the dialog
  // shows, and OK writes, only criteria that can be evaluated.
  const auto suitable = SuitableComparisons(kind);
  if (!suitable.empty() && std::find(suitable.begin(), suitable.end(), comparison) == suitable.end())
    comparison = suitable.front();
  m_loadedIndex = dataIndex;
  m_loadedComparison = c.Comparison;
  m_loadedNegate = negate;
  m_loadedValue = value;
  m_loadedName = name;
  m_loadedSound = kind >= 0 && c.Value.DataType == static_cast<uint32_t>(kind) && comparison == c.Comparison &&
                  (UsesName() || c.VariableName.empty());
}

void CriterionLogic::SetVariable(int32_t index) {
  dataIndex = index;
  const auto suitable = SuitableComparisons(Kind());
  if (suitable.empty()) return;
  if (std::find(suitable.begin(), suitable.end(), comparison) == suitable.end()) comparison = suitable.front();
}

std::vector<int32_t> CriterionLogic::Comparisons() const { return SuitableComparisons(Kind()); }

bool CriterionLogic::UsesName() const {
  if (m_ctx.Purge()) return false;
  return dataIndex == static_cast<int32_t>(kPropHTTPHeaderField) ||
         dataIndex == static_cast<int32_t>(kPropUserMemberOf) || dataIndex == static_cast<int32_t>(kPropDialerOnLine);
}

bool CriterionLogic::UsesValue() const {
  const int32_t kind = Kind();
  if (kind == TL_DATA_STRING) return comparison != TL_COMPARE_EMPTY;
  return kind == TL_DATA_INTEGER || kind == TL_DATA_DWORD || kind == TL_DATA_DOUBLE;
}

CString CriterionLogic::NameLabel() const {
  if (!UsesName()) return CString();
  if (dataIndex == static_cast<int32_t>(kPropHTTPHeaderField)) return "HTTP Header Field Name";
  if (dataIndex == static_cast<int32_t>(kPropUserMemberOf)) return "Group";
  return "Dialer profile";
}

std::vector<CString> CriterionLogic::NameChoices() const {
  if (m_ctx.Purge()) return {};
  if (dataIndex == static_cast<int32_t>(kPropUserMemberOf)) return m_ctx.groups;
  if (dataIndex == static_cast<int32_t>(kPropDialerOnLine)) return m_ctx.profiles;
  return {};
}

ControlStates CriterionLogic::States() const {
  ControlStates s;
  const bool comparisons = !Comparisons().empty();
  s[COMPARISON] = {comparisons, comparisons, std::nullopt};
  s[VALUE] = {UsesValue(), Kind() != TL_DATA_BOOLEAN && comparisons, std::nullopt};
  s[NAME] = {UsesName(), UsesName(), std::nullopt};
  return s;
}

bool CriterionLogic::Validate(FieldError* error) const {
  const int32_t kind = Kind();
  if (kind < 0) {
    Fail(error, VARIABLE, FormatString("Unknown variable %d", dataIndex));
    return false;
  }
  const auto suitable = Comparisons();
  if (!suitable.empty() && std::find(suitable.begin(), suitable.end(), comparison) == suitable.end()) {
    Fail(error, COMPARISON, "This comparison cannot hold for that variable");
    return false;
  }
  if (UsesName()) {
    const CString n = Trimmed(name);
    if (dataIndex == static_cast<int32_t>(kPropHTTPHeaderField)) {
      if (!IsHeaderName(n)) {
        Fail(error, NAME,
             n.empty() ? CString(kTextEnterHeaderName)
                       : FormatString("\"%s\" is not a valid HTTP header field name", n.c_str()));
        return false;
      }
    } else if (dataIndex == static_cast<int32_t>(kPropUserMemberOf)) {
      if (n.empty()) {
        Fail(error, NAME, kTextSelectGroup);
        return false;
      }
      // A name that is not a group never holds: the criterion would silently never match.
      if (!m_ctx.groups.empty() &&
          std::none_of(m_ctx.groups.begin(), m_ctx.groups.end(), [&](const CString& g) { return SameText(g, n); })) {
        Fail(error, NAME, NotAGroupText(n));
        return false;
      }
    } else if (n.empty()) {
      Fail(error, NAME, kTextSelectProfile);
      return false;
    }
  }
  if (!UsesValue()) return true;
  switch (kind) {
    case TL_DATA_INTEGER: {
      // Security levels are 0..3; a larger level would only ever mean "refused".
      const bool level = !m_ctx.Purge() && dataIndex == static_cast<int32_t>(kPropUserLevel);
      const int64_t lo = level ? 0 : std::numeric_limits<int32_t>::min();
      const int64_t hi = level ? 3 : std::numeric_limits<int32_t>::max();
      if (!ParseSigned(value, lo, hi)) {
        Fail(error, VALUE,
             FormatString("Please enter an integer between %lld and %lld.", static_cast<long long>(lo),
                          static_cast<long long>(hi)));
        return false;
      }
      return true;
    }
    case TL_DATA_DWORD:
      if (!ParseUnsigned(value, 0, std::numeric_limits<uint32_t>::max())) {
        Fail(error, VALUE, IntegerRangeText(0, std::numeric_limits<uint32_t>::max()));
        return false;
      }
      return true;
    case TL_DATA_DOUBLE:
      if (!ParseDouble(value)) {
        Fail(error, VALUE, kTextEnterNumber);
        return false;
      }
      return true;
    default: return true;
  }
}

bool CriterionLogic::Unchanged() const {
  return m_loaded && m_loadedSound && dataIndex == m_loadedIndex && comparison == m_loadedComparison &&
         negate == m_loadedNegate && (!UsesValue() || value == m_loadedValue) && (!UsesName() || name == m_loadedName);
}

std::shared_ptr<CRequestCriterion> CriterionLogic::Result() const {
  std::shared_ptr<CRequestCriterion> c;
  if (m_loaded) {
    c = m_loaded->Clone();
    if (Unchanged()) return c;
  } else if (m_ctx.Purge()) {
    c = std::make_shared<CCachePurgeCriterion>();
  } else {
    c = std::make_shared<CRequestCriterion>();
  }
  const int32_t kind = Kind();
  CTLDataObject v;
  switch (kind) {
    case TL_DATA_INTEGER:
      v.SetInteger(static_cast<int32_t>(ParseSigned(value, INT32_MIN, INT32_MAX).value_or(0)));
      break;
    case TL_DATA_DWORD: v.SetDWord(static_cast<uint32_t>(ParseUnsigned(value, 0, UINT32_MAX).value_or(0))); break;
    case TL_DATA_DOUBLE: v.SetDouble(ParseDouble(value).value_or(0)); break;
    case TL_DATA_STRING: v.SetString(UsesValue() ? value : CString()); break;
    case TL_DATA_GROUP:
    case TL_DATA_PROFILE: v.SetString(Trimmed(name)); break;
    default: v.SetInteger(0); break;
  }
  v.SetType(static_cast<uint32_t>(kind));
  {
    CLockGuard guard(*c);
    c->DataIndex = dataIndex;
    // Group and profile tests use no comparison: a new one stores 0, an edited one keeps its own.
    c->Comparison = Comparisons().empty() ? (m_loaded ? m_loaded->Comparison : 0) : comparison;
    c->Not = negate ? 1 : 0;
    c->VariableName = UsesName() ? Trimmed(name) : CString();
    c->Value.CopyFrom(v);
  }
  c->UpdateDescription();
  return c;
}

void CopyCriterionValues(CRequestCriterion& to, const CRequestCriterion& from) {
  if (&to == &from) return;
  CArchive out;
  const_cast<CRequestCriterion&>(from).Serialize(out);
  CArchive in(out.Bytes().data(), out.Bytes().size());
  to.Serialize(in);
}

// ---- The tree ---------------------------------------------------------------------------------

CString NextFilterName() {
  static std::atomic<unsigned> counter{0};
  return FormatString(kFilterNameFormat, ++counter);
}

FilterTreeLogic::FilterTreeLogic(CRequestFilterCollection& filters, CriterionContext ctx, CriterionDialogs& dialogs)
    : m_filters(filters), m_ctx(std::move(ctx)), m_dialogs(dialogs) {}

std::vector<FilterTreeLogic::Row> FilterTreeLogic::Rows() const {
  std::vector<Row> rows;
  const auto filters = m_filters.GetFilters();
  for (size_t i = 0; i < filters.size(); ++i) {
    CString name;
    {
      CLockGuard guard(*filters[i]);
      name = filters[i]->Name;
    }
    rows.push_back({{static_cast<int>(i), -1}, name, FILTER_IMAGE_FILTER});
    const auto criteria = filters[i]->GetCriteria();
    for (size_t j = 0; j < criteria.size(); ++j)
      rows.push_back(
          {{static_cast<int>(i), static_cast<int>(j)}, criteria[j]->GetDescription(), FILTER_IMAGE_CRITERION});
  }
  return rows;
}

std::vector<int> FilterTreeLogic::Menu(std::optional<FilterTreeItem> item) {
  if (item && item->IsFilter()) return {FILTER_CMD_NEW_CRITERION, FILTER_CMD_NEW_FILTER, FILTER_CMD_DELETE_FILTER};
  if (item && item->IsCriterion())
    return {FILTER_CMD_NEW_CRITERION, FILTER_CMD_DELETE_CRITERION, FILTER_CMD_SEPARATOR, FILTER_CMD_NEW_FILTER,
            FILTER_CMD_PROPERTIES};
  return {FILTER_CMD_NEW_FILTER};
}

const char* FilterTreeLogic::CommandText(int command) {
  switch (command) {
    case FILTER_CMD_NEW_CRITERION: return "New filter criterion";
    case FILTER_CMD_NEW_FILTER: return "New filter";
    case FILTER_CMD_DELETE_FILTER: return "Delete filter";
    case FILTER_CMD_DELETE_CRITERION: return "Delete filter criterion";
    case FILTER_CMD_PROPERTIES: return "Properties";
    default: return "";
  }
}

std::shared_ptr<CRequestFilter> FilterTreeLogic::FilterAt(int index) const {
  const auto filters = m_filters.GetFilters();
  if (index < 0 || static_cast<size_t>(index) >= filters.size()) return nullptr;
  return filters[static_cast<size_t>(index)];
}

bool FilterTreeLogic::Run(int command, std::optional<FilterTreeItem> item, std::optional<FilterTreeItem>* select) {
  std::optional<FilterTreeItem> none;
  if (!select) select = &none;
  switch (command) {
    case FILTER_CMD_NEW_FILTER: {
      auto f = std::make_shared<CRequestFilter>();
      f->Name = NextFilterName();
      m_filters.Add(f);
      *select = FilterTreeItem{static_cast<int>(m_filters.GetCount()) - 1, -1};
      return true;
    }
    case FILTER_CMD_NEW_CRITERION: {
      if (!item) return false;
      auto f = FilterAt(item->filter);
      if (!f) return false;
      auto c = m_dialogs.EditCriterion(nullptr, m_ctx);
      if (!c || !f->AddCriterion(c)) return false;
      *select = FilterTreeItem{item->filter, static_cast<int>(f->Criteria.GetCount()) - 1};
      return true;
    }
    case FILTER_CMD_DELETE_FILTER: {
      if (!item || !item->IsFilter()) return false;
      auto f = FilterAt(item->filter);
      select->reset();
      return f && m_filters.Remove(f.get());
    }
    case FILTER_CMD_DELETE_CRITERION:
    case FILTER_CMD_PROPERTIES: {
      if (!item || !item->IsCriterion()) return false;
      auto f = FilterAt(item->filter);
      if (!f) return false;
      const auto criteria = f->GetCriteria();
      if (static_cast<size_t>(item->criterion) >= criteria.size()) return false;
      const auto& c = criteria[static_cast<size_t>(item->criterion)];
      if (command == FILTER_CMD_DELETE_CRITERION) {
        select->reset();
        return f->Criteria.Remove(c.get());
      }
      auto edited = m_dialogs.EditCriterion(c.get(), m_ctx);
      if (!edited) return false;
      CopyCriterionValues(*c, *edited);
      *select = item;
      return true;
    }
    default: return false;
  }
}

bool FilterTreeLogic::Insert(std::optional<FilterTreeItem> item, std::optional<FilterTreeItem>* select) {
  return Run(item ? FILTER_CMD_NEW_CRITERION : FILTER_CMD_NEW_FILTER, item, select);
}

bool FilterTreeLogic::Delete(std::optional<FilterTreeItem> item) {
  if (!item) return false;
  return Run(item->IsFilter() ? FILTER_CMD_DELETE_FILTER : FILTER_CMD_DELETE_CRITERION, item);
}

bool FilterTreeLogic::Activate(FilterTreeItem item) { return item.IsCriterion() && Run(FILTER_CMD_PROPERTIES, item); }

bool FilterTreeLogic::Rename(FilterTreeItem item, const CString& label) {
  if (!item.IsFilter() || label.empty()) return false;
  auto f = FilterAt(item.filter);
  if (!f) return false;
  CLockGuard guard(*f);
  if (f->Name == label) return false;
  f->Name = label;
  return true;
}

// ---- Ban list page ----------------------------------------------------------------------------

BanListPage::BanListPage(uint32_t serviceKind, CriterionDialogs& dialogs, CriterionContext ctx)
    : m_ctx(std::move(ctx)), m_dialogs(dialogs), m_working(std::make_shared<CRequestFilter>()) {
  m_ctx.serviceKind = serviceKind;
  m_ctx.mode = CRITERION_MODE_BAN;
}

void BanListPage::Load(const CRecipient& r) {
  enabled = r.SpecifyBan != 0;
  m_loadedSpecify = r.SpecifyBan;
  m_working->CopyFrom(r.BanFilter);
}

ControlStates BanListPage::States() const { return {{LIST, {enabled, true, std::nullopt}}}; }

void BanListPage::Apply(CRecipient& r) const {
  // An unchanged switch keeps its stored value, so OK without changes writes the same bytes.
  r.SpecifyBan = enabled == (m_loadedSpecify != 0) ? m_loadedSpecify : (enabled ? 1u : 0u);
  r.BanFilter.CopyFrom(*m_working);
}

std::vector<CString> BanListPage::Rows() const {
  std::vector<CString> rows;
  for (const auto& c : m_working->GetCriteria()) rows.push_back(c->GetDescription());
  return rows;
}

bool BanListPage::Add() {
  auto c = m_dialogs.EditCriterion(nullptr, m_ctx);
  return c && m_working->AddCriterion(c);
}

bool BanListPage::Edit(size_t row) {
  const auto criteria = m_working->GetCriteria();
  if (row >= criteria.size()) return false;
  auto edited = m_dialogs.EditCriterion(criteria[row].get(), m_ctx);
  if (!edited) return false;
  CopyCriterionValues(*criteria[row], *edited);
  return true;
}

bool BanListPage::Remove(size_t row) {
  const auto criteria = m_working->GetCriteria();
  return row < criteria.size() && m_working->Criteria.Remove(criteria[row].get());
}

// ---- Advanced page ----------------------------------------------------------------------------

namespace {
CriterionContext WithKind(CriterionContext ctx, uint32_t kind, int32_t mode) {
  ctx.serviceKind = kind;
  ctx.mode = mode;
  return ctx;
}
}  // namespace

RecipientAdvancedPage::RecipientAdvancedPage(uint32_t serviceKind, int32_t rightType, CriterionDialogs& dialogs,
                                             CriterionContext ctx)
    : m_working(std::make_shared<CRequestFilterCollection>()),
      m_tree(*m_working, WithKind(std::move(ctx), serviceKind, rightType), dialogs) {}

void RecipientAdvancedPage::Load(const CRecipient& r) {
  specify = r.SpecifyRequest != 0;
  m_loadedSpecify = r.SpecifyRequest;
  m_working->CopyFrom(r.RequestFilter);
}

ControlStates RecipientAdvancedPage::States() const {
  const ControlState s{specify, true, std::nullopt};
  return {{TREE, s}, {ADD_FILTER, s}, {ADD_CRITERION, s}, {REMOVE, s}};
}

bool RecipientAdvancedPage::Validate(Prompter& prompter) {
  if (specify && m_working->IsEmpty() &&
      !prompter.AskYesNo(kTitleFilterInvalidSetting, kTextNoRequestFilters, EDITOR_MB_STOP | EDITOR_MB_DEFAULT_NO))
    return false;
  return true;
}

void RecipientAdvancedPage::Apply(CRecipient& r) const {
  r.SpecifyRequest = specify == (m_loadedSpecify != 0) ? m_loadedSpecify : (specify ? 1u : 0u);
  r.RequestFilter.CopyFrom(*m_working);
}

bool RecipientAdvancedPage::AddFilter(std::optional<FilterTreeItem>* select) {
  return specify && m_tree.Run(FILTER_CMD_NEW_FILTER, std::nullopt, select);
}

bool RecipientAdvancedPage::AddCriterion(std::optional<FilterTreeItem> item, std::optional<FilterTreeItem>* select) {
  return specify && item && m_tree.Run(FILTER_CMD_NEW_CRITERION, item, select);
}

bool RecipientAdvancedPage::Remove(std::optional<FilterTreeItem> item) { return specify && m_tree.Delete(item); }
