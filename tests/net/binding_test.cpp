#include <gtest/gtest.h>

#include "engine/net/binding.h"

TEST(Binding, ArchiveIsStateThenInterfaceAndCopiesCarryNoListener) {
  CBinding b;
  b.m_state = BINDING_FAILED;
  b.m_interface = CInterface(INTERFACE_IP, "127.0.0.1");
  b.Socket().Create();
  b.Socket().Bind(0, "127.0.0.1");

  CArchive out;
  b.Serialize(out);
  const auto& bytes = out.Bytes();
  ASSERT_GE(bytes.size(), 8u);
  EXPECT_EQ(bytes[0], 2);  // the state comes first, as a 32-bit number
  EXPECT_EQ(bytes[4], INTERFACE_IP);

  CBinding back;
  CArchive in(bytes.data(), bytes.size());
  back.Serialize(in);
  EXPECT_EQ(back.m_state, BINDING_FAILED);
  EXPECT_EQ(back.m_interface.m_name, "127.0.0.1");
  EXPECT_EQ(in.BytesLeft(), 0u);

  CBinding copy(b);
  EXPECT_FALSE(copy.HasSocket());
  EXPECT_TRUE(b.Socket().IsOpen());
  b.CloseSocket();
  EXPECT_FALSE(b.Socket().IsOpen());
}
