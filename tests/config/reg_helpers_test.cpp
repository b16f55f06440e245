#include "engine/config/reg_helpers.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/config/host_port.h"
#include "engine/config/util.h"
#include "tests/support/registry_fixture.h"

namespace reg = platform::reg;

namespace {

const char kRoot[] = "HKLM\\SOFTWARE\\Nomra Software\\Trellis 2";

// Each test works on a fresh store file of its own.
class RegHelpers : public trellis::test::PrivateRegistryTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(PrivateRegistryTest::SetUp());
    SetRegistryRoot("Nomra Software", "Trellis 2");
  }
  void TearDown() override {
    PrivateRegistryTest::TearDown();
    SetRegistryRoot("Nomra Software", "Trellis 2");
  }
  void PutRaw(const std::string& rel, const std::string& name, uint32_t type, const std::string& data) {
    ASSERT_EQ(store_->SetValue(std::string(kRoot) + "\\" + rel, name, type, data), reg::kOk);
  }
  reg::Value GetRaw(const std::string& rel, const std::string& name) {
    reg::Value v;
    EXPECT_EQ(store_->GetValue(std::string(kRoot) + "\\" + rel, name, &v), reg::kOk) << rel << " " << name;
    return v;
  }
  bool KeyThere(const std::string& rel) { return store_->KeyExists(std::string(kRoot) + "\\" + rel); }
};

TEST_F(RegHelpers, RootKeyPathAndCreation) {
  EXPECT_EQ(GetRegistryRootPath(), kRoot);
  EXPECT_FALSE(store_->KeyExists(kRoot));
  RegKey root = RegOpenRootKey();
  ASSERT_TRUE(root);
  EXPECT_EQ(root.GetPath(), kRoot);
  EXPECT_TRUE(store_->KeyExists(kRoot));
  EXPECT_EQ(RegOpenSubKey(nullptr).GetPath(), kRoot);
  EXPECT_EQ(RegOpenSubKey("").GetPath(), kRoot);
  RegKey sub = RegOpenSubKey("Services\\WWW");
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub.GetName(), "WWW");
  EXPECT_TRUE(KeyThere("Services\\WWW"));

  SetRegistryRoot("Other Co", "Product");
  EXPECT_TRUE(RegWriteDWORD("K", "V", 1));
  EXPECT_TRUE(store_->KeyExists("HKLM\\SOFTWARE\\Other Co\\Product\\K"));
}

TEST_F(RegHelpers, TypedRoundTripsAndStoredLayout) {
  EXPECT_TRUE(RegWriteDWORD("Settings", "Port", 0xA1B2C3D4u));
  EXPECT_TRUE(RegWriteString("Settings", "Name", "Trellis"));
  EXPECT_TRUE(RegWriteDouble("Settings", "When", 36526.75));
  const uint8_t blob[] = {1, 0, 2, 0, 3};
  EXPECT_TRUE(RegWriteBinary("Settings", "Blob", blob, sizeof blob));

  EXPECT_EQ(RegReadDWORD("Settings", "Port", 0), 0xA1B2C3D4u);
  EXPECT_EQ(RegReadString("Settings", "Name", "x"), "Trellis");
  EXPECT_DOUBLE_EQ(RegReadDouble("Settings", "When", 0.0), 36526.75);

  reg::Value v = GetRaw("Settings", "Port");
  EXPECT_EQ(v.type, reg::kDword);
  EXPECT_EQ(v.data, std::string("\xD4\xC3\xB2\xA1", 4));
  v = GetRaw("Settings", "Name");
  EXPECT_EQ(v.type, reg::kSz);
  EXPECT_EQ(v.data, std::string("Trellis\0", 8));  // terminator counted
  v = GetRaw("Settings", "When");
  EXPECT_EQ(v.type, reg::kBinary);
  EXPECT_EQ(v.data.size(), 8u);

  uint8_t out[8];
  std::memset(out, 0xEE, sizeof out);
  size_t stored = 0;
  ASSERT_TRUE(RegReadBinary("Settings", "Blob", out, 3, &stored));
  EXPECT_EQ(stored, 5u);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[2], 2);
  EXPECT_EQ(out[3], 0xEE);  // at most size bytes
  std::memset(out, 0xEE, sizeof out);
  EXPECT_FALSE(RegReadBinary("Settings", "Missing", out, sizeof out));
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(RegReadBytes("Settings", "Blob"), std::string(reinterpret_cast<const char*>(blob), sizeof blob));
  EXPECT_FALSE(RegReadBytes("Settings", "Missing").has_value());
}

TEST_F(RegHelpers, NamesIgnoreCase) {
  ASSERT_TRUE(RegWriteDWORD("Settings\\Inner", "Port", 21));
  EXPECT_EQ(RegReadDWORD("SETTINGS\\inner", "PORT", 0), 21u);
  RegKey k = RegOpenExistingKey("settings\\INNER");
  ASSERT_TRUE(k);
  EXPECT_EQ(k.GetName(), "Inner");
}

TEST_F(RegHelpers, ScrambledPasswordWithZeroByteKeepsItsFullLength) {
  CString password = "correct horse batter";  // 20 bytes
  password += "*xy0yyyyyyy@tail";
  ASSERT_EQ(password[20], '*');  // 2*20+2 = 42
  ASSERT_EQ(password[23], '0');  // 2*23+2 = 48
  ASSERT_EQ(password[31], '@');  // 2*31+2 = 64
  CString scrambled = password;
  ScrambleString(scrambled);
  ASSERT_EQ(scrambled[20], '\0');
  ASSERT_TRUE(RegWriteString("UserDatabase\\joe", "Password", scrambled));
  CString back = RegReadString("UserDatabase\\joe", "Password", "");
  ASSERT_EQ(back.size(), password.size());
  ScrambleString(back);
  EXPECT_EQ(back, password);

  // A password whose last byte scrambles to zero keeps that byte too.
  CString endsInZero(21, 'q');
  endsInZero[20] = '*';
  CString s = endsInZero;
  ScrambleString(s);
  ASSERT_TRUE(RegWriteString("UserDatabase\\ann", "Password", s));
  CString r = RegReadString("UserDatabase\\ann", "Password", "");
  ASSERT_EQ(r.size(), 21u);
  ScrambleString(r);
  EXPECT_EQ(r, endsInZero);
}

TEST_F(RegHelpers, NumbersFromDataOfOtherTypesAndShortData) {
  PutRaw("T", "Str", reg::kSz, std::string("ABCDEFG\0", 8));
  EXPECT_EQ(RegReadDWORD("T", "Str", 7), 0x44434241u);  // first four bytes
  PutRaw("T", "Short", reg::kSz, std::string("AB\0", 3));
  EXPECT_EQ(RegReadDWORD("T", "Short", 7), 7u);
  PutRaw("T", "Empty", reg::kBinary, "");
  EXPECT_EQ(RegReadDWORD("T", "Empty", 9), 9u);
  EXPECT_DOUBLE_EQ(RegReadDouble("T", "Empty", 1.5), 1.5);
  ASSERT_TRUE(RegWriteDWORD("T", "Dw", 5));
  EXPECT_DOUBLE_EQ(RegReadDouble("T", "Dw", 2.5), 2.5);  // 4 bytes cannot make a double
  PutRaw("T", "Long", reg::kBinary, std::string("\0\0\0\0\0\0\xF8\x3F\xFF\xFF", 10));
  EXPECT_DOUBLE_EQ(RegReadDouble("T", "Long", 0.0), 1.5);
  // Strings keep embedded zeros and lose only one terminator.
  PutRaw("T", "Zeros", reg::kSz, std::string("a\0b\0\0", 5));
  EXPECT_EQ(RegReadString("T", "Zeros", ""), std::string("a\0b\0", 4));
  PutRaw("T", "NoTerm", reg::kSz, "abc");
  EXPECT_EQ(RegReadString("T", "NoTerm", ""), "abc");
  EXPECT_EQ(RegReadString("T", "Missing", "dflt"), "dflt");
}

TEST_F(RegHelpers, ReadsDoNotCreateKeys) {
  EXPECT_EQ(RegReadDWORD("UserDatabase\\ghost", "Enabled", 3), 3u);
  EXPECT_EQ(RegReadString("UserDatabase\\ghost", "Password", "d"), "d");
  EXPECT_DOUBLE_EQ(RegReadDouble("UserDatabase\\ghost", "Last", 4.0), 4.0);
  uint8_t b[4];
  EXPECT_FALSE(RegReadBinary("UserDatabase\\ghost", "B", b, sizeof b));
  std::vector<CString> list;
  RegReadStringList("UserDatabase\\ghost", "L", list);
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(RegValueExists("UserDatabase\\ghost", "Enabled"));
  EXPECT_TRUE(RegRemoveValue("UserDatabase\\ghost", "Enabled"));
  EXPECT_FALSE(RegKeyExists("UserDatabase\\ghost"));
  EXPECT_FALSE(RegOpenExistingKey("UserDatabase").IsValid());
  EXPECT_FALSE(KeyThere("UserDatabase"));
  EXPECT_FALSE(store_->KeyExists(kRoot));
}

TEST_F(RegHelpers, DeletingValuesAndKeys) {
  ASSERT_TRUE(RegWriteString("A\\B", "V", "x"));
  ASSERT_TRUE(RegWriteString("A", "W", "y"));
  EXPECT_TRUE(RegValueExists("A\\B", "V"));
  // A null text deletes the value.
  EXPECT_TRUE(RegWriteString("A\\B", "V", nullptr));
  EXPECT_FALSE(RegValueExists("A\\B", "V"));
  EXPECT_TRUE(RegWriteString("A\\B", "V", nullptr));  // already gone
  // A null name deletes the key, which must have no sub-keys.
  EXPECT_FALSE(RegWriteString("A", nullptr, nullptr));
  EXPECT_TRUE(KeyThere("A"));
  EXPECT_TRUE(RegWriteString("A\\B", nullptr, nullptr));
  EXPECT_FALSE(KeyThere("A\\B"));
  EXPECT_TRUE(KeyThere("A"));
  // Never the root through this path.
  EXPECT_FALSE(RegWriteString(nullptr, nullptr, nullptr));
  EXPECT_TRUE(store_->KeyExists(kRoot));

  // Removing a value that its existing key lacks fails; a missing key counts as removed.
  EXPECT_FALSE(RegRemoveValue("A", "Nope"));
  EXPECT_TRUE(RegRemoveValue("A", "W"));
  EXPECT_FALSE(RegValueExists("A", "W"));
  EXPECT_TRUE(RegRemoveValue("Z\\Y", "W"));
}

TEST_F(RegHelpers, DeleteKeyTreeRemovesDeepTreesOnly) {
  std::string path = "Tree";
  for (int depth = 0; depth < 40; ++depth) {
    path += "\\L" + std::to_string(depth);
    ASSERT_TRUE(RegWriteDWORD(path, "D", static_cast<uint32_t>(depth)));
    ASSERT_TRUE(RegWriteDWORD("Tree\\Side" + std::to_string(depth), "S", 1));
  }
  ASSERT_TRUE(RegWriteDWORD("Treehouse", "Keep", 1));
  ASSERT_TRUE(RegWriteDWORD("Other\\Tree", "Keep", 1));
  EXPECT_TRUE(RegDeleteKeyTree("Tree"));
  EXPECT_FALSE(KeyThere("Tree"));
  EXPECT_TRUE(store_->SubKeys(std::string(kRoot) + "\\Tree").empty());
  EXPECT_EQ(RegReadDWORD("Treehouse", "Keep", 0), 1u);
  EXPECT_EQ(RegReadDWORD("Other\\Tree", "Keep", 0), 1u);
  EXPECT_TRUE(RegDeleteKeyTree("Tree"));  // nothing left to delete

  // A null path removes the whole root.
  EXPECT_TRUE(RegDeleteKeyTree(nullptr));
  EXPECT_FALSE(store_->KeyExists(kRoot));
  EXPECT_TRUE(store_->KeyExists("HKLM\\SOFTWARE\\Nomra Software"));
}

TEST_F(RegHelpers, StringListsAreParsedWithinTheStoredBytes) {
  PutRaw("L", "Two", reg::kMultiSz, std::string("a\0bb\0\0ignored\0\0", 15));
  std::vector<CString> list = {"keep"};
  RegReadStringList("L", "Two", list);
  EXPECT_EQ(list, (std::vector<CString>{"keep", "a", "bb"}));

  list.clear();
  PutRaw("L", "Unterminated", reg::kMultiSz, std::string("a\0tail", 6));
  RegReadStringList("L", "Unterminated", list);
  EXPECT_EQ(list, (std::vector<CString>{"a", "tail"}));

  list.clear();
  PutRaw("L", "Empty", reg::kMultiSz, "");
  RegReadStringList("L", "Empty", list);
  PutRaw("L", "LeadingZero", reg::kMultiSz, std::string("\0abc\0", 5));
  RegReadStringList("L", "LeadingZero", list);
  EXPECT_TRUE(list.empty());

  ASSERT_TRUE(RegWriteStringList("L", "Written", {"x", "", "yz"}));
  EXPECT_EQ(GetRaw("L", "Written").data, std::string("x\0yz\0\0", 6));
  EXPECT_EQ(GetRaw("L", "Written").type, reg::kMultiSz);
  RegKey key = RegOpenSubKey(nullptr);
  RegReadStringListInKey(key, "L", "Written", list);
  EXPECT_EQ(list, (std::vector<CString>{"x", "yz"}));
}

TEST_F(RegHelpers, InKeyFormsWorkBelowTheGivenKey) {
  RegKey services = RegOpenSubKey("Services");
  ASSERT_TRUE(services);
  EXPECT_TRUE(RegWriteDWORDInKey(services, "WWW", "Port", 8080));
  EXPECT_TRUE(RegWriteStringInKey(services, "WWW", "ServiceType", "CWWWProxyService"));
  EXPECT_TRUE(RegWriteDoubleInKey(services, nullptr, "Stamp", 2.0));
  const char bin[] = "xyz";
  EXPECT_TRUE(RegWriteBinaryInKey(services, "WWW", "Bin", bin, 3));
  EXPECT_EQ(RegReadDWORD("Services\\WWW", "Port", 0), 8080u);
  EXPECT_EQ(RegReadDWORDInKey(services, "WWW", "Port", 0), 8080u);
  EXPECT_EQ(RegReadStringInKey(services, "www", "ServiceType", ""), "CWWWProxyService");
  EXPECT_DOUBLE_EQ(RegReadDoubleInKey(services, nullptr, "Stamp", 0.0), 2.0);
  char out[3] = {};
  EXPECT_TRUE(RegReadBinaryInKey(services, "WWW", "Bin", out, sizeof out));
  EXPECT_EQ(std::string(out, 3), "xyz");
  EXPECT_TRUE(RegValueExistsInKey(services, "WWW", "Port"));
  EXPECT_TRUE(RegDeleteValueInKey(services, "WWW", "Port"));
  EXPECT_FALSE(RegValueExistsInKey(services, "WWW", "Port"));
  EXPECT_EQ(RegEnumSubKeysInKey(services, nullptr), (std::vector<CString>{"WWW"}));

  RegKey www = RegOpenKeyPath(services, "WWW\\Bindings");
  ASSERT_TRUE(www);
  EXPECT_TRUE(KeyThere("Services\\WWW\\Bindings"));
  EXPECT_TRUE(RegDeleteKeyTreeInKey(services, "WWW"));
  EXPECT_FALSE(KeyThere("Services\\WWW"));
  EXPECT_TRUE(KeyThere("Services"));

  // A key that could not be opened: reads give defaults, writes fail, nothing is created.
  RegKey none;
  EXPECT_FALSE(none);
  EXPECT_EQ(RegReadDWORDInKey(none, "X", "V", 11), 11u);
  EXPECT_EQ(RegReadStringInKey(none, "X", "V", "d"), "d");
  EXPECT_FALSE(RegWriteDWORDInKey(none, "X", "V", 1));
  EXPECT_FALSE(RegWriteStringInKey(none, "X", "V", "s"));
  EXPECT_FALSE(RegOpenKeyPath(none, "X"));
  EXPECT_FALSE(RegDeleteKeyTreeInKey(none, nullptr));
  EXPECT_FALSE(KeyThere("X"));
}

TEST_F(RegHelpers, EnumerationAndNumberedSubKeys) {
  for (const char* k : {"Recipient10", "Recipient2", "recipient1", "RecipientX", "Recipient02", "Recipient",
                        "Other3"}) {
    ASSERT_TRUE(RegOpenSubKey(std::string("Event\\") + k));
  }
  EXPECT_EQ(RegEnumNumberedSubKeys("Event", "Recipient"), (std::vector<uint32_t>{1, 2, 10}));
  auto names = RegEnumSubKeys("Event");
  ASSERT_EQ(names.size(), 7u);
  EXPECT_EQ(names[0], "Other3");
  EXPECT_EQ(names[1], "Recipient");
  EXPECT_EQ(names[3], "recipient1");
  EXPECT_EQ(names[4], "Recipient10");  // before "Recipient2": the store's order
  EXPECT_TRUE(RegEnumSubKeys("Missing").empty());
  ASSERT_TRUE(RegWriteDWORD("Event", "B", 1));
  ASSERT_TRUE(RegWriteDWORD("Event", "a", 1));
  EXPECT_EQ(RegEnumValueNames("Event"), (std::vector<CString>{"a", "B"}));
}

TEST_F(RegHelpers, BatchedWritesAreCommittedWhenTheBatchEnds) {
  {
    RegBatch batch;
    RegBatch nested;
    for (uint32_t i = 0; i < 50; ++i) ASSERT_TRUE(RegWriteDWORD("Batch", "V" + std::to_string(i), i));
  }
  // Another connection to the same file sees every value.
  auto other = reg::Store::Open(store_->Path());
  ASSERT_TRUE(other);
  reg::Value v;
  ASSERT_EQ(other->GetValue(std::string(kRoot) + "\\Batch", "V49", &v), reg::kOk);
  EXPECT_EQ(v.data, std::string("\x31\0\0\0", 4));
  EXPECT_EQ(other->Values(std::string(kRoot) + "\\Batch").size(), 50u);
}

TEST_F(RegHelpers, HostPortSaveAndLoad) {
  CHostPort hp;
  hp.Load("Services\\FTP\\Upstream");
  EXPECT_EQ(hp.Host, "");
  EXPECT_EQ(hp.Port, 0u);
  EXPECT_FALSE(KeyThere("Services\\FTP\\Upstream"));

  CHostPort upstream("ftp.example.org", 2121);
  ASSERT_TRUE(upstream.Save("Services\\FTP\\Upstream"));
  EXPECT_EQ(GetRaw("Services\\FTP\\Upstream", "Host").data, std::string("ftp.example.org\0", 16));
  EXPECT_EQ(GetRaw("Services\\FTP\\Upstream", "Port").type, reg::kDword);
  CHostPort back;
  back.Load("Services\\FTP\\Upstream");
  EXPECT_EQ(back, upstream);
  EXPECT_TRUE(back.IsKindOf(TL_RUNTIME_CLASS(CObject)));
  EXPECT_STREQ(back.GetRuntimeClass()->m_className, "CHostPort");
}

// Without an override the helpers use the process's store (TRELLIS_REGISTRY of the test).
TEST(RegHelpersDefaultStore, UsesTheConfiguredFile) {
  SetRegistryStore(nullptr);
  auto store = GetRegistryStore();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->Path(), std::string(getenv("TRELLIS_REGISTRY")));
  ASSERT_TRUE(RegWriteDWORD("DefaultStoreTest", "V", 77));
  EXPECT_EQ(RegReadDWORD("DefaultStoreTest", "V", 0), 77u);
  EXPECT_TRUE(RegDeleteKeyTree("DefaultStoreTest"));
}

}  // namespace
