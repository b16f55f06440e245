// The byte forms between the gateway and a CGI program: the header a program writes (status,
// location, type, framing fields, bounds, non-parsed output) and the environment it starts with
// (meta-variables, header names, httpoxy, control characters).
#include "engine/proxy/www/cgi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

CgiHeaderScan Scan(const std::string& out, CCgiHeader* h, bool ended = false) { return ParseCgiHeader(out, ended, h); }

TEST(CgiHeaderTest, StatusLocationAndType) {
  CCgiHeader h;
  ASSERT_EQ(Scan("Content-Type: text/plain\n\nbody", &h), CgiHeaderScan::kHeader);
  EXPECT_EQ(h.status, 200u);
  EXPECT_EQ(h.headerLength, 26u);
  ASSERT_EQ(Scan("Status: 404 Not Here\r\nContent-Type: text/html\r\n\r\n", &h), CgiHeaderScan::kHeader);
  EXPECT_EQ(h.status, 404u);
  EXPECT_EQ(h.reason, "Not Here");
  EXPECT_EQ(h.fields.Count(), 1u);
  ASSERT_EQ(Scan("Location: /elsewhere\n\n", &h), CgiHeaderScan::kHeader);
  EXPECT_EQ(h.status, 302u);
  ASSERT_EQ(Scan("Status: 500\n\n", &h), CgiHeaderScan::kHeader);
  EXPECT_EQ(h.status, 500u);
  const std::string out = BuildCgiResponseHeader(h, "D", "S");
  EXPECT_EQ(out.rfind("HTTP/1.0 500 \r\nDate: D\r\nServer: S\r\n", 0), 0u);
  EXPECT_NE(out.find("Connection: close\r\n\r\n"), std::string::npos);
}

TEST(CgiHeaderTest, FramingFieldsAreTheGatewaysOwn) {
  CCgiHeader h;
  ASSERT_EQ(Scan("Content-Type: a/b\nConnection: keep-alive\nTransfer-Encoding: chunked\nContent-Length: 12x\n"
                 "Content-Length: 5\n\n",
                 &h),
            CgiHeaderScan::kHeader);
  ASSERT_EQ(h.fields.Count(), 2u);
  EXPECT_EQ(h.fields.Get("Content-Length"), "5");
  EXPECT_FALSE(h.fields.Has("Connection"));
}

TEST(CgiHeaderTest, IncompleteBadAndNonParsed) {
  CCgiHeader h;
  EXPECT_EQ(Scan("Content-Type: text/pl", &h), CgiHeaderScan::kNeedMore);
  EXPECT_EQ(Scan("Content-Type: text/pl", &h, true), CgiHeaderScan::kBad);
  EXPECT_EQ(Scan("HTT", &h), CgiHeaderScan::kNeedMore);
  EXPECT_EQ(Scan("HTTP/1.0 200 OK\r\n\r\n", &h), CgiHeaderScan::kNonParsed);
  EXPECT_EQ(Scan("just text\n\n", &h), CgiHeaderScan::kBad);
  EXPECT_EQ(Scan("X-Only: 1\n\n", &h), CgiHeaderScan::kBad);
  EXPECT_EQ(Scan("Bad Name: 1\nContent-Type: a/b\n\n", &h), CgiHeaderScan::kBad);
  EXPECT_EQ(Scan("Status: 20\n\n", &h), CgiHeaderScan::kBad);
  EXPECT_EQ(Scan("Status: abc\n\n", &h), CgiHeaderScan::kBad);
  EXPECT_EQ(Scan("Status: 200 OK\nStatus: 500 No\n\n", &h), CgiHeaderScan::kBad);
  EXPECT_EQ(Scan("Content-Type: a\rb\n\n", &h), CgiHeaderScan::kBad);
  // Bounded: a header that never ends is refused once past the cap, not collected without end.
  EXPECT_EQ(Scan("Content-Type: " + std::string(kMaxCgiHeader, 'a'), &h), CgiHeaderScan::kBad);
  std::string many;
  for (size_t i = 0; i <= kMaxCgiHeaderFields; ++i) many += "X-A: 1\n";
  EXPECT_EQ(Scan(many + "Content-Type: a/b\n\n", &h), CgiHeaderScan::kBad);
}

TEST(CgiEnvironmentTest, MetaVariablesAndHeaders) {
  CHttpHeaderList headers;
  headers.Add("User-Agent", "agent/1");
  headers.Add("Proxy", "http://evil:1");
  headers.Add("Content-Type", "text/plain");
  headers.Add("Content-Length", "5");
  headers.Add("Authorization", "Basic x");
  headers.Add("X-Two", "a");
  headers.Add("x-two", "b");
  headers.Add("X-Bad", "a\x01");
  headers.Add("Bad Name", "v");
  CCgiRequestInfo info;
  info.method = "POST";
  info.query = "q=1";
  info.scriptName = "/cgi-bin/p";
  info.pathInfo = "/x";
  info.pathTranslated = "/srv/x";
  info.remoteAddress = "10.0.0.1";
  info.serverName = "10.0.0.2";
  info.serverPort = 8080;
  info.protocol = "HTTP/1.0";
  info.contentLength = "5";
  info.headers = &headers;
  const std::vector<std::string> env = BuildCgiEnvironment(info);
  auto has = [&](const std::string& v) { return std::find(env.begin(), env.end(), v) != env.end(); };
  auto named = [&](const std::string& n) {
    return std::any_of(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(n + "=", 0) == 0; });
  };
  for (const char* v : {"REQUEST_METHOD=POST", "QUERY_STRING=q=1", "SCRIPT_NAME=/cgi-bin/p", "PATH_INFO=/x",
                        "PATH_TRANSLATED=/srv/x", "REMOTE_ADDR=10.0.0.1", "SERVER_NAME=10.0.0.2", "SERVER_PORT=8080",
                        "SERVER_PROTOCOL=HTTP/1.0", "CONTENT_LENGTH=5", "CONTENT_TYPE=text/plain",
                        "GATEWAY_INTERFACE=CGI/1.1", "HTTP_USER_AGENT=agent/1", "HTTP_X_TWO=a, b"})
    EXPECT_TRUE(has(v)) << v;
  for (const char* n :
       {"HTTP_PROXY", "HTTP_CONTENT_TYPE", "HTTP_CONTENT_LENGTH", "HTTP_AUTHORIZATION", "HTTP_X_BAD", "HTTP_BAD NAME"})
    EXPECT_FALSE(named(n)) << n;
}

}  // namespace
