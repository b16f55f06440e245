// The dialer editors' logic without a display: the Edit Profile sheet (defaults of a new profile,
// names refused with their texts, the fixed name of an existing profile, the Access page's copy of
// the right edited through a scripted recipient sheet), the dialer sheet working on copies until
// OK or Apply (Cancel and refusals leave the mirror's bytes, another console's change under an open
// sheet is kept), the Settings ranges and log bits, local sites, status lines by name; then the
// sheets against the real engine with the Remote Access simulator: a profile made and sent (62),
// read back by a second console, dialled and reset (63) with its status lines arriving by name.
#include "console/dialogs/dialer/dialer_editors.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <deque>
#include <fstream>

#include "console/model/lookout_client.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/test_env.h"

namespace trellis::test {
namespace {

// Answers the recipient sheet in advance: each answer is applied to a copy of what it was given
// (null: the operator cancelled).
struct ScriptedRecipients : RecipientDialogs {
  std::shared_ptr<CRecipient> EditRecipient(const CRecipient* existing, uint32_t serviceKind,
                                            int32_t rightType) override {
    calls.push_back({existing != nullptr, serviceKind, rightType});
    if (answers.empty()) return nullptr;
    auto answer = answers.front();
    answers.pop_front();
    if (!answer) return nullptr;
    auto copy = std::make_shared<CRecipient>();
    if (existing) copy->CopyFrom(*existing);
    answer(*copy);
    return copy;
  }
  struct Call {
    bool existing;
    uint32_t kind;
    int32_t rightType;
  };
  std::deque<std::function<void(CRecipient&)>> answers;
  std::vector<Call> calls;
};

std::shared_ptr<CDialerProfileSettings> Profile(const CString& name, const CString& entry) {
  auto p = NewDialerProfile();
  p->Name = name;
  p->ProfileName = entry;
  p->Username = "dialuser";
  return p;
}

std::shared_ptr<CDialerSettings> Dialer() {
  auto d = std::make_shared<CDialerSettings>();
  d->AddProfile(Profile("Office", "Sim ISP"));
  d->AddProfile(Profile("Backup", "Other ISP"));
  d->LocalSites = {"intranet", "10.1."};
  d->PhonebookEntries = {"Sim ISP", "Other ISP"};
  // Bits the Settings page does not show: storing it clears them.
  d->LogOptions = 0xff;
  d->TimerInterval = 5;
  return d;
}

TEST(EditProfileSheet, NewProfilesNamesAndTheGeneralRules) {
  RecordingPrompter prompter;
  ProfileSheetContext ctx;
  ctx.takenNames = {"Office"};
  ctx.phonebook = {"Sim ISP"};
  EditProfileSheet sheet(nullptr, ctx);
  EXPECT_EQ(sheet.Title(), "Properties for new dialer entry");
  // The dialer's defaults and one default recipient.
  EXPECT_EQ(sheet.general.name, CDialerProfileSettings::kNewProfileName);
  EXPECT_EQ(sheet.general.retries, CDialerProfileSettings::kDefaultRetries);
  EXPECT_EQ(sheet.general.disconnectAfter, CDialerProfileSettings::kDefaultDisconnectAfter);
  ASSERT_EQ(sheet.access.Rows().size(), 1u);
  EXPECT_EQ(sheet.access.Rows()[0].recipient, "Everyone");
  EXPECT_EQ(sheet.access.RightName(), CDialerProfileSettings::kRightDescription);

  // The name is editable for a new profile; the idle time follows Auto disconnect.
  EXPECT_TRUE(sheet.general.States().at(PROFILE_GENERAL_NAME).enabled);
  EXPECT_TRUE(sheet.general.States().at(PROFILE_GENERAL_DISCONNECT_AFTER).enabled);
  sheet.general.autoDisconnect = false;
  EXPECT_FALSE(sheet.general.States().at(PROFILE_GENERAL_DISCONNECT_AFTER).enabled);

  // Names: a duplicate in any letter case (one registry key), then empty and "\" names.
  int refused = -1;
  sheet.general.name = "office";
  EXPECT_FALSE(sheet.Ok(prompter, &refused));
  EXPECT_EQ(refused, 0);
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0], "Duplicate Profile Name|You must choose another name for this profile");
  for (const char* bad : {"", "a\\b", "a/b"}) {
    sheet.general.name = bad;
    EXPECT_FALSE(sheet.Ok(prompter));
    EXPECT_EQ(prompter.boxes.back(), CString(kTitleInvalidName) + "|" + kTextInvalidName) << bad;
  }

  // Retries: 0 would never dial; the field texts say so.
  FieldError error;
  EXPECT_FALSE(sheet.general.ReadNumbers("180", "0", &error));
  EXPECT_EQ(error.control, PROFILE_GENERAL_RETRIES);
  EXPECT_EQ(error.text, "Please enter an integer between 1 and 2147483647.");
  EXPECT_FALSE(sheet.general.ReadNumbers("-1", "3", &error));
  EXPECT_EQ(error.control, PROFILE_GENERAL_DISCONNECT_AFTER);
  EXPECT_EQ(error.text, kTextEnterPositiveInteger);
  ASSERT_TRUE(sheet.general.ReadNumbers("60", "2", &error));

  sheet.general.name = "Home";
  sheet.general.entry = "Sim ISP";
  sheet.general.username = "u";
  sheet.general.password = "p";
  auto made = sheet.Ok(prompter);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->Name, "Home");
  EXPECT_EQ(made->ProfileName, "Sim ISP");
  EXPECT_EQ(made->Password, "p");
  EXPECT_EQ(made->AutoDisconnect, 0u);
  EXPECT_EQ(made->DisconnectAfter, 60u);
  EXPECT_EQ(made->Retries, 2);
  EXPECT_EQ(made->AccessRights.GetRecipients().size(), 1u);
}

TEST(EditProfileSheet, AnExistingProfileKeepsItsNameAndTheAccessPageEditsACopy) {
  RecordingPrompter prompter;
  auto users = std::make_shared<CGroupMemberDatabase>();
  users->Add(std::make_shared<CUser>("alice", "", "", ""), nullptr);
  auto original = Profile("Office", "Sim ISP");
  const auto before = ArchiveBytes(*original);
  ProfileSheetContext ctx;
  ctx.takenNames = {"Office", "Backup"};
  ctx.users = users;
  {
    // OK without changes: the same bytes.
    EditProfileSheet sheet(original.get(), ctx);
    EXPECT_EQ(sheet.Title(), "Properties for dialer entry Office");
    auto same = sheet.Ok(prompter);
    ASSERT_TRUE(same);
    EXPECT_EQ(ArchiveBytes(*same), before);
    EXPECT_TRUE(prompter.boxes.empty());
  }
  EditProfileSheet sheet(original.get(), ctx);
  EXPECT_FALSE(sheet.general.States().at(PROFILE_GENERAL_NAME).enabled);
  // The name of an existing profile is not changed, whatever the field holds.
  sheet.general.name = "Renamed";
  sheet.general.username = "other";

  ScriptedRecipients recipients;
  // Cancel adds nothing; then alice, then a location restriction on Everyone.
  recipients.answers.push_back(nullptr);
  recipients.answers.push_back([](CRecipient& r) {
    r.UserName = "alice";
    r.SpecifyUser = 1;
  });
  recipients.answers.push_back([](CRecipient& r) {
    r.SpecifyLocation = 1;
    r.IncludedLocations = {"192.168.*.*"};
  });
  EXPECT_FALSE(sheet.access.Add(recipients));
  EXPECT_TRUE(sheet.access.Add(recipients));
  EXPECT_TRUE(sheet.access.Edit(0, recipients));
  EXPECT_FALSE(sheet.access.Edit(7, recipients));
  ASSERT_EQ(recipients.calls.size(), 3u);
  for (const auto& c : recipients.calls) {
    EXPECT_EQ(c.kind, uint32_t(SERVICE_KIND_NONE));
    EXPECT_EQ(c.rightType, kRightAccess);
  }
  EXPECT_FALSE(recipients.calls[1].existing);
  EXPECT_TRUE(recipients.calls[2].existing);
  auto rows = sheet.access.Rows();
  ASSERT_EQ(rows.size(), 2u);
  // What the restrictions are now, not the stored description; known names get picture 1.
  EXPECT_EQ(rows[0].recipient, "Everyone");
  EXPECT_EQ(rows[0].rights, "Restricted by location");
  EXPECT_EQ(rows[0].image, 4);
  EXPECT_EQ(rows[1].recipient, "alice");
  EXPECT_EQ(rows[1].image, 1);
  EXPECT_FALSE(sheet.access.States().at(PROFILE_ACCESS_REMOVE).enabled);
  sheet.access.selected = 1;
  EXPECT_TRUE(sheet.access.States().at(PROFILE_ACCESS_REMOVE).enabled);

  // Nothing reached the original before OK, nor after it.
  EXPECT_EQ(original->AccessRights.GetRecipients().size(), 1u);
  auto edited = sheet.Ok(prompter);
  ASSERT_TRUE(edited);
  EXPECT_EQ(edited->Name, "Office");
  EXPECT_EQ(edited->Username, "other");
  ASSERT_EQ(edited->AccessRights.GetRecipients().size(), 2u);
  EXPECT_EQ(edited->AccessRights.GetRecipients()[0]->IncludedLocations, std::vector<CString>{"192.168.*.*"});
  EXPECT_EQ(ArchiveBytes(*original), before);
  // A second OK returns a new copy; the first is not changed by later edits.
  sheet.access.Remove(1);
  auto again = sheet.Ok(prompter);
  EXPECT_EQ(again->AccessRights.GetRecipients().size(), 1u);
  EXPECT_EQ(edited->AccessRights.GetRecipients().size(), 2u);
}

TEST(DialerSheet, PagesWorkOnCopiesUntilCommitAndNothingIsSentOffLine) {
  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  client.EditMirrors().dialer = Dialer();
  const auto before = ArchiveBytes(*client.Mirrors().dialer);
  RecordingPrompter prompter;

  {
    // Remove, add, edit, local sites and settings, then Cancel: the mirror is as it was.
    DialerSheet sheet(client);
    ASSERT_TRUE(sheet.Available());
    ASSERT_EQ(sheet.phonebook.Rows().size(), 2u);
    EXPECT_EQ(sheet.phonebook.Rows()[0].name, "Backup");
    EXPECT_EQ(sheet.phonebook.Rows()[1].description, "Account dialuser at Sim ISP ");
    sheet.phonebook.Remove(1);
    auto fresh = sheet.NewProfileSheet();
    fresh->general.name = "Home";
    sheet.phonebook.Put(fresh->Ok(prompter));
    sheet.localSites.edit = "example.org";
    EXPECT_TRUE(sheet.localSites.Add());
    sheet.settings.timerInterval = 9;
    EXPECT_EQ(sheet.phonebook.Names(), (std::vector<CString>{"Backup", "Home"}));
  }
  EXPECT_EQ(ArchiveBytes(*client.Mirrors().dialer), before);

  {
    // OK without changes keeps the bytes, except the bits the Settings page does not show.
    client.EditMirrors().dialer->LogOptions = 3;
    const auto shown = ArchiveBytes(*client.Mirrors().dialer);
    DialerSheet sheet(client);
    EXPECT_EQ(sheet.Commit(prompter), 3);
    EXPECT_EQ(ArchiveBytes(*client.Mirrors().dialer), shown);
    client.EditMirrors().dialer->LogOptions = 0xff;
  }

  DialerSheet sheet(client);
  // Dial and Reset need a row and the engine: off line they are disabled and send nothing.
  sheet.phonebook.selected = 0;
  EXPECT_FALSE(sheet.phonebook.States().at(DIALER_PHONEBOOK_DIAL).enabled);
  EXPECT_FALSE(sheet.phonebook.States().at(DIALER_PHONEBOOK_RESET).enabled);
  EXPECT_TRUE(sheet.phonebook.States().at(DIALER_PHONEBOOK_REMOVE).enabled);
  EXPECT_EQ(sheet.Dial(), 0u);
  EXPECT_EQ(sheet.Reset(), 0u);

  // Settings: the ranges with the field texts.
  FieldError error;
  EXPECT_FALSE(sheet.settings.ReadNumbers("0", "1000", "1000", &error));
  EXPECT_EQ(error.control, DIALER_SETTINGS_TIMER);
  EXPECT_EQ(error.text, "Please enter an integer between 1 and 60.");
  EXPECT_FALSE(sheet.settings.ReadNumbers("61", "1000", "1000", &error));
  EXPECT_EQ(error.text, "Please enter an integer between 1 and 60.");
  EXPECT_FALSE(sheet.settings.ReadNumbers("2", "1000", "1000001", &error));
  EXPECT_EQ(error.control, DIALER_SETTINGS_RETRY_WAIT);
  EXPECT_EQ(error.text, "Please enter an integer between 1 and 1000000.");
  EXPECT_FALSE(sheet.settings.ReadNumbers("2", "1.5", "10", &error));
  EXPECT_EQ(error.control, DIALER_SETTINGS_RASDIAL_TIMEOUT);
  EXPECT_EQ(error.text, kTextEnterPositiveInteger);
  // A value out of range that did not come through a field refuses the commit, and the mirror
  // keeps its bytes.
  sheet.settings.timerInterval = 0;
  EXPECT_EQ(sheet.Commit(prompter), 2);
  EXPECT_EQ(prompter.boxes.back(), "Lookout|Please enter an integer between 1 and 60.");
  EXPECT_EQ(ArchiveBytes(*client.Mirrors().dialer), before);
  ASSERT_TRUE(sheet.settings.ReadNumbers("60", "4294967295", "1000000", &error));

  // The log checks follow the radio; with "No logging" the checks' bits are kept as ticked.
  EXPECT_TRUE(sheet.settings.States().at(DIALER_SETTINGS_LOG_DEBUG).enabled);
  sheet.settings.loggingEnabled = false;
  EXPECT_FALSE(sheet.settings.States().at(DIALER_SETTINGS_LOG_DIAL).enabled);
  EXPECT_FALSE(sheet.settings.States().at(DIALER_SETTINGS_LOG_DEBUG).enabled);
  sheet.settings.logDialing = false;
  sheet.settings.logDebug = true;

  // Local sites: Remove gives the text back to the edit; an empty edit adds nothing.
  sheet.localSites.Remove(0);
  EXPECT_EQ(sheet.localSites.edit, "intranet");
  sheet.localSites.edit = "  ";
  EXPECT_FALSE(sheet.localSites.Add());
  EXPECT_FALSE(sheet.localSites.States().at(DIALER_SITES_ADD).enabled);
  sheet.localSites.edit = " example.org ";
  EXPECT_TRUE(sheet.localSites.Add());

  // Another console changes the dialer under the open sheet (62): the lists follow it, the
  // page's own changes stay.
  sheet.phonebook.Remove(0);  // Backup
  auto other = Dialer();
  other->AddProfile(Profile("Branch", "Sim ISP"));
  client.EditMirrors().dialer = other;
  sheet.DialerChanged();
  EXPECT_EQ(sheet.phonebook.Names(), (std::vector<CString>{"Branch", "Office"}));
  EXPECT_EQ(sheet.localSites.sites, (std::vector<CString>{"10.1.", "example.org"}));

  // Status lines find their row by name; a removed profile's line changes nothing.
  EXPECT_TRUE(sheet.ProfileStatus("Office", "Connected"));
  EXPECT_EQ(sheet.phonebook.Rows()[1].status, "Connected");
  EXPECT_FALSE(sheet.ProfileStatus("Backup", "Dialing Other ISP"));
  EXPECT_FALSE(sheet.ProfileStatus("Nobody", "x"));

  // Apply twice: the mirror takes the sheet's dialer once, and no site repeats.
  EXPECT_EQ(sheet.Commit(prompter), 3);
  EXPECT_EQ(sheet.Commit(prompter), 3);
  const auto& d = *client.Mirrors().dialer;
  EXPECT_EQ(d.LocalSites, (std::vector<CString>{"10.1.", "example.org"}));
  EXPECT_EQ(d.LogOptions, 2u);
  EXPECT_EQ(d.LoggingEnabled, 0u);
  EXPECT_EQ(d.TimerInterval, 60u);
  EXPECT_EQ(d.RasdialTimeout, 4294967295u);
  EXPECT_EQ(d.TimeBetweenRetries, 1000000u);
  EXPECT_FALSE(d.FindProfileSettings("Backup"));
  EXPECT_TRUE(d.FindProfileSettings("Branch"));
  ASSERT_TRUE(d.FindProfileSettings("Office"));
  // The lines shown survive the commit (the dialer's own copy drops them).
  EXPECT_EQ(d.FindProfileSettings("Office")->GetStatusText(), "Connected");
  EXPECT_EQ(sheet.phonebook.Rows()[1].status, "Connected");
  // Off line: nothing went out.
  EXPECT_EQ(client.OutstandingRequests(), 0u);
  EXPECT_FALSE(client.ConfigurationChanged());

  // The mirror's dialer gone (an engine without one): the commit is refused with a text.
  client.EditMirrors().dialer.reset();
  EXPECT_EQ(sheet.Commit(prompter), -1);
  EXPECT_EQ(prompter.boxes.back(), CString("Lookout|") + kTextDialerGone);
}

TEST(DialerSheet, EditAndRemoveOnlyTouchTheSheetsCopies) {
  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  client.EditMirrors().dialer = Dialer();
  auto mirrorOffice = client.Mirrors().dialer->FindProfileSettings("Office");
  const auto officeBytes = ArchiveBytes(*mirrorOffice);
  RecordingPrompter prompter;
  DialerSheet sheet(client);
  auto edit = sheet.EditSheet(1);
  ASSERT_TRUE(edit);
  EXPECT_TRUE(edit->Existing());
  EXPECT_EQ(edit->Context().phonebook, (std::vector<CString>{"Sim ISP", "Other ISP"}));
  EXPECT_EQ(edit->Context().takenNames, (std::vector<CString>{"Backup", "Office"}));
  EXPECT_FALSE(sheet.EditSheet(2));
  edit->general.entry = "Other ISP";
  sheet.phonebook.Put(edit->Ok(prompter));
  EXPECT_EQ(sheet.phonebook.Rows()[1].description, "Account dialuser at Other ISP ");
  // A status line that came while the profile was being edited stays on its row after OK.
  EXPECT_TRUE(sheet.ProfileStatus("Office", "Connected"));
  // The mirror's profile object is not the one edited, and is unchanged.
  EXPECT_EQ(ArchiveBytes(*mirrorOffice), officeBytes);
  EXPECT_EQ(sheet.Commit(prompter), 3);
  auto committed = client.Mirrors().dialer->FindProfileSettings("Office");
  EXPECT_NE(committed.get(), mirrorOffice.get());
  EXPECT_EQ(committed->ProfileName, "Other ISP");
  EXPECT_EQ(committed->GetStatusText(), "Connected");
  EXPECT_EQ(sheet.phonebook.Rows()[1].status, "Connected");
  EXPECT_EQ(ArchiveBytes(*mirrorOffice), officeBytes);
}

TEST(DialerSheet, StatusNotificationsTravelByNameAndBadOnesChangeNothing) {
  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  auto message = [&](const CString& name, const CString& state, const CString& text) {
    SessionEvent ev;
    ev.kind = SessionEvent::Message;
    ev.message = CTLRCPMessage(RC_NOTIFY_DIALER_PROFILE, name, state, text);
    client.HandleEvent(ev);
  };
  // Before the dialer arrived: told to the views, nothing held.
  message("Office", "0", "Dialing Sim ISP");
  ASSERT_EQ(ui.views.size(), 1u);
  client.EditMirrors().dialer = Dialer();
  message("Office", "1", "Connected");
  ASSERT_EQ(ui.views.size(), 2u);
  EXPECT_EQ(ui.views[1].category, VIEW_DIALER);
  EXPECT_EQ(ui.views[1].event.name, "Office");
  EXPECT_EQ(ui.views[1].event.text, "Connected");
  EXPECT_EQ(ui.views[1].event.runningState, 1u);
  EXPECT_EQ(client.Mirrors().dialer->FindProfileSettings("Office")->GetStatusText(), "Connected");
  // A state that is no number, or too large, is dropped whole.
  message("Office", "x", "Broken");
  message("Office", "4294967296", "Broken");
  EXPECT_EQ(ui.views.size(), 2u);
  EXPECT_EQ(client.Mirrors().dialer->FindProfileSettings("Office")->GetStatusText(), "Connected");
  // A profile the console does not hold: the views hear it (an open sheet has no row for it).
  message("Elsewhere", "2", "Error 678");
  EXPECT_EQ(ui.views.size(), 3u);
  EXPECT_FALSE(client.Mirrors().dialer->FindProfileSettings("Elsewhere"));
  DialerSheet sheet(client);
  EXPECT_EQ(sheet.phonebook.Rows()[1].status, "Connected");
  EXPECT_FALSE(sheet.ProfileStatus(ui.views[2].event.name, ui.views[2].event.text));
}

// The state number notification 63 carries for a profile on line.
constexpr uint32_t PROFILE_STATE_CONNECTED = 1;

// ---- Against the real engine ------------------------------------------------------------------------

TEST(DialerSheetAgainstEngine, AProfileMadeInTheSheetIsSentDialledAndResetWithItsStatusLines) {
  const std::string dir = MakeTempDir("rassim");
  {
    std::ofstream book(dir + "/phonebook.ini");
    book << "[Sim ISP]\nconnect_ms=100\n";
  }
  setenv("TRELLIS_RASAPI32", BuildPath("librasapi32-sim.so").c_str(), 1);
  setenv("TRELLIS_RASSIM_PHONEBOOK", (dir + "/phonebook.ini").c_str(), 1);
  EngineProcess engine;
  std::string log;
  ASSERT_TRUE(engine.Start(&log)) << log;
  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  ASSERT_TRUE(client.Start());
  client.Login() = ConnectParams{"127.0.0.1", engine.rcPort, "Administrator", ""};
  ui.onCommand = [&](uint32_t id) {
    if (id == kCommandChangePassword) client.ChangePassword("", "admin-pw");
  };
  client.GoOnline();
  ASSERT_TRUE(loop.RunUntil([&] { return client.IsLoggedIn(); }));
  ASSERT_TRUE(loop.RunUntil([&] { return client.OutstandingRequests() == 0 && client.Mirrors().dialer; }));
  EXPECT_EQ(client.Mirrors().dialer->PhonebookEntries, std::vector<CString>{"Sim ISP"});

  RecordingPrompter prompter;
  const size_t shown = ui.boxes.size();
  DialerSheet sheet(client);
  auto fresh = sheet.NewProfileSheet();
  fresh->general.name = "Office";
  fresh->general.entry = "Sim ISP";
  fresh->general.username = "dialuser";
  fresh->general.retries = 1;
  sheet.phonebook.Put(fresh->Ok(prompter));
  sheet.localSites.edit = "intranet.example";
  ASSERT_TRUE(sheet.localSites.Add());
  sheet.settings.logDialing = true;
  sheet.settings.logDebug = true;
  ASSERT_EQ(sheet.Commit(prompter), 3);
  ASSERT_TRUE(loop.RunUntil([&] { return client.OutstandingRequests() == 0; }));
  EXPECT_TRUE(prompter.boxes.empty());
  EXPECT_EQ(ui.boxes.size(), shown);

  // Another console reads the engine's dialer: the profile, the site and the log bits arrived.
  {
    FreshConsole other;
    ASSERT_TRUE(other.LogIn(engine.rcPort, "Administrator", "admin-pw", RC_REQ_GET_DIALER));
    const auto& d = other.client.Mirrors().dialer;
    ASSERT_TRUE(d);
    auto p = d->FindProfileSettings("Office");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->ProfileName, "Sim ISP");
    EXPECT_EQ(p->Username, "dialuser");
    EXPECT_EQ(p->Retries, 1);
    ASSERT_EQ(p->AccessRights.GetRecipients().size(), 1u);
    EXPECT_EQ(d->LocalSites, std::vector<CString>{"intranet.example"});
    EXPECT_EQ(d->LogOptions, 3u);
    EXPECT_TRUE(other.client.Stop(5000));
  }

  // Dial: notifications 63 carry the profile's name and its lines, the last "Connected".
  sheet.phonebook.selected = 0;
  EXPECT_TRUE(sheet.phonebook.States().at(DIALER_PHONEBOOK_DIAL).enabled);
  auto statusOf = [&](const CString& text, uint32_t state = 0) {
    return ui.FindView(VIEW_DIALER, RC_NOTIFY_DIALER_PROFILE, [&](const ViewEvent& e) {
      return e.name == "Office" && e.text == text && e.runningState == state;
    });
  };
  ASSERT_NE(sheet.Dial(), 0u);
  ASSERT_TRUE(loop.RunUntil([&] { return statusOf("Connected", PROFILE_STATE_CONNECTED) != nullptr; }));
  EXPECT_TRUE(statusOf("Dialing Sim ISP"));
  // The mirror keeps the line for the next sheet; this one takes it by name.
  EXPECT_EQ(client.Mirrors().dialer->FindProfileSettings("Office")->GetStatusText(), "Connected");
  for (const auto& v : ui.views) {
    if (v.category == VIEW_DIALER && v.event.code == RC_NOTIFY_DIALER_PROFILE) {
      EXPECT_TRUE(sheet.ProfileStatus(v.event.name, v.event.text));
    }
  }
  EXPECT_EQ(sheet.phonebook.Rows()[0].status, "Connected");

  // Reset ("0") hangs the link up.
  ASSERT_NE(sheet.Reset(), 0u);
  ASSERT_TRUE(loop.RunUntil([&] { return statusOf("Disconnected from Sim ISP") != nullptr; }));
  EXPECT_TRUE(client.Stop(5000));
  unsetenv("TRELLIS_RASAPI32");
  unsetenv("TRELLIS_RASSIM_PHONEBOOK");
}

}  // namespace
}  // namespace trellis::test
