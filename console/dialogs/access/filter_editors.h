#pragma once
// The request-filter editors without a toolkit: the filter tree over a request-filter collection
// (filters with their criteria, the commands of its menus and keys), the Criterion dialog's values
// and checks, and two pages of the recipient sheet: the Ban list and Advanced pages.
//
// A criterion's value carries the kind of its variable, and a comparison that does not suit that
// kind never holds, Not or not. The Criterion dialog therefore offers, for the variable chosen,
// only the comparisons that can hold, parses the value as that kind (numbers in range) and writes
// the kind with it, so every criterion the console builds can be evaluated.
//
// The tree and the pages edit working copies: the pages write their copy into the recipient only
// at the sheet's OK, after every page validated.
//
// Threads: the user-interface thread, which owns the mirrors.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "console/dialogs/access/recipient_editors.h"
#include "console/dialogs/common/editor.h"
#include "engine/access/request_filter.h"
#include "engine/access/right.h"

class CLookoutClient;

// What the Criterion dialog is opened for. `mode` is the right type when the tree edits a
// recipient's request filters, or one of the modes below.
enum : int32_t {
  CRITERION_MODE_BAN = 20,    // a recipient's ban list
  CRITERION_MODE_CACHE = 21,  // the web cache's "what to cache" (web request variables)
  CRITERION_MODE_PURGE = 22,  // the web cache's "what to purge" (cache-entry fields)
};

struct CriterionContext {
  uint32_t serviceKind = 0;
  int32_t mode = 0;
  // The names the dialog offers for "User is member of" and "Dialer is on line". An empty group
  // list means the console does not know the groups (then any name is taken).
  std::vector<CString> groups;
  std::vector<CString> profiles;

  bool Purge() const { return mode == CRITERION_MODE_PURGE; }
};

// The context with the group and profile names of the console's mirrors.
CriterionContext CriterionContextOf(const CLookoutClient& client, uint32_t serviceKind, int32_t mode);

// The variables the dialog offers, in code order: cache-entry fields for a purge, otherwise the
// request variables every session answers plus those of the service kind.
std::vector<int32_t> OfferedVariables(const CriterionContext& ctx);
// The value kind of a variable in that context (-1 beyond the table).
int32_t VariableKind(const CriterionContext& ctx, int32_t index);
const char* VariableName(const CriterionContext& ctx, int32_t index);
// The comparisons that can hold for a value kind; empty for the kinds that use none (group,
// profile).
std::vector<int32_t> SuitableComparisons(int32_t kind);

// Texts of these editors.
inline constexpr const char* kCriterionCaption = "Criterion";
inline constexpr const char* kTitleFilterInvalidSetting = "Invalid setting";
inline constexpr const char* kTextNoRequestFilters =
    "You have not specified any request filters for this\nrecipient but you have indicated that filters must be "
    "met.\nThis renders this recipient unusable.\n\nDo you wish to continue?";
inline constexpr const char* kTitleCriterion = "Criterion";
inline constexpr const char* kTextEnterHeaderName = "You must enter the name of the HTTP header field";
inline constexpr const char* kTextSelectGroup = "You must select a group";
inline constexpr const char* kTextSelectProfile = "You must select a dialer profile";
inline constexpr const char* kTextEnterNumber = "Please enter a number.";
// "\"%s\" is not a group"
CString NotAGroupText(const CString& name);
inline constexpr const char* kFilterNameFormat = "Filter %u";

// ---- The Criterion dialog ---------------------------------------------------------------------

class CriterionLogic {
 public:
  enum : int { MET = 1174, NOT_MET = 1175, COMPARISON = 1176, VALUE = 1177, NAME = 1178, VARIABLE = 1179 };
  explicit CriterionLogic(CriterionContext ctx);

  // A criterion to edit (its values are shown), or none for a new one.
  void Load(const CRequestCriterion* criterion);
  // Chooses a variable: the comparison stays when it suits the new kind, else the first that does.
  void SetVariable(int32_t index);
  ControlStates States() const;
  // The comparisons to offer for the variable chosen (the one stored stays listed if unsuitable
  // only until it is changed: Validate refuses it).
  std::vector<int32_t> Comparisons() const;
  // The label of the name field (1178) for the variable, empty when the field is not used.
  CString NameLabel() const;
  std::vector<CString> NameChoices() const;
  // Parses and checks; on failure *error names the control and its text.
  bool Validate(FieldError* error) const;
  // The criterion the dialog leaves for its caller (after Validate): the one loaded with the new
  // values (left untouched when nothing was changed), or a new one of the context's class.
  std::shared_ptr<CRequestCriterion> Result() const;

  const CriterionContext& Context() const { return m_ctx; }
  int32_t Kind() const { return VariableKind(m_ctx, dataIndex); }

  int32_t dataIndex = 0;
  int32_t comparison = TL_COMPARE_EQUALS;
  bool negate = false;
  CString value;  // the value as typed
  CString name;   // header, group or profile name

 private:
  bool UsesValue() const;
  bool UsesName() const;
  bool Unchanged() const;
  CriterionContext m_ctx;
  std::shared_ptr<CRequestCriterion> m_loaded;
  int32_t m_loadedIndex = 0, m_loadedComparison = 0;
  bool m_loadedNegate = false, m_loadedSound = false;
  CString m_loadedValue, m_loadedName;
};

// How the tree and the Ban list page open the Criterion dialog. The Qt program shows the dialog;
// tests answer. Returns the edited copy of `existing` (null: a new criterion), or null on Cancel;
// `existing` is never touched.
class CriterionDialogs {
 public:
  virtual ~CriterionDialogs() = default;
  virtual std::shared_ptr<CRequestCriterion> EditCriterion(const CRequestCriterion* existing,
                                                           const CriterionContext& ctx) = 0;
};

// Takes over the values of `from` into `to` in place (both of one class), so lists holding `to`
// keep their element.
void CopyCriterionValues(CRequestCriterion& to, const CRequestCriterion& from);

// ---- The request-filter tree ------------------------------------------------------------------

// An item of the tree: a filter (criterion -1) or one of its criteria.
struct FilterTreeItem {
  int filter = -1;
  int criterion = -1;
  bool operator==(const FilterTreeItem&) const = default;
  bool IsFilter() const { return filter >= 0 && criterion < 0; }
  bool IsCriterion() const { return filter >= 0 && criterion >= 0; }
};

// Commands of the tree's menus.
enum : int {
  FILTER_CMD_NEW_CRITERION = 1,
  FILTER_CMD_NEW_FILTER = 2,
  FILTER_CMD_DELETE_FILTER = 3,
  FILTER_CMD_DELETE_CRITERION = 4,
  FILTER_CMD_PROPERTIES = 5,
  FILTER_CMD_SEPARATOR = 0,
};
// The image numbers of its items.
enum : int { FILTER_IMAGE_FILTER = 5, FILTER_IMAGE_CRITERION = 6 };

// The next name of a new filter ("Filter 1", "Filter 2" ...): one counter for the console's whole
// run, so filters added on different pages keep apart.
CString NextFilterName();

class FilterTreeLogic {
 public:
  // The tree works on `filters` directly; the caller keeps it alive (a page's working copy).
  FilterTreeLogic(CRequestFilterCollection& filters, CriterionContext ctx, CriterionDialogs& dialogs);

  struct Row {
    FilterTreeItem item;
    CString text;
    int image = 0;
  };
  // The rows in tree order: each filter, then its criteria.
  std::vector<Row> Rows() const;
  // The menu for an item (none: the empty part of the tree), separators as 0.
  static std::vector<int> Menu(std::optional<FilterTreeItem> item);
  static const char* CommandText(int command);

  // Runs a menu command on the item; true when the collection changed. The selection afterwards
  // goes to *select (the new or edited item, or nothing after a delete).
  bool Run(int command, std::optional<FilterTreeItem> item, std::optional<FilterTreeItem>* select = nullptr);
  // Keys: Insert (a new filter with nothing selected, else a new criterion) and Delete.
  bool Insert(std::optional<FilterTreeItem> item, std::optional<FilterTreeItem>* select = nullptr);
  bool Delete(std::optional<FilterTreeItem> item);
  // A double click on a criterion opens its properties (a filter only opens or closes).
  bool Activate(FilterTreeItem item);
  // Label editing: filters only; an empty label is dropped. True when the name changed.
  bool Rename(FilterTreeItem item, const CString& label);

  CRequestFilterCollection& Filters() { return m_filters; }
  const CriterionContext& Context() const { return m_ctx; }

 private:
  std::shared_ptr<CRequestFilter> FilterAt(int index) const;
  CRequestFilterCollection& m_filters;
  CriterionContext m_ctx;
  CriterionDialogs& m_dialogs;
};

// ---- Recipient sheet: Ban list and Advanced pages ---------------------------------------------

class BanListPage : public RecipientPage {
 public:
  enum : int { ENABLE = 1343, LIST = 1344, ADD = 1098, EDIT = 1290, REMOVE = 1229 };
  BanListPage(uint32_t serviceKind, CriterionDialogs& dialogs, CriterionContext ctx = {});
  void Load(const CRecipient& r) override;
  ControlStates States() const override;
  void Apply(CRecipient& r) const override;

  // The rows: the working copy's criteria by description.
  std::vector<CString> Rows() const;
  // Add (Insert key), Edit (double click) and Delete (Delete key); true when the list changed.
  bool Add();
  bool Edit(size_t row);
  bool Remove(size_t row);

  bool enabled = false;
  const CRequestFilter& Working() const { return *m_working; }

 private:
  CriterionContext m_ctx;
  CriterionDialogs& m_dialogs;
  std::shared_ptr<CRequestFilter> m_working;
  uint32_t m_loadedSpecify = 0;
};

class RecipientAdvancedPage : public RecipientPage {
 public:
  enum : int { ALL = 1120, SPECIFY = 1173, TREE = 1236, ADD_FILTER = 1237, ADD_CRITERION = 1238, REMOVE = 1229 };
  RecipientAdvancedPage(uint32_t serviceKind, int32_t rightType, CriterionDialogs& dialogs, CriterionContext ctx = {});
  void Load(const CRecipient& r) override;
  ControlStates States() const override;
  // With "Specify" and no filter: the question; No refuses.
  bool Validate(Prompter& prompter) override;
  void Apply(CRecipient& r) const override;

  // The page's buttons on the tree's selection; they act only while "Specify" is chosen.
  bool AddFilter(std::optional<FilterTreeItem>* select = nullptr);
  bool AddCriterion(std::optional<FilterTreeItem> item, std::optional<FilterTreeItem>* select = nullptr);
  bool Remove(std::optional<FilterTreeItem> item);

  FilterTreeLogic& Tree() { return m_tree; }
  bool specify = false;

 private:
  std::shared_ptr<CRequestFilterCollection> m_working;
  FilterTreeLogic m_tree;
  uint32_t m_loadedSpecify = 0;
};
