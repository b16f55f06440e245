#include "engine/proxy/common/url_normal.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>

#include <string>

namespace {

struct PathCase {
  std::string in;
  std::string out;
};

// RFC 3986 section 5.4: each reference against the base "http://a/b/c/d;p?q", merged with the
// base's folder "/b/c/" as section 5.2.3 does; the normal path is the path of the section's target.
TEST(UrlNormal, ReferenceResolutionExamples) {
  const PathCase cases[] = {
      {"g", "/b/c/g"},          {"./g", "/b/c/g"},     {"g/", "/b/c/g/"},       {"g;x", "/b/c/g;x"},
      {";x", "/b/c/;x"},        {".", "/b/c/"},        {"./", "/b/c/"},         {"..", "/b/"},
      {"../", "/b/"},           {"../g", "/b/g"},      {"../..", "/"},          {"../../", "/"},
      {"../../g", "/g"},        {"../../../g", "/g"},  {"../../../../g", "/g"}, {"g.", "/b/c/g."},
      {".g", "/b/c/.g"},        {"g..", "/b/c/g.."},   {"..g", "/b/c/..g"},     {"./../g", "/b/g"},
      {"./g/.", "/b/c/g/"},     {"g/./h", "/b/c/g/h"}, {"g/../h", "/b/c/h"},    {"g;x=1/./y", "/b/c/g;x=1/y"},
      {"g;x=1/../y", "/b/c/y"},
  };
  for (const auto& k : cases) EXPECT_EQ(NormalizeUrlPath("/b/c/" + k.in), k.out) << k.in;
  // Absolute paths of the same section.
  EXPECT_EQ(NormalizeUrlPath("/./g"), "/g");
  EXPECT_EQ(NormalizeUrlPath("/../g"), "/g");
  EXPECT_EQ(NormalizeUrlPath("/g"), "/g");
}

// RFC 3986 section 6.2.2 and what a hostile client spells to slip past a rule.
TEST(UrlNormal, PathsInNormalForm) {
  const PathCase cases[] = {
      {"/./b/../b/%63/%7bfoo%7d", "/b/c/%7Bfoo%7D"},  // section 6.2.2's example
      {"/%7Esmith/home.html", "/~smith/home.html"},   // unreserved escapes are their characters
      {"/a%3a%3Ab", "/a%3A%3Ab"},                     // other escapes upper-case, whatever case came
      {"/public/cas%69no.html", "/public/casino.html"},
      {"/%73ecret/s.html", "/secret/s.html"},
      {"//secret/s.html", "/secret/s.html"},
      {"/public/../secret/s.html", "/secret/s.html"},
      {"/public/%2e%2e/secret/s.html", "/secret/s.html"},  // escaped dots are dots, then removed
      {"/public/%2E%2e/%2e/secret", "/secret"},
      {"/public/.%2e/other", "/other"},
      {"/a//..//b", "/b"},                             // slashes merged before dots are removed
      {"/public/..%2Fsecret", "/public/..%2Fsecret"},  // an escaped "/" is data, not a separator
      {"/public/..%2fsecret", "/public/..%2Fsecret"},
      {"/a%", "/a%25"},  // a bare "%" is escaped
      {"/a%4", "/a%254"},
      {"/a%g1/b", "/a%25g1/b"},
      {"/%%41", "/%25A"},
      {"/a%00b", "/a%00b"},                 // NUL stays escaped
      {std::string("/a\0b", 4), "/a%00b"},  // and a raw NUL is escaped
      {"/a b\x7f\x80", "/a%20b%7F%80"},
      {"/%C0%AE%c0%ae/secret", "/%C0%AE%C0%AE/secret"},  // overlong UTF-8 is not a dot
      {"/secret#/../public", "/public"},                 // a fragment mark is data, escaped
      {"/x#y", "/x%23y"},
      {"/a/b/", "/a/b/"},
      {"/a/b/.", "/a/b/"},
      {"/a/b/..", "/a/"},
      {"/..", "/"},
      {"/", "/"},
      {"", ""},
      {"a/b", "/a/b"},
      {"/a?b", "/a?b"},  // a query mark in the path text stays as it is
  };
  for (const auto& k : cases) EXPECT_EQ(NormalizeUrlPath(k.in), k.out) << k.in;
  // The normal form is its own normal form.
  for (const auto& k : cases) EXPECT_EQ(NormalizeUrlPath(NormalizeUrlPath(k.in)), NormalizeUrlPath(k.in)) << k.in;
}

TEST(UrlNormal, QueriesKeepTheirSlashesAndDots) {
  EXPECT_EQ(NormalizeUrlQuery("a=%2e%2e/../%63&b=%2f%zz#"), "a=../../c&b=%2F%25zz%23");
  EXPECT_EQ(NormalizeUrlQuery(""), "");
}

TEST(UrlNormal, PathsAServerCouldReadOtherwise) {
  const struct {
    const char* path;
    bool plain;
  } cases[] = {
      {"/public/page.html", true},
      {"/", true},
      {"/a/b/", true},
      {"/api/group%2Fproject/x", true},  // an escaped "/" inside a name hides no segment
      {"/a;jsessionid=1/b", true},
      {"/a\\b", true},
      {"/%C0%80x", true},              // an overlong spelling of something harmless
      {"/public/..%2Fsecret", false},  // "/public/../secret" to a server that decodes it
      {"/public/..%5Csecret", false},
      {"/public/..\\secret", false},
      {"/%2Fsecret/s.html", false},  // "//secret" to such a server
      {"/public/%2F", false},
      {"/public/%C0%AE%C0%AE/secret", false},
      {"/public/%C0%AE%C0%AE%C0%AFsecret", false},
      {"/public/%E0%80%AE%E0%80%AE%C1%9Csecret", false},
      {"/public/..;/secret", false},  // "..;" is ".." to a server that cuts parameters
      {"/public/.;x/secret", false},
      {"/public/;x/secret", false},
  };
  for (const auto& k : cases) {
    const char* why = nullptr;
    EXPECT_EQ(IsUnambiguousPath(k.path, &why), k.plain) << k.path;
    if (!k.plain) {
      EXPECT_NE(std::string(why), "") << k.path;
    }
  }
}

// Host names as the system resolver reads them; the numbers are checked against the resolver
// itself, so a spelling it takes as an address is never judged as a name.
TEST(UrlNormal, HostNamesAsTheResolverReadsThem) {
  EXPECT_EQ(NormalizeHostName("www.Example.COM"), "www.example.com");
  EXPECT_EQ(NormalizeHostName("banned.test."), "banned.test");
  EXPECT_EQ(NormalizeHostName("banned.test..."), "banned.test");
  EXPECT_EQ(NormalizeHostName("."), "");
  EXPECT_EQ(NormalizeHostName(""), "");
  EXPECT_EQ(NormalizeHostName("xn--bcher-kva.TEST"), "xn--bcher-kva.test");
  EXPECT_EQ(NormalizeHostName("B\xC3\x9C"
                              "CHER.test"),
            "b\xC3\x9C"
            "cher.test");  // only ASCII folds

  const char* spellings[] = {"127.1",
                             "0x7f.1",
                             "0X7F.0.0.1",
                             "017700000001",
                             "2130706433",
                             "127.0.0.1",
                             "0",
                             "0x7f000001",
                             "127.000.000.001",
                             "0377.0xff.65535",
                             "00000000000000000000000000127.1",
                             "10.77.0.3",
                             "1.2.3.4.5",
                             "256.1.1.1",
                             "08.1",
                             "0x",
                             "0x.1",
                             "4294967296",
                             "0x100000001",
                             "1..2",
                             "1.2.3.",
                             " 1.2.3.4",
                             "1.2.3.4 ",
                             "a.1",
                             "0xffffffff",
                             "1.0xffffff",
                             "1.2.65535",
                             "1.2.65536",
                             "09"};
  for (const char* s : spellings) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    const bool system = getaddrinfo(s, nullptr, &hints, &res) == 0 && res;
    uint32_t expected = 0;
    if (system) {
      expected = ntohl(reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr.s_addr);
      freeaddrinfo(res);
    }
    uint32_t got = 0;
    EXPECT_EQ(ParseResolverNumber(s, &got), system) << s;
    if (system) {
      EXPECT_EQ(got, expected) << s;
    }
  }
  EXPECT_EQ(NormalizeHostName("2130706433"), "127.0.0.1");
  EXPECT_EQ(NormalizeHostName("0X7F.1."), "127.0.0.1");
  EXPECT_EQ(NormalizeHostName("256.1.1.1"), "256.1.1.1");
}

}  // namespace
