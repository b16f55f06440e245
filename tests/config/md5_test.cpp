#include "engine/config/md5.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace {

std::string HexOf(const std::string& s) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

TEST(MD5, RFC1321Suite) {
  const std::pair<const char*, const char*> kSuite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, digest] : kSuite) {
    EXPECT_EQ(CMD5::Hex(CMD5::Of(input)), digest) << '"' << input << '"';
  }
  // The link's digest text drops leading zeros of each byte.
  EXPECT_EQ(CMD5::UnpaddedHex(CMD5::Of("")), "d41d8cd98f0b24e980998ecf8427e");
  EXPECT_EQ(CMD5::UnpaddedHex(CMD5::Of("abc")), "90150983cd24fb0d6963f7d28e17f72");
}

TEST(MD5, PiecewiseUpdatesMatchOneShotAndFinalRestarts) {
  std::string data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 37 + 11));
  const CMD5::Digest whole = CMD5::Of(data);
  for (size_t split = 0; split <= data.size(); ++split) {
    CMD5 md5;
    md5.Update(data.data(), split);
    md5.Update(data.data() + split, data.size() - split);
    ASSERT_EQ(md5.Final(), whole) << "split at " << split;
  }
  CMD5 md5;
  for (char c : data) md5.Update(&c, 1);
  EXPECT_EQ(md5.Final(), whole);
  md5.Update("abc");
  EXPECT_EQ(CMD5::Hex(md5.Final()), "900150983cd24fb0d6963f7d28e17f72");
}

// Independent check against python3's hashlib over the padding boundaries and multi-block inputs.
TEST(MD5, MatchesHashlibOnRandomInputs) {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (size_t n : {255, 256, 511, 512, 513, 1000, 4096 + 7, 100000}) lengths.push_back(n);
  std::mt19937 rng(20261209);
  std::vector<std::string> inputs;
  const std::string path = trellis::test::MakeTempDir("md5") + "/inputs.txt";
  {
    std::ofstream out(path);
    for (size_t n : lengths) {
      std::string s(n, '\0');
      for (char& c : s) c = static_cast<char>(rng());
      out << HexOf(s) << '\n';
      inputs.push_back(std::move(s));
    }
  }
  std::string result;
  const std::string cmd =
      "python3 -c 'import hashlib,sys\nfor l in open(sys.argv[1]): "
      "print(hashlib.md5(bytes.fromhex(l.strip())).hexdigest())' " + path;
  if (trellis::test::RunCommand(cmd, &result) != 0) GTEST_SKIP() << "python3 is not available";
  std::istringstream lines(result);
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::string want;
    ASSERT_TRUE(std::getline(lines, want)) << "python gave too few digests";
    EXPECT_EQ(CMD5::Hex(CMD5::Of(inputs[i])), want) << "length " << inputs[i].size();
  }
}

}  // namespace
