// Interface records: their archive and registry forms, a dial-up entry's address, and the host
// data the engine reports.
#include "engine/config/interface.h"

#include <gtest/gtest.h>

#include "engine/config/archive.h"

TEST(Interface, ArchiveAndRegistryKeepEveryField) {
  CInterface a(INTERFACE_DIALUP, "Office");
  a.m_address = "10.1.2.3";
  a.m_lan = 1;
  a.m_outside = 1;
  CArchive out;
  a.Serialize(out);
  CArchive in(out.Bytes().data(), out.Bytes().size());
  CInterface b;
  b.Serialize(in);
  EXPECT_EQ(b.m_kind, INTERFACE_DIALUP);
  EXPECT_EQ(b.m_name, "Office");
  EXPECT_EQ(b.m_address, "10.1.2.3");
  EXPECT_EQ(b.m_lan, 1u);
  EXPECT_EQ(b.m_outside, 1u);
  EXPECT_EQ(in.BytesLeft(), 0u);

  ASSERT_TRUE(a.Save("Services\\X\\Binding0"));
  CInterface c;
  c.Load("Services\\X\\Binding0");
  EXPECT_EQ(c.m_kind, INTERFACE_DIALUP);
  EXPECT_EQ(c.m_name, "Office");
  EXPECT_EQ(c.m_address, "10.1.2.3");
  CInterface d;
  d.Load("Services\\Missing");
  EXPECT_EQ(d.m_kind, INTERFACE_IP);
  EXPECT_EQ(d.m_name, "");
}

TEST(Interface, DialupAddressFollowsTheDialer) {
  bool up = false;
  SetDialupInfo({[&](const CString& e, CString* a) {
                   if (!up || e != "ISP") return false;
                   *a = "203.0.113.7";
                   return true;
                 },
                 nullptr, nullptr});
  CInterface i(INTERFACE_DIALUP, "ISP");
  i.m_address = "203.0.113.1";
  EXPECT_FALSE(i.IsAvailable());
  EXPECT_EQ(i.GetAddressText(), "203.0.113.1") << "a connection that is down keeps its last address";
  up = true;
  EXPECT_TRUE(i.IsAvailable());
  EXPECT_EQ(i.GetAddressText(), "203.0.113.7");
  SetDialupInfo({});
}

TEST(SysInfo, ArchiveFormAndHostData) {
  CSysInfo s;
  s.GetOSVersion();
  EXPECT_GT(s.m_majorVersion, 0u);
  CArchive out;
  s.Serialize(out);
  // Three 32-bit numbers, then the version text (one length byte and 12 characters).
  ASSERT_EQ(out.Bytes().size(), 12u + 1 + 12);
  CSysInfo t;
  CArchive in(out.Bytes().data(), out.Bytes().size());
  t.Serialize(in);
  EXPECT_EQ(t.m_version, "Trellis 2.1d");
  EXPECT_EQ(t.m_majorVersion, s.m_majorVersion);
  EXPECT_EQ(CSysInfo::ReadComputerName().find('.'), CString::npos);
}
