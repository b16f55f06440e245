// The console's rules without a toolkit: the placement record's 88-character form and what a
// hostile or damaged one does, the texts of failed log-ins, and the entries of the trees.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "console/model/console_dialogs.h"
#include "console/model/console_settings.h"
#include "console/model/console_texts.h"
#include "console/model/tree_entry.h"
#include "engine/net/socket_exception.h"
#include "engine/remote/link.h"

namespace {

TEST(ConsolePasswordChange, AForcedChangeNeedsANewPasswordAndEveryChangeTheSameOneTwice) {
  struct Case {
    bool forced;
    const char *oldPw, *newPw, *confirm;
    PasswordField field;
    const char* text;
  } cases[] = {
      {true, "", "", "", PASSWORD_NEW, kTextForcedPasswordEmpty},
      {true, "old", "", "", PASSWORD_NEW, kTextForcedPasswordEmpty},
      {true, "old", "old", "old", PASSWORD_NEW, kTextForcedPasswordSame},
      {true, "", "new", "neW", PASSWORD_CONFIRM, kTextPasswordsDiffer},
      {true, "", "new", "new", PASSWORD_NONE, nullptr},
      // A change the account chose itself keeps the engine's rules: empty and the old one are its own choice.
      {false, "old", "", "", PASSWORD_NONE, nullptr},
      {false, "old", "old", "old", PASSWORD_NONE, nullptr},
      {false, "old", "a", "b", PASSWORD_CONFIRM, kTextPasswordsDiffer},
  };
  for (const Case& c : cases) {
    const PasswordCheck check = CheckPasswordChange(c.forced, c.oldPw, c.newPw, c.confirm);
    EXPECT_EQ(check.field, c.field) << c.oldPw << " -> " << c.newPw;
    EXPECT_EQ(CString(check.text ? check.text : ""), CString(c.text ? c.text : "")) << c.oldPw << " -> " << c.newPw;
  }
}

TEST(ConsolePlacement, RoundTripsAndRefusesWhatIsNoPlacement) {
  const CString text = EncodePlacement({-20, 30, 800, 600, true});
  ASSERT_EQ(text.size(), 88u);
  // Length 44, show command 3, the normal rectangle at offset 28 (left, top, right, bottom).
  EXPECT_EQ(text.substr(0, 8), "2C000000");
  EXPECT_EQ(text.substr(16, 8), "03000000");
  EXPECT_EQ(text.substr(56, 8), "ECFFFFFF");
  EXPECT_EQ(text.substr(72, 8), "0C030000");  // right = -20 + 800
  auto p = DecodePlacement(text);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->left, -20);
  EXPECT_EQ(p->top, 30);
  EXPECT_EQ(p->width, 800);
  EXPECT_EQ(p->height, 600);
  EXPECT_TRUE(p->maximised);
  // Lower-case hex reads as well.
  CString lower = text;
  for (auto& c : lower) c = static_cast<char>(tolower(c));
  EXPECT_TRUE(DecodePlacement(lower));

  EXPECT_FALSE(DecodePlacement(text.substr(0, 87)));
  EXPECT_FALSE(DecodePlacement(text + "0"));
  EXPECT_FALSE(DecodePlacement(""));
  CString bad = text;
  bad[10] = 'G';
  EXPECT_FALSE(DecodePlacement(bad));
  CString wrongLength = text;
  wrongLength.replace(0, 2, "2B");
  EXPECT_FALSE(DecodePlacement(wrongLength));
  // No area, or a rectangle whose width overflows 32 bits, is no placement.
  EXPECT_FALSE(DecodePlacement(EncodePlacement({5, 5, 0, 100, false})));
  CString huge = EncodePlacement({0, 0, 10, 10, false});
  huge.replace(56, 8, "00000080");  // left = INT32_MIN, right = 10
  EXPECT_FALSE(DecodePlacement(huge));
}

TEST(ConsoleTexts, FailedLogInsAndTitles) {
  EXPECT_EQ(ConnectErrorText(WSAECONNREFUSED, ""),
            "There was a problem connecting to the server.\nConnection refused by server.  Check your\nserver name "
            "and port number");
  EXPECT_EQ(ConnectErrorText(LINK_PROTOCOL_ERROR, "Bad Protocol %s"),
            "There was a problem connecting to the server.\nA protocol error occured:\nBad Protocol %s");
  EXPECT_EQ(ConnectErrorText(LINK_BAD_PASSWORD, ""),
            "There was a problem connecting to the server.\nBad password - recheck your password\n(note - passwords "
            "are case sensitive)");
  EXPECT_EQ(ConnectErrorText(103, "whatever"), "");
  for (uint32_t code : {100u, 102u, 104u, 105u, 106u, 107u, 109u})
    EXPECT_EQ(ConnectErrorText(code, "").rfind("There was a problem connecting to the server.\n", 0), 0u) << code;
  EXPECT_EQ(WindowTitle(true, "gw"), "Nomra Lookout - Online to gw");
  EXPECT_EQ(WindowTitle(false, "gw"), "Nomra Lookout - Off-line");
}

TEST(ConsoleEntries, TextsPicturesAndMenuRules) {
  EXPECT_EQ(MachineEntryText("desk", "10.0.0.2"), "desk [10.0.0.2]");
  EXPECT_EQ(MachineEntryText("", "10.0.0.2"), "10.0.0.2");
  EXPECT_EQ(UserLineText("bob", 0), "bob (Unknown user)");
  EXPECT_EQ(UserLineText("bob", 1), "bob (Assumed)");
  EXPECT_EQ(UserLineText("bob", 2), "bob (Authenticated)");
  EXPECT_EQ(UserLineText("bob", 3), "bob");
  EXPECT_EQ(UserLineImage(3), IMAGE_MACHINE);
  EXPECT_EQ(SessionImage("Trellis Login: Shutdown"), IMAGE_SESSION_CONSOLE);
  EXPECT_EQ(SessionImage("RealAudio"), IMAGE_SESSION_REAL);
  EXPECT_EQ(SessionImage("POP3 user"), IMAGE_SESSION_POP3);
  EXPECT_EQ(SessionImage("Trellis"), IMAGE_SESSION);
  EXPECT_EQ(UpdatedSessionLook("handover", IMAGE_SESSION).text, "SOCKS Handover");
  EXPECT_EQ(UpdatedSessionLook("x", IMAGE_SESSION_HANDOVER).image, IMAGE_SESSION);
  EXPECT_EQ(UpdatedSessionLook("cached", IMAGE_SESSION_POP3).image, IMAGE_CACHED);
  EXPECT_EQ(ServiceImage(0), IMAGE_SERVICE_STOPPED);
  EXPECT_EQ(ServiceImage(1), IMAGE_SERVICE_RUNNING);
  EXPECT_EQ(ServiceImage(2), IMAGE_SERVICE_PARTIAL);
  EXPECT_TRUE(IsResourceLocation("FTP://host/"));
  EXPECT_TRUE(IsResourceLocation("Http://host/"));
  EXPECT_FALSE(IsResourceLocation("https://host/"));
  EXPECT_FALSE(IsResourceLocation("http:/"));
  EXPECT_FALSE(CanSendMessageTo(1));
  EXPECT_TRUE(CanSendMessageTo(2));
  EXPECT_EQ(UserStateText(1), "Assumed user");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FirstSeenText(0), "Thu, January 01 1970 at 00:00:00");
}

}  // namespace
