// The dialer's settings as the console holds them: this program links the configuration library
// alone.
#include "engine/dialer/dialer_settings.h"

#include <gtest/gtest.h>

#include "engine/config/archive.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

namespace {

std::shared_ptr<CDialerProfileSettings> Profile(const char* name, const char* entry) {
  auto p = std::make_shared<CDialerProfileSettings>();
  p->Name = name;
  p->ProfileName = entry;
  p->Username = "dial-user";
  p->Password = "s3cret";
  p->Domain = "CORP";
  p->Retries = 5;
  p->DisconnectAfter = 3725;
  p->AccessRights.AddRecipientByName("Users");
  return p;
}

std::vector<uint8_t> Store(CObject& obj) {
  CArchive ar(CArchive::store);
  obj.Serialize(ar);
  return ar.TakeBytes();
}

TEST(DialerSettings, NewObjectsAndDescriptionsHaveTheirDefaults) {
  CDialerProfileSettings p;
  EXPECT_EQ(p.Name, "New Dialer Profile");
  EXPECT_EQ(p.AutoConnect, 1u);
  EXPECT_EQ(p.DisconnectAfter, 180u);
  EXPECT_EQ(p.Retries, 3);
  EXPECT_EQ(p.AccessRights.Description, "Users can use this dialer account");
  EXPECT_EQ(p.AccessRights.IncludeDefaultRights, kDefaultRightsIgnored);
  p.Username = "bob";
  p.ProfileName = "ISP";
  EXPECT_EQ(p.GetDescription(), "Account bob at ISP ");
  p.AutoConnect = 0;
  EXPECT_EQ(p.GetDescription(), "Account bob at ISP (disabled)");
  CDialerSettings d;
  EXPECT_EQ(d.RasdialTimeout, 180000u);
  EXPECT_EQ(d.TimerInterval, 2u);
}

TEST(DialerSettings, RegistryRoundTripScramblesThePasswordAndDropsWhatIsGone) {
  RegDeleteKeyTree("Dialer");
  CDialerSettings d;
  ASSERT_TRUE(d.AddProfile(Profile("Office", "ISP One")));
  ASSERT_TRUE(d.AddProfile(Profile("Spare", "ISP Two")));
  d.LocalSites = {"intranet.example", "10.1."};
  d.TimerInterval = 7;
  d.LogOptions = 3;
  d.UseSynchronousRasdial = 1;
  ASSERT_TRUE(d.Save("Dialer"));

  // The password is never stored as it is typed.
  const CString stored = RegReadString("Dialer\\Profiles\\Office", "Password", "");
  EXPECT_NE(stored, "s3cret");
  CString unscrambled = stored;
  ScrambleString(unscrambled);
  EXPECT_EQ(unscrambled, "s3cret");
  EXPECT_EQ(RegReadDWORD("Dialer\\LocalSites", "intranet.example", 1), 0u);

  // A profile removed since is removed from the registry at the next save.
  ASSERT_TRUE(d.RemoveProfile("Spare"));
  ASSERT_TRUE(d.Save("Dialer"));
  EXPECT_FALSE(RegKeyExists("Dialer\\Profiles\\Spare"));

  // A missing RasdialTimeout loads as 120000; TimerInterval 0 as 2; an empty site is dropped.
  RegRemoveValue("Dialer", "RasdialTimeout");
  RegWriteDWORD("Dialer", "TimerInterval", 0);
  RegWriteDWORD("Dialer\\LocalSites", "", 0);
  CDialerSettings back;
  back.Load("Dialer");
  EXPECT_EQ(back.RasdialTimeout, 120000u);
  EXPECT_EQ(back.TimerInterval, 2u);
  EXPECT_EQ(back.LocalSites, (std::vector<CString>{"10.1.", "intranet.example"}));
  auto p = back.FindProfileSettings("Office");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Password, "s3cret");
  EXPECT_EQ(p->ProfileName, "ISP One");
  EXPECT_EQ(p->DisconnectAfter, 3725u);
  EXPECT_EQ(p->Retries, 5);
  EXPECT_EQ(p->AccessRights.GetRecipients().size(), 1u);
  EXPECT_EQ(back.UseSynchronousRasdial, 1u);
  EXPECT_FALSE(back.FindProfileSettings("Spare"));
}

TEST(DialerSettings, ArchiveUpdatesInPlaceRemovesMissingAndRefusesBadForms) {
  CDialerSettings live;
  auto kept = Profile("Office", "ISP One");
  ASSERT_TRUE(live.AddProfile(kept));
  ASSERT_TRUE(live.AddProfile(Profile("Old", "ISP Old")));

  CDialerSettings console;
  auto changed = Profile("Office", "ISP Renamed");
  changed->Retries = 1;
  ASSERT_TRUE(console.AddProfile(changed));
  ASSERT_TRUE(console.AddProfile(Profile("New", "ISP New")));
  console.LocalSites = {"local.example", ""};
  console.TimerInterval = 0;
  console.PhonebookEntries = {"A", "B"};
  auto bytes = Store(console);

  CArchive in(bytes.data(), bytes.size());
  live.Serialize(in);
  // The same object, changed in place; the missing one gone; the new one made.
  EXPECT_EQ(live.FindProfileSettings("Office").get(), kept.get());
  EXPECT_EQ(kept->ProfileName, "ISP Renamed");
  EXPECT_EQ(kept->Retries, 1);
  EXPECT_FALSE(live.FindProfileSettings("Old"));
  EXPECT_TRUE(live.FindProfileSettings("New"));
  EXPECT_EQ(live.TimerInterval, 2u);
  EXPECT_EQ(live.LocalSites, std::vector<CString>{"local.example"});
  EXPECT_EQ(live.PhonebookEntries, (std::vector<CString>{"A", "B"}));

  // A profile name that cannot be a registry key is refused, and nothing changes.
  CDialerSettings bad;
  auto slash = Profile("Office", "X");
  bad.Profiles.SetAt("a\\b", slash);
  auto badBytes = Store(bad);
  CArchive badIn(badBytes.data(), badBytes.size());
  EXPECT_THROW(live.Serialize(badIn), CArchiveException);
  EXPECT_TRUE(live.FindProfileSettings("New"));

  // A stream cut anywhere changes nothing and throws.
  for (size_t cut = 0; cut + 1 < bytes.size(); cut += 7) {
    CDialerSettings target;
    ASSERT_TRUE(target.AddProfile(Profile("Keep", "K")));
    CArchive partial(bytes.data(), cut);
    EXPECT_THROW(target.Serialize(partial), CArchiveException) << cut;
    EXPECT_TRUE(target.FindProfileSettings("Keep"));
    EXPECT_FALSE(target.FindProfileSettings("New"));
  }

  // A count no frame could hold is refused before anything is made.
  CArchive huge(CArchive::store);
  huge << static_cast<uint32_t>(0x7FFFFFFF);
  auto hugeBytes = huge.TakeBytes();
  CArchive hugeIn(hugeBytes.data(), hugeBytes.size());
  EXPECT_THROW(live.Serialize(hugeIn), CArchiveException);
}

}  // namespace
