// The request-filter editors' logic without a display: which variables and comparisons the
// Criterion dialog offers, its checks and texts, the criteria it builds judged by the real
// evaluation, the filter tree's commands, menus and keys, and the recipient's Ban list and
// Advanced pages (rules, the question, working copies, OK without changes keeping the bytes).
#include "console/dialogs/access/filter_editors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "engine/core/service_settings.h"

namespace {

struct Boxes : Prompter {
  void Message(const CString& title, const CString& text, uint32_t) override { seen.push_back(title + "|" + text); }
  bool AskYesNo(const CString& title, const CString& text, uint32_t style) override {
    seen.push_back(title + "|" + text);
    styles.push_back(style);
    return answer;
  }
  void Beep() override {}
  std::vector<CString> seen;
  std::vector<uint32_t> styles;
  bool answer = false;
};

// The Criterion dialog as a test answers it: the real logic, filled by a script, or Cancel.
struct ScriptedCriteria : CriterionDialogs {
  std::shared_ptr<CRequestCriterion> EditCriterion(const CRequestCriterion* existing,
                                                   const CriterionContext& ctx) override {
    contexts.push_back(ctx);
    if (!fill) return nullptr;
    CriterionLogic logic(ctx);
    logic.Load(existing);
    fill(logic);
    FieldError error;
    if (!logic.Validate(&error)) return nullptr;
    return logic.Result();
  }
  std::function<void(CriterionLogic&)> fill;
  std::vector<CriterionContext> contexts;
};

// A request as a session answers it.
struct FakeRequest : IRequestVariables {
  void GetProperty(uint32_t code, CTLDataObject& value) const override {
    auto it = props.find(code);
    if (it != props.end()) value.CopyFrom(it->second);
  }
  bool GetHeaderField(const CString& name, CString& value) const override {
    auto it = headers.find(name);
    if (it == headers.end()) return false;
    value = it->second;
    return true;
  }
  CString GetUserName() const override { return "alice"; }
  void SetText(uint32_t code, const CString& s) { props[code].SetString(s); }
  std::map<uint32_t, CTLDataObject> props;
  std::map<CString, CString> headers;
};

bool Has(const std::vector<int32_t>& v, int32_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }

CriterionContext Ctx(uint32_t kind, int32_t mode) {
  CriterionContext c;
  c.serviceKind = kind;
  c.mode = mode;
  c.groups = {"Staff", "Administrators"};
  return c;
}

TEST(CriterionDialog, VariablesAndComparisonsFollowTheServiceAndTheKind) {
  const auto www = OfferedVariables(Ctx(SERVICE_KIND_WWW, 0));
  for (int32_t v : {0, 1, 2, 3, 5, 12, 15, 18, 31, 32, 33, 34}) EXPECT_TRUE(Has(www, v)) << v;
  for (int32_t v : {19, 20, 21, 22, 25}) EXPECT_FALSE(Has(www, v)) << v;
  EXPECT_TRUE(std::is_sorted(www.begin(), www.end()));
  // One-ended services and rights without a service: no server, no protocol variables.
  for (uint32_t kind : {0u, 9u, 14u}) {
    const auto v = OfferedVariables(Ctx(kind, 0));
    EXPECT_FALSE(Has(v, 2) || Has(v, 3) || Has(v, 34) || Has(v, 15)) << kind;
    EXPECT_TRUE(Has(v, 0) && Has(v, 32) && Has(v, 33)) << kind;
  }
  EXPECT_TRUE(Has(OfferedVariables(Ctx(SERVICE_KIND_SOCKS, CRITERION_MODE_BAN)), 23));
  EXPECT_TRUE(Has(OfferedVariables(Ctx(SERVICE_KIND_POP3, 0)), 19));
  EXPECT_TRUE(Has(OfferedVariables(Ctx(0, CRITERION_MODE_CACHE)), 15));
  EXPECT_EQ(OfferedVariables(Ctx(0, CRITERION_MODE_PURGE)), (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));

  // Only comparisons that can hold for the kind; changing the variable keeps a comparison that
  // still suits and replaces one that does not.
  CriterionLogic logic(Ctx(SERVICE_KIND_WWW, 0));
  logic.SetVariable(kPropHTTPURL);
  EXPECT_EQ(logic.Comparisons(), (std::vector<int32_t>{0, 3, 4, 5, 6}));
  logic.comparison = TL_COMPARE_CONTAINS;
  logic.SetVariable(kPropServerName);
  EXPECT_EQ(logic.comparison, TL_COMPARE_CONTAINS);
  logic.SetVariable(kPropIsNonProxyRequest);
  EXPECT_EQ(logic.Comparisons(), (std::vector<int32_t>{TL_COMPARE_TRUE, TL_COMPARE_FALSE}));
  EXPECT_EQ(logic.comparison, TL_COMPARE_TRUE);
  EXPECT_FALSE(logic.States().at(CriterionLogic::VALUE).visible);
  logic.SetVariable(kPropClientPort);
  EXPECT_EQ(logic.comparison, TL_COMPARE_EQUALS);
  // Group and profile tests use no comparison: it is hidden; the name field serves instead.
  logic.SetVariable(kPropUserMemberOf);
  EXPECT_TRUE(logic.Comparisons().empty());
  EXPECT_FALSE(logic.States().at(CriterionLogic::COMPARISON).visible);
  EXPECT_TRUE(logic.States().at(CriterionLogic::NAME).enabled);
  EXPECT_EQ(logic.NameLabel(), "Group");
  EXPECT_EQ(logic.NameChoices(), (std::vector<CString>{"Staff", "Administrators"}));
  // "is empty" takes no value.
  logic.SetVariable(kPropHTTPQueryString);
  logic.comparison = TL_COMPARE_EMPTY;
  EXPECT_FALSE(logic.States().at(CriterionLogic::VALUE).enabled);
  EXPECT_FALSE(logic.States().at(CriterionLogic::NAME).visible);
}

TEST(CriterionDialog, ChecksRefuseWhatTheCriterionCouldNotHold) {
  CriterionLogic logic(Ctx(SERVICE_KIND_WWW, 0));
  FieldError e;
  auto refuses = [&](int32_t var, const CString& value, const CString& name, int control, const CString& text) {
    logic.SetVariable(var);
    logic.value = value;
    logic.name = name;
    e = {};
    EXPECT_FALSE(logic.Validate(&e)) << var << " " << value;
    EXPECT_EQ(e.control, control);
    EXPECT_EQ(e.text, text);
  };
  refuses(kPropClientPort, "12a", "", CriterionLogic::VALUE, "Please enter an integer between 0 and 4294967295.");
  refuses(kPropClientPort, "4294967296", "", CriterionLogic::VALUE,
          "Please enter an integer between 0 and 4294967295.");
  refuses(kPropUserLevel, "4", "", CriterionLogic::VALUE, "Please enter an integer between 0 and 3.");
  refuses(kPropUserAccountBalance, "2147483648", "", CriterionLogic::VALUE,
          "Please enter an integer between -2147483648 and 2147483647.");
  refuses(kPropHTTPHeaderField, "x", "", CriterionLogic::NAME, kTextEnterHeaderName);
  refuses(kPropHTTPHeaderField, "x", "User Agent", CriterionLogic::NAME,
          "\"User Agent\" is not a valid HTTP header field name");
  refuses(kPropUserMemberOf, "", "", CriterionLogic::NAME, kTextSelectGroup);
  refuses(kPropUserMemberOf, "", "alice", CriterionLogic::NAME, "\"alice\" is not a group");
  refuses(kPropDialerOnLine, "", " ", CriterionLogic::NAME, kTextSelectProfile);
  logic.comparison = TL_COMPARE_EQUALS;
  logic.SetVariable(kPropUserAccountBalance);
  logic.value = "-12";
  EXPECT_TRUE(logic.Validate(&e));
  logic.SetVariable(kPropUserMemberOf);
  logic.name = "staff";
  EXPECT_TRUE(logic.Validate(&e));

  CriterionLogic purge(Ctx(0, CRITERION_MODE_PURGE));
  purge.SetVariable(kCacheFieldEfficiency);
  purge.value = "1e400";
  EXPECT_FALSE(purge.Validate(&e));
  EXPECT_EQ(e.text, kTextEnterNumber);
  purge.value = "12.5";
  EXPECT_TRUE(purge.Validate(&e));
  auto c = purge.Result();
  EXPECT_TRUE(c->IsKindOf(TL_RUNTIME_CLASS(CCachePurgeCriterion)));
  EXPECT_EQ(c->Value.DataType, TL_DATA_DOUBLE);
  EXPECT_EQ(c->Value.dData, 12.5);
  EXPECT_EQ(c->Description, "Relative Cache efficiency (%) equals 12.5");
}

TEST(CriterionDialog, BuiltCriteriaCarryTheKindAndHoldWhenTheyShould) {
  FakeRequest req;
  req.SetText(kPropServerIPAddress, "127.0.0.1");
  req.SetText(kPropHTTPURL, "http://127.0.0.1:8080/Blocked/page.html");
  req.props[kPropClientPort].SetDWord(40000);
  req.props[kPropIsNonProxyRequest].SetInteger(1);
  req.headers["User-Agent"] = "curl/8.0";
  RequestFilterContext ctx;
  ctx.request = &req;

  struct Case {
    int32_t var, comparison;
    bool negate;
    CString value, name;
    bool holds;
    CString description;
  };
  const Case cases[] = {
      {kPropHTTPURL, TL_COMPARE_CONTAINS, false, "blocked", "", true, "HTTP URL contains \"blocked\""},
      {kPropHTTPURL, TL_COMPARE_CONTAINS, true, "blocked", "", false, "Not HTTP URL contains \"blocked\""},
      {kPropHTTPURL, TL_COMPARE_ENDS, false, ".HTML", "", true, "HTTP URL ends with \".HTML\""},
      {kPropClientPort, TL_COMPARE_GREATER, false, "1024", "", true, "Client port number greater than 1024"},
      {kPropClientPort, TL_COMPARE_LESS, false, "1024", "", false, "Client port number less than 1024"},
      {kPropIsNonProxyRequest, TL_COMPARE_TRUE, false, "", "", true, "Is non-proxy request is TRUE"},
      {kPropHTTPHeaderField, TL_COMPARE_BEGINS, false, "curl", "User-Agent", true,
       "HTTP Header field User-Agent begins with \"curl\""},
      {kPropHTTPQueryString, TL_COMPARE_EMPTY, false, "ignored", "", true, "HTTP Query string is empty \"\""},
  };
  for (const Case& k : cases) {
    CriterionLogic logic(Ctx(SERVICE_KIND_WWW, CRITERION_MODE_BAN));
    logic.SetVariable(k.var);
    logic.comparison = k.comparison;
    logic.negate = k.negate;
    logic.value = k.value;
    logic.name = k.name;
    FieldError e;
    ASSERT_TRUE(logic.Validate(&e)) << e.text;
    auto c = logic.Result();
    EXPECT_EQ(c->Value.DataType, static_cast<uint32_t>(GetPropertyKind(k.var))) << k.description;
    EXPECT_EQ(c->Evaluate(ctx), k.holds) << k.description;
    EXPECT_EQ(c->Description, k.description);
    EXPECT_TRUE(c->VariableName.empty() || k.var == kPropHTTPHeaderField);
  }
}

TEST(CriterionDialog, EditingKeepsBytesWhenUntouchedAndMendsAnUnsoundCriterion) {
  CriterionLogic logic(Ctx(SERVICE_KIND_WWW, 0));
  logic.SetVariable(kPropHTTPURL);
  logic.comparison = TL_COMPARE_BEGINS;
  logic.value = "http://a/";
  auto made = logic.Result();
  for (const auto& original : {made, [] {
                                 auto d = std::make_shared<CRequestCriterion>();
                                 d->DataIndex = kPropUserAccountBalance;
                                 d->Comparison = TL_COMPARE_LESS;
                                 d->Value.SetInteger(-7);
                                 d->Value.dwData = 99;  // a stale field of another type stays as it was
                                 d->UpdateDescription();
                                 return d;
                               }()}) {
    CriterionLogic edit(Ctx(SERVICE_KIND_WWW, 0));
    edit.Load(original.get());
    FieldError e;
    ASSERT_TRUE(edit.Validate(&e));
    EXPECT_EQ(ArchiveBytes(*edit.Result()), ArchiveBytes(*original));
  }
  // A text variable stored with a number's type and a comparison that cannot hold never holds;
  // the dialog shows a comparison that can, and OK writes the kind.
  CRequestCriterion broken;
  broken.DataIndex = kPropHTTPURL;
  broken.Comparison = TL_COMPARE_GREATER;
  broken.Value.SetInteger(5);
  CriterionLogic edit(Ctx(SERVICE_KIND_WWW, 0));
  edit.Load(&broken);
  EXPECT_EQ(edit.comparison, TL_COMPARE_EQUALS);
  auto fixed = edit.Result();
  EXPECT_EQ(fixed->Value.DataType, TL_DATA_STRING);
  EXPECT_EQ(fixed->Comparison, TL_COMPARE_EQUALS);
  EXPECT_EQ(broken.Comparison, TL_COMPARE_GREATER);  // the edited criterion itself is not touched
}

TEST(FilterTree, CommandsMenusKeysAndLabels) {
  CRequestFilterCollection filters;
  ScriptedCriteria dialogs;
  FilterTreeLogic tree(filters, Ctx(SERVICE_KIND_WWW, kRightAccess), dialogs);

  EXPECT_EQ(FilterTreeLogic::Menu(std::nullopt), std::vector<int>{FILTER_CMD_NEW_FILTER});
  EXPECT_EQ(FilterTreeLogic::Menu(FilterTreeItem{0, -1}),
            (std::vector<int>{FILTER_CMD_NEW_CRITERION, FILTER_CMD_NEW_FILTER, FILTER_CMD_DELETE_FILTER}));
  EXPECT_EQ(FilterTreeLogic::Menu(FilterTreeItem{0, 1}),
            (std::vector<int>{FILTER_CMD_NEW_CRITERION, FILTER_CMD_DELETE_CRITERION, FILTER_CMD_SEPARATOR,
                              FILTER_CMD_NEW_FILTER, FILTER_CMD_PROPERTIES}));

  // Insert with nothing selected: a new filter, named from one counter for the whole run.
  std::optional<FilterTreeItem> sel;
  ASSERT_TRUE(tree.Insert(std::nullopt, &sel));
  ASSERT_TRUE(tree.Run(FILTER_CMD_NEW_FILTER, sel, &sel));
  EXPECT_EQ(sel, (FilterTreeItem{1, -1}));
  auto rows = tree.Rows();
  ASSERT_EQ(rows.size(), 2u);
  unsigned first = 0, second = 0;
  ASSERT_EQ(sscanf(rows[0].text.c_str(), "Filter %u", &first), 1);
  ASSERT_EQ(sscanf(rows[1].text.c_str(), "Filter %u", &second), 1);
  EXPECT_EQ(second, first + 1);
  EXPECT_EQ(rows[0].image, FILTER_IMAGE_FILTER);
  EXPECT_NE(NextFilterName(), rows[1].text);

  // Insert on a filter, and on a criterion (for its filter): the Criterion dialog with the
  // service kind and the right type; Cancel adds nothing.
  EXPECT_FALSE(tree.Insert(FilterTreeItem{0, -1}, &sel));
  ASSERT_EQ(dialogs.contexts.size(), 1u);
  EXPECT_EQ(dialogs.contexts[0].serviceKind, SERVICE_KIND_WWW);
  EXPECT_EQ(dialogs.contexts[0].mode, kRightAccess);
  dialogs.fill = [](CriterionLogic& l) {
    l.SetVariable(kPropHTTPMethod);
    l.value = "POST";
  };
  ASSERT_TRUE(tree.Insert(FilterTreeItem{0, -1}, &sel));
  EXPECT_EQ(sel, (FilterTreeItem{0, 0}));
  dialogs.fill = [](CriterionLogic& l) {
    l.SetVariable(kPropUserLevel);
    l.comparison = TL_COMPARE_GREATER;
    l.value = "1";
  };
  ASSERT_TRUE(tree.Insert(FilterTreeItem{0, 0}, &sel));
  EXPECT_EQ(sel, (FilterTreeItem{0, 1}));
  rows = tree.Rows();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1].text, "HTTP Method equals \"POST\"");
  EXPECT_EQ(rows[2].text, "User: Authentication level greater than 1");
  EXPECT_EQ(rows[2].image, FILTER_IMAGE_CRITERION);
  EXPECT_EQ(rows[3].item, (FilterTreeItem{1, -1}));

  // Properties (and a double click) edit the criterion in place: the filter keeps its element.
  const auto held = filters.GetFilters()[0]->GetCriteria()[0];
  dialogs.fill = [](CriterionLogic& l) { l.value = "GET"; };
  ASSERT_TRUE(tree.Activate(FilterTreeItem{0, 0}));
  EXPECT_EQ(filters.GetFilters()[0]->GetCriteria()[0], held);
  EXPECT_EQ(held->Description, "HTTP Method equals \"GET\"");
  EXPECT_FALSE(tree.Activate(FilterTreeItem{0, -1}));  // a filter only opens or closes

  // Labels: filters only, an empty one dropped.
  EXPECT_TRUE(tree.Rename(FilterTreeItem{0, -1}, "Posting"));
  EXPECT_FALSE(tree.Rename(FilterTreeItem{0, -1}, ""));
  EXPECT_FALSE(tree.Rename(FilterTreeItem{0, 0}, "x"));
  EXPECT_EQ(tree.Rows()[0].text, "Posting");

  // Delete: a criterion from its filter, a filter with its criteria.
  ASSERT_TRUE(tree.Delete(FilterTreeItem{0, 1}));
  EXPECT_EQ(filters.GetFilters()[0]->GetCriteria().size(), 1u);
  ASSERT_TRUE(tree.Run(FILTER_CMD_DELETE_FILTER, FilterTreeItem{0, -1}));
  ASSERT_EQ(filters.GetCount(), 1u);
  EXPECT_EQ(tree.Rows()[0].text, rows[3].text);
  EXPECT_FALSE(tree.Delete(std::nullopt));
  EXPECT_FALSE(tree.Delete(FilterTreeItem{7, -1}));

  // A purge tree builds purge criteria.
  CRequestFilterCollection purge;
  FilterTreeLogic purgeTree(purge, Ctx(0, CRITERION_MODE_PURGE), dialogs);
  ASSERT_TRUE(purgeTree.Insert(std::nullopt, &sel));
  dialogs.fill = [](CriterionLogic& l) {
    l.SetVariable(kCacheFieldURL);
    l.comparison = TL_COMPARE_CONTAINS;
    l.value = "x";
  };
  ASSERT_TRUE(purgeTree.Insert(sel, &sel));
  EXPECT_TRUE(purge.GetFilters()[0]->GetCriteria()[0]->IsKindOf(TL_RUNTIME_CLASS(CCachePurgeCriterion)));
  EXPECT_EQ(purgeTree.Rows()[1].text, "URL contains \"x\"");
}

TEST(RecipientPages, BanListWorksOnACopyWrittenAtOk) {
  ScriptedCriteria dialogs;
  CRecipient r;
  BanListPage page(SERVICE_KIND_WWW, dialogs);
  page.Load(r);
  EXPECT_FALSE(page.States().at(BanListPage::LIST).enabled);
  page.enabled = true;
  EXPECT_TRUE(page.States().at(BanListPage::LIST).enabled);

  dialogs.fill = [](CriterionLogic& l) {
    l.SetVariable(kPropHTTPURL);
    l.comparison = TL_COMPARE_CONTAINS;
    l.value = "blocked";
  };
  ASSERT_TRUE(page.Add());
  ASSERT_TRUE(page.Add());
  EXPECT_EQ(dialogs.contexts.back().mode, CRITERION_MODE_BAN);
  EXPECT_EQ(dialogs.contexts.back().serviceKind, SERVICE_KIND_WWW);
  dialogs.fill = [](CriterionLogic& l) { l.value = "ads"; };
  ASSERT_TRUE(page.Edit(1));
  EXPECT_FALSE(page.Edit(2));
  EXPECT_EQ(page.Rows(), (std::vector<CString>{"HTTP URL contains \"blocked\"", "HTTP URL contains \"ads\""}));
  EXPECT_TRUE(r.BanFilter.GetCriteria().empty());  // nothing reaches the recipient before OK
  ASSERT_TRUE(page.Remove(0));
  EXPECT_FALSE(page.Remove(5));
  page.Apply(r);
  EXPECT_EQ(r.SpecifyBan, 1u);
  ASSERT_EQ(r.BanFilter.GetCriteria().size(), 1u);
  EXPECT_EQ(r.BanFilter.GetCriteria()[0]->Description, "HTTP URL contains \"ads\"");
  EXPECT_NE(r.BanFilter.GetCriteria()[0], page.Working().GetCriteria()[0]);  // a copy, not shared

  // The ban now refuses a matching request, and only that.
  FakeRequest req;
  req.SetText(kPropHTTPURL, "http://127.0.0.1/ADS/x");
  RequestFilterContext ctx;
  ctx.request = &req;
  EXPECT_TRUE(r.BanFilter.Bans(ctx));
  req.SetText(kPropHTTPURL, "http://127.0.0.1/news");
  EXPECT_FALSE(r.BanFilter.Bans(ctx));

  // OK without changes keeps the recipient's bytes.
  r.SpecifyBan = 7;
  const auto before = ArchiveBytes(r);
  BanListPage again(SERVICE_KIND_WWW, dialogs);
  again.Load(r);
  auto copy = Clone(r);
  again.Apply(*copy);
  EXPECT_EQ(ArchiveBytes(*copy), before);
}

TEST(RecipientPages, AdvancedAsksWhenNoFilterIsSpecifiedAndWritesAtOk) {
  ScriptedCriteria dialogs;
  Boxes boxes;
  CRecipient r;
  RecipientAdvancedPage page(SERVICE_KIND_WWW, kRightAccess, dialogs);
  page.Load(r);
  for (int id : {RecipientAdvancedPage::TREE, RecipientAdvancedPage::ADD_FILTER, RecipientAdvancedPage::ADD_CRITERION,
                 RecipientAdvancedPage::REMOVE})
    EXPECT_FALSE(page.States().at(id).enabled) << id;
  // The buttons do nothing while every request is granted.
  EXPECT_FALSE(page.AddFilter());
  EXPECT_TRUE(page.Validate(boxes));
  EXPECT_TRUE(boxes.seen.empty());

  page.specify = true;
  EXPECT_TRUE(page.States().at(RecipientAdvancedPage::TREE).enabled);
  EXPECT_FALSE(page.Validate(boxes));
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0], CString(kTitleFilterInvalidSetting) + "|" + kTextNoRequestFilters);
  EXPECT_EQ(boxes.styles[0], EDITOR_MB_STOP | EDITOR_MB_DEFAULT_NO);
  boxes.answer = true;
  EXPECT_TRUE(page.Validate(boxes));

  std::optional<FilterTreeItem> sel;
  ASSERT_TRUE(page.AddFilter(&sel));
  dialogs.fill = [](CriterionLogic& l) {
    l.SetVariable(kPropUserLevel);
    l.comparison = TL_COMPARE_GREATER;
    l.value = "1";
  };
  EXPECT_FALSE(page.AddCriterion(std::nullopt));
  ASSERT_TRUE(page.AddCriterion(sel, &sel));
  EXPECT_EQ(dialogs.contexts.back().mode, kRightAccess);
  EXPECT_TRUE(r.RequestFilter.IsEmpty());
  boxes.seen.clear();
  EXPECT_TRUE(page.Validate(boxes));
  EXPECT_TRUE(boxes.seen.empty());
  page.Apply(r);
  EXPECT_EQ(r.SpecifyRequest, 1u);
  ASSERT_EQ(r.RequestFilter.GetCount(), 1u);
  // "Authentication level greater than 1": a session must have logged in.
  FakeRequest req;
  req.SetText(kPropServerIPAddress, "127.0.0.1");
  req.props[kPropUserLevel].SetInteger(0);
  RequestFilterContext ctx;
  ctx.request = &req;
  EXPECT_EQ(r.RequestFilter.GetRequiredLevel(ctx), kLevelAuthenticated);

  // Remove on the selection; OK without changes keeps the bytes.
  const auto before = ArchiveBytes(r);
  RecipientAdvancedPage again(SERVICE_KIND_WWW, kRightAccess, dialogs);
  again.Load(r);
  auto copy = Clone(r);
  again.Apply(*copy);
  EXPECT_EQ(ArchiveBytes(*copy), before);
  ASSERT_TRUE(again.Remove(FilterTreeItem{0, 0}));
  EXPECT_EQ(again.Tree().Rows().size(), 1u);
  EXPECT_EQ(r.RequestFilter.GetFilters()[0]->GetCriteria().size(), 1u);
}

TEST(RecipientPages, TheRecipientSheetShowsThemByServiceKindAndRightTypeAndRunsThemAtOk) {
  ScriptedCriteria dialogs;
  for (uint32_t kind : {0u, 2u, 9u, 14u}) {
    for (int32_t type : {0, 1, 2, 3}) {
      RecipientSheet sheet(nullptr, kind, type);
      sheet.AddFilterPages(dialogs, {});
      EXPECT_EQ(sheet.Page(RECIPIENT_PAGE_BAN) != nullptr, type == 0 && kind != 0 && kind != 9 && kind != 14)
          << kind << "/" << type;
      EXPECT_EQ(sheet.Page(RECIPIENT_PAGE_ADVANCED) != nullptr, type == 0) << kind << "/" << type;
    }
  }

  // The sheet's OK runs the Advanced page last: its question refuses after the other pages
  // validated, and nothing is written; Yes lets the recipient through with both pages' values.
  Boxes boxes;
  RecipientSheet sheet(nullptr, SERVICE_KIND_WWW, kRightAccess);
  sheet.AddFilterPages(dialogs, {});
  sheet.ban->enabled = true;
  dialogs.fill = [](CriterionLogic& l) {
    l.SetVariable(kPropHTTPURL);
    l.comparison = TL_COMPARE_CONTAINS;
    l.value = "blocked";
  };
  ASSERT_TRUE(sheet.ban->Add());
  sheet.advanced->specify = true;
  int refused = 0;
  EXPECT_FALSE(sheet.Ok(boxes, &refused));
  EXPECT_EQ(refused, RECIPIENT_PAGE_ADVANCED);
  EXPECT_EQ(sheet.Copy().SpecifyBan, 0u);
  boxes.answer = true;
  auto made = sheet.Ok(boxes, &refused);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->SpecifyBan, 1u);
  EXPECT_EQ(made->SpecifyRequest, 1u);
  EXPECT_EQ(made->BanFilter.GetCriteria().size(), 1u);

  // An existing recipient through the whole sheet, OK without changes: the same bytes.
  RecipientSheet again(made.get(), SERVICE_KIND_WWW, kRightAccess);
  again.AddFilterPages(dialogs, {});
  auto same = again.Ok(boxes);
  ASSERT_TRUE(same);
  EXPECT_EQ(ArchiveBytes(*same), ArchiveBytes(*made));
}

}  // namespace
