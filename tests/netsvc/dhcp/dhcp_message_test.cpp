// The DHCP reply writer's areas and lengths, and the request parser's refusals, where a real
// client cannot steer the server: options past 307 bytes, the overflow into file and sname, a
// code written twice, and the length a reply is sent at.
#include <gtest/gtest.h>

#include <vector>

#include "engine/netsvc/dhcp/dhcp_message.h"

namespace {

std::vector<uint8_t> Request(const std::vector<uint8_t>& options) {
  std::vector<uint8_t> b;
  b.reserve(240 + options.size());
  b.resize(240);
  b[0] = 1;
  b[1] = 1;
  b[2] = 6;
  b[28] = 0x02;
  b[33] = 0x09;
  b[236] = 99;
  b[237] = 130;
  b[238] = 83;
  b[239] = 99;
  b.insert(b.end(), options.begin(), options.end());
  return b;
}

// Walks the options of one area from start; returns code -> length and whether an END was met.
std::vector<std::pair<int, int>> Walk(const uint8_t* p, size_t start, size_t end, bool* ended) {
  std::vector<std::pair<int, int>> out;
  *ended = false;
  for (size_t i = start; i < end;) {
    if (p[i] == 0) {
      ++i;
      continue;
    }
    if (p[i] == 255) {
      *ended = true;
      break;
    }
    EXPECT_LE(i + 2 + p[i + 1], end);
    out.emplace_back(p[i], p[i + 1]);
    i += 2 + p[i + 1];
  }
  return out;
}

TEST(DHCPMessage, ParserChecksEveryLength) {
  dhcp::Request rq;
  const char* why = "";
  auto ok = Request({53, 1, 1, 50, 4, 10, 0, 0, 7, 12, 5, 'h', 'o', 's', 't', 0, 55, 2, 3, 1, 255, 12, 0xF0});
  ASSERT_TRUE(dhcp::ParseRequest(ok.data(), ok.size(), &rq, &why)) << why;
  EXPECT_EQ(rq.messageType, 1);
  EXPECT_EQ(rq.requested, 0x0A000007u);
  EXPECT_EQ(rq.hostName, "host");
  EXPECT_EQ(rq.hardwareAddress, "020000000009");
  EXPECT_EQ(rq.parameters, (std::vector<uint8_t>{3, 1}));

  auto bad = [&](std::vector<uint8_t> b) { return !dhcp::ParseRequest(b.data(), b.size(), &rq, &why); };
  auto shortOne = Request({53, 1, 1});
  shortOne.resize(239);
  EXPECT_TRUE(bad(shortOne));
  auto reply = Request({53, 1, 1});
  reply[0] = 2;
  EXPECT_TRUE(bad(reply));
  auto hlen = Request({53, 1, 1});
  hlen[2] = 17;
  EXPECT_TRUE(bad(hlen));
  auto cookie = Request({53, 1, 1});
  cookie[239] = 0;
  EXPECT_TRUE(bad(cookie));
  EXPECT_TRUE(bad(Request({53, 1, 1, 12, 200, 'x'})));
  EXPECT_TRUE(bad(Request({53, 0})));
  EXPECT_TRUE(bad(Request({53, 1, 1, 50, 2, 10, 0})));
  EXPECT_TRUE(bad(Request({53, 1, 1, 54, 5, 1, 2, 3, 4, 5})));
  // A host name with characters no host name has is not taken.
  auto odd = Request({53, 1, 3, 12, 4, 'a', '\\', 'b', '\n', 255});
  ASSERT_TRUE(dhcp::ParseRequest(odd.data(), odd.size(), &rq, &why));
  EXPECT_EQ(rq.hostName, "");
  // A full name is known by its first label; one that starts with a dot has none.
  auto full =
      Request({53, 1, 3, 12, 16, 'w', 'w', 'w', '.', 'o', 'u', 't', 's', 'i', 'd', 'e', '.', 't', 'e', 's', 't'});
  ASSERT_TRUE(dhcp::ParseRequest(full.data(), full.size(), &rq, &why));
  EXPECT_EQ(rq.hostName, "www");
  auto dot = Request({53, 1, 3, 12, 4, '.', 'l', 'a', 'n'});
  ASSERT_TRUE(dhcp::ParseRequest(dot.data(), dot.size(), &rq, &why));
  EXPECT_EQ(rq.hostName, "");
}

TEST(DHCPMessage, WriterFillsTheAreasInTurnAndSendsItsOwnLength) {
  auto rq = Request({53, 1, 1, 255});
  dhcp::CDHCPMessageWriter w(rq.data(), rq.size());
  w.SetOptionByte(53, 2);
  EXPECT_EQ(w.Length(), 300u);  // the BOOTP minimum
  std::vector<uint8_t> data(250, 0x41);
  EXPECT_TRUE(w.SetOption(43, data.data(), 250));  // 3 + 252 = 255 of 307
  EXPECT_EQ(w.Length(), 240u + 3 + 252 + 1);
  EXPECT_FALSE(w.SetOption(53, data.data(), 1));  // each code once
  EXPECT_TRUE(w.SetOption(60, data.data(), 100));  // into file
  EXPECT_TRUE(w.SetOption(61, data.data(), 40));   // into sname
  EXPECT_FALSE(w.SetOption(62, data.data(), 40));  // fits nowhere
  EXPECT_FALSE(w.SetOption(77, data.data(), 0));   // never given a value
  EXPECT_EQ(w.Length(), dhcp::kMaxMessage);
  const uint8_t* p = w.Data();
  bool ended = false;
  auto main = Walk(p, 240, dhcp::kMaxMessage, &ended);
  EXPECT_TRUE(ended);
  ASSERT_EQ(main.size(), 3u);
  EXPECT_EQ(main[2], (std::pair<int, int>{52, 1}));
  auto file = Walk(p, 108, 236, &ended);
  EXPECT_TRUE(ended);
  ASSERT_EQ(file.size(), 1u);
  EXPECT_EQ(file[0].first, 60);
  auto sname = Walk(p, 44, 108, &ended);
  EXPECT_TRUE(ended);
  ASSERT_EQ(sname.size(), 1u);
  EXPECT_EQ(sname[0].first, 61);
  EXPECT_EQ(p[240 + 3 + 252 + 2], 3);  // option 52: file and sname

  // Clearing starts again and empties what overflowed.
  w.ClearOptions();
  w.SetOptionByte(53, 6);
  EXPECT_EQ(w.Length(), 300u);
  EXPECT_EQ(p[108], 0);
  EXPECT_EQ(p[44], 0);
  EXPECT_EQ(p[0], 2);
}

}  // namespace
