// The machine record a console reads from notifications 71 and 72: its byte form as the wire
// format describes it, the clamping of what a reader takes, and a short record that changes
// nothing.
#include "engine/core/machine_record.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> Archived(CObject& obj) {
  CArchive ar(CArchive::store);
  obj.Serialize(ar);
  return ar.TakeBytes();
}

void PutString(std::vector<uint8_t>& out, const std::string& s) {
  out.push_back(static_cast<uint8_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

TEST(MachineRecord, ByteFormClampingAndAShortRecord) {
  CMachineRecord r;
  r.Address = "192.168.0.7";
  r.UserName = "bob";
  r.SecurityLevel = 1;
  r.Created = 0x80000001u;  // after 2038: unsigned
  r.IdentifiedByDHCP = 1;
  r.ComputerName = "desk";
  r.HardwareAddress = "00-11-22-33-44-55";
  std::vector<uint8_t> expected;
  PutString(expected, "192.168.0.7");
  PutString(expected, "bob");
  PutU32(expected, 1);
  PutU32(expected, 0x80000001u);
  PutU32(expected, 1);
  PutString(expected, "desk");
  PutString(expected, "00-11-22-33-44-55");
  EXPECT_EQ(Archived(r), expected);

  // A reader clamps the level and the flag.
  std::vector<uint8_t> odd;
  PutString(odd, "10.0.0.1");
  PutString(odd, "eve");
  PutU32(odd, 77);
  PutU32(odd, 5);
  PutU32(odd, 9);
  PutString(odd, "");
  PutString(odd, "");
  CMachineRecord read;
  CArchive in(odd.data(), odd.size());
  read.Serialize(in);
  EXPECT_EQ(in.BytesLeft(), 0u);
  EXPECT_EQ(read.Address, "10.0.0.1");
  EXPECT_EQ(read.SecurityLevel, 3u);
  EXPECT_EQ(read.IdentifiedByDHCP, 1u);
  EXPECT_EQ(read.Created, 5u);

  // A record cut short changes nothing.
  CArchive cut(expected.data(), expected.size() - 1);
  EXPECT_THROW(read.Serialize(cut), CArchiveException);
  EXPECT_EQ(read.Address, "10.0.0.1");
  EXPECT_EQ(read.UserName, "eve");
}

}  // namespace
