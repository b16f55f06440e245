// The local web server's path resolver: one table of request paths, each either refused, missing
// or opened as the file it names below the root; symbolic links that lead out of the root are
// refused by the open, links inside it are followed (not at all where the kernel lacks
// RESOLVE_BENEATH); an empty root serves nothing.
#include "engine/proxy/www/local_path.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

class LocalPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/local-path-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    m_root = m_dir + "/root";
    ::mkdir(m_root.c_str(), 0755);
    ::mkdir((m_root + "/sub").c_str(), 0755);
    Write(m_root + "/sub/file.txt", "inside");
    Write(m_root + "/top.txt", "top");
    Write(m_dir + "/secret.txt", "outside");
    ASSERT_EQ(::symlink("/etc/passwd", (m_root + "/abs").c_str()), 0);
    ASSERT_EQ(::symlink("../secret.txt", (m_root + "/rel").c_str()), 0);
    ASSERT_EQ(::symlink("sub/file.txt", (m_root + "/good").c_str()), 0);
    ASSERT_EQ(::symlink(m_dir.c_str(), (m_root + "/dirout").c_str()), 0);
  }
  void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

  static void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

  // What the URL path gives: "refused", "missing" or the file's first bytes.
  std::string Serve(const std::string& url, bool beneath = true) {
    std::vector<std::string> segments;
    if (SplitLocalPath(url, &segments) != LocalPathResult::kOk) return "refused";
    int fd = -1;
    const LocalPathResult r = beneath ? OpenBelowRoot(m_root, JoinSegments(segments), O_RDONLY, &fd)
                                      : OpenBelowRootWithoutLinks(m_root, JoinSegments(segments), O_RDONLY, &fd);
    if (r == LocalPathResult::kRefused) return "refused";
    if (r == LocalPathResult::kMissing) return "missing";
    char buf[64];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    return n < 0 ? std::string("directory") : std::string(buf, static_cast<size_t>(n));
  }

  std::string m_dir, m_root;
};

TEST_F(LocalPathTest, EveryRequestPathStaysBelowTheRoot) {
  const struct {
    const char* url;
    const char* expected;
  } kCases[] = {
      {"/top.txt", "top"},
      {"/sub/file.txt", "inside"},
      {"/sub/./file.txt", "inside"},
      {"//sub//file.txt", "inside"},
      {"/%73ub/file%2Etxt", "inside"},
      {"/good", "inside"},
      {"/nothing", "missing"},
      {"/../secret.txt", "refused"},
      {"/sub/../top.txt", "refused"},
      {"/%2e%2e/secret.txt", "refused"},
      {"/%2E%2e/secret.txt", "refused"},
      {"/..%2fsecret.txt", "refused"},
      {"/sub%2ffile.txt", "refused"},
      {"/..%5csecret.txt", "refused"},
      {"/..\\secret.txt", "refused"},
      {"/top.txt%00.html", "refused"},
      {"/top.txt%0d%0a", "refused"},
      {"/%", "refused"},
      {"/%2", "refused"},
      {"/%zz", "refused"},
      {"/abs", "refused"},
      {"/rel", "refused"},
      {"/dirout/secret.txt", "refused"},
      {"//etc/passwd", "missing"},
      {"/etc/passwd", "missing"},
      {"/a+b", "missing"},
  };
  for (const auto& c : kCases) EXPECT_EQ(Serve(c.url), c.expected) << c.url;
  // Without RESOLVE_BENEATH no link is followed at all; everything else reads the same.
  for (const auto& c : kCases)
    EXPECT_EQ(Serve(c.url, false), std::string(c.url) == "/good" ? "refused" : c.expected) << c.url << " (no links)";
}

TEST_F(LocalPathTest, SegmentsAndTheirJoin) {
  std::vector<std::string> s;
  ASSERT_EQ(SplitLocalPath("/cgi-bin/prog/a%20b/", &s), LocalPathResult::kOk);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[2], "a b");
  EXPECT_EQ(JoinSegments(s, 1), "prog/a b");
  EXPECT_EQ(JoinSegments(s, 0, 1), "cgi-bin");
  ASSERT_EQ(SplitLocalPath("/", &s), LocalPathResult::kOk);
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(SplitLocalPath("/" + std::string(300, 'a'), &s), LocalPathResult::kRefused);
}

TEST_F(LocalPathTest, EmptyOrMissingRootServesNothing) {
  int fd = -1;
  EXPECT_EQ(OpenBelowRoot("", "top.txt", O_RDONLY, &fd), LocalPathResult::kRefused);
  EXPECT_EQ(OpenBelowRoot(m_dir + "/none", "top.txt", O_RDONLY, &fd), LocalPathResult::kMissing);
  EXPECT_EQ(fd, -1);
  ASSERT_EQ(OpenBelowRoot(m_root, "", O_RDONLY | O_DIRECTORY, &fd), LocalPathResult::kOk);
  ::close(fd);
}

}  // namespace
