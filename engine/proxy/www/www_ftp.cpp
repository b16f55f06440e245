// The WWW session's "ftp://" URLs: the session logs in to the FTP server itself (the URL's user or
// anonymous with "visitor@"), walks to the path, and answers with an HTML listing of a folder or
// the bytes of a file, over a passive data connection.
//
// The exchange runs on the session's thread, one reply at a time, each read waiting at most
// kFtpReplyTimeoutMs, or the session time-out when that is shorter (the browser then gets 504: the
// idle check leaves the answer to this thread meanwhile). Every reply the exchange does not expect ends it
// with a page that carries the server's text (502), a refused login with the 403 page; nothing
// waits for an idle time-out. The data connection goes to the control connection's peer at the
// port of the 227 reply, never to the address in it. The file's header goes to the browser before
// any of its bytes, with a Content-Length only when SIZE told one; a transfer the server reports
// as failed, or shorter than that size, ends the browser's connection with a reset so it never
// takes a cut file for a whole one.
#include <poll.h>

#include <algorithm>
#include <ctime>
#include <optional>

#include "engine/config/util.h"
#include "engine/proxy/www/ftp_reply.h"
#include "engine/proxy/www/www_session.h"

namespace {

constexpr const char* kAnonymousPassword = "visitor@";
constexpr const char* kServerName = "Trellis Engine";
constexpr const char* kProductName = "Nomra Trellis Engine";

// How the exchange ends early: the page the browser gets.
struct FtpFailure {
  WWWPage page;
  CString detail;
  const char* status;
};

}  // namespace

int CWWWSession::FtpWaitMs() const {
  if (!IsTimeoutEnabled()) return kFtpReplyTimeoutMs;
  return static_cast<int>(std::min<uint64_t>(kFtpReplyTimeoutMs, uint64_t{GetTimeoutSeconds()} * 1000));
}

void CWWWSession::FtpSend(const CString& command) {
  // The password is not written to the log.
  const bool secret = command.rfind("PASS ", 0) == 0;
  Log(kLogDebug, "FTP Command (Thread %x): %s", Id(), secret ? "PASS ****" : command.c_str());
  const CString line = command + "\r\n";
  m_serverSocket.Send(line.data(), line.size());
}

uint32_t CWWWSession::FtpReply() {
  m_ftpReply.Reset();
  for (;;) {
    CString line;
    const int wait = FtpWaitMs();
    ResetIdleTimer();
    const uint64_t start = Now();
    m_serverSocket.ReceiveLine(line, wait);
    ResetIdleTimer();
    if (line.empty() || line.back() != '\n') {
      // No whole line: the time ran out, the server closed, or a line longer than any reply line.
      if (line.size() >= X1Socket::kMaxLineLength)
        throw FtpFailure{WWWPage::SocketError, "The FTP server sent a reply line too long", "502 Bad Gateway"};
      if (Now() - start + 100 >= static_cast<uint64_t>(wait)) {
        Log(kLogError, "No reply from the FTP server within %d seconds", wait / 1000);
        throw FtpFailure{WWWPage::GatewayTimeout, CString(), "504 Gateway Timeout"};
      }
      throw FtpFailure{WWWPage::SocketError, "The FTP server closed the connection", "502 Bad Gateway"};
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    switch (m_ftpReply.Feed(line)) {
      case CFtpReplyReader::kMore: continue;
      case CFtpReplyReader::kBad:
        throw FtpFailure{WWWPage::SocketError, "The FTP server sent a reply that is not FTP", "502 Bad Gateway"};
      case CFtpReplyReader::kComplete:
        Log(kLogDebug, "FTP Response (Thread %x): %u %s", Id(), m_ftpReply.Code(), m_ftpReply.Text().c_str());
        if (!m_ftpReply.MultiLineText().empty()) m_ftpBanner = m_ftpReply.MultiLineText();
        return m_ftpReply.Code();
    }
  }
}

void CWWWSession::FtpUnexpected(const char* step) {
  Log(kLogError, "FTP server answered %s with %u %s", step, m_ftpReply.Code(), m_ftpReply.Text().c_str());
  throw FtpFailure{
      WWWPage::SocketError,
      FormatString("The FTP server answered %s with: %u %s", step, m_ftpReply.Code(), m_ftpReply.Text().c_str()),
      "502 Bad Gateway"};
}

void CWWWSession::FtpOpenData() {
  FtpSend("PASV");
  if (FtpReply() != 227) FtpUnexpected("PASV");
  uint16_t port = 0;
  if (!ParsePasvPort(m_ftpReply.Text(), &port)) FtpUnexpected("PASV");
  // The server's own address, never the one its reply names.
  const uint32_t address = GetServerAddress();
  const CString host = address != kNoAddress ? FormatIPAddress(address) : m_req.host;
  m_dataSocket.Create();
  ConnectToServer(m_dataSocket, host, port);
}

void CWWWSession::FTPProcessRequest() {
  if (GetConnectSettings().ConnectMethod == CONNECT_HTTP_PROXY) {
    // The upstream proxy fetches the URL; it is asked as any web request.
    HTTPProcessRequest();
    return;
  }
  const bool put = m_req.method == "PUT";
  if (put && m_framing.kind != HttpBody::Length) {
    // The upload's end is known only from its length (a chunked body from a pipe has none here).
    Log(kLogError, "FTP upload %s without a Content-Length - refused", m_req.Description().c_str());
    SendErrorPage(WWWPage::MalformedRequest, CString(), "411 Length Required");
    return;
  }
  if (m_req.method != "GET" && !put) {
    Log(kLogError, "Method %s not implemented for %s", m_req.method.c_str(), m_req.Description().c_str());
    SendErrorPage(WWWPage::MethodNotImplemented);
    return;
  }
  CString path;
  if (!DecodeFtpPath(m_req.path, &path)) {
    Log(kLogError, "FTP path %s refused", m_req.path.c_str());
    SendErrorPage(WWWPage::MalformedRequest);
    return;
  }
  // The URL's path is taken relative to the login folder.
  CString relative = path;
  while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
  while (!relative.empty() && relative.back() == '/') relative.pop_back();

  Log(kLogDebug, "WWW Session processing FTP request in thread %x\n", Id());
  // Every wait of the exchange is this thread's and bounded (FtpWaitMs): an idle time-out meanwhile
  // is left to it, so the browser gets its page rather than a closed connection.
  m_awaitingResponse.store(true);
  if (!ConnectServer()) return;
  try {
    if (FtpReply() != 220) FtpUnexpected("the connection");
    CString user = m_req.urlLogin ? m_req.ftpUser : CString("anonymous");
    CString password = m_req.urlLogin ? m_req.ftpPassword : CString(kAnonymousPassword);
    // A browser sends the credentials of the URL, or the ones its password prompt got, as a Basic
    // authorization rather than in it. They log in, but stay out of the listing's base: the browser
    // sends them again with every link, and a base naming a user would need the password in it.
    CString headerUser, headerPassword;
    if (!m_req.urlLogin && ParseBasicCredentials(m_req.headers.Get("Authorization"), &headerUser, &headerPassword)) {
      user = headerUser;
      password = headerPassword;
    }
    if (user.find_first_of("\r\n") != CString::npos || password.find_first_of("\r\n") != CString::npos)
      throw FtpFailure{WWWPage::MalformedRequest, CString(), "400 Malformed Request"};
    FtpSend("USER " + user);
    uint32_t code = FtpReply();
    if (code == 331) {
      FtpSend("PASS " + password);
      code = FtpReply();
    }
    if (code == 530 || code == 430) {
      Log(kLogError, "FTP login as %s refused: %u %s", user.c_str(), code, m_ftpReply.Text().c_str());
      throw FtpFailure{WWWPage::AnonymousAccessDenied, CString(), "403 Access Denied"};
    }
    if (code != 230 && code != 202) FtpUnexpected("the login");

    bool folder = !put;
    if (put && relative.empty()) throw FtpFailure{WWWPage::MalformedRequest, CString(), "400 Malformed Request"};
    if (!put && !relative.empty()) {
      FtpSend("CWD " + relative);
      code = FtpReply();
      if (code >= 500 && code < 600)
        folder = false;
      else if (code != 250 && code != 200)
        FtpUnexpected("CWD");
    }
    if (put)
      FtpStore(relative);
    else if (folder)
      FtpList(path);
    else
      FtpRetrieve(relative);
    if (IsEnding()) return;
    try {
      FtpSend("QUIT");
    } catch (const X1SocketException&) {
      // The server has gone already; the answer is complete either way.
    }
    m_serverSocket.Close();
    FinishAnswered(0);
  } catch (const FtpFailure& f) {
    m_dataSocket.Close();
    if (m_responseReceived) {
      // Part of the answer has gone: only a reset tells the browser it is not whole.
      m_clientSocket.ResetOnClose();
      Terminate(kSessionExitRefused);
      return;
    }
    SendErrorPage(f.page, f.detail, f.status);
  } catch (const X1SocketException& e) {
    m_dataSocket.Close();
    Log(kLogError, "Caught socket exception in CWWWSession::FTPProcessRequest() %s - terminating", e.GetText().c_str());
    if (m_responseReceived) {
      m_clientSocket.ResetOnClose();
      Terminate(kSessionExitRefused);
      return;
    }
    SendErrorPage(WWWPage::SocketError, e.GetText(), "502 Bad Gateway");
  }
}

bool CWWWSession::FtpWaitData() {
  pollfd p{m_dataSocket.GetHandle(), POLLIN, 0};
  ResetIdleTimer();
  const int r = ::poll(&p, 1, FtpWaitMs());
  ResetIdleTimer();
  if (r == 0) throw FtpFailure{WWWPage::GatewayTimeout, CString(), "504 Gateway Timeout"};
  return r > 0;
}

void CWWWSession::FtpRetrieve(const CString& file) {
  FtpSend("TYPE I");
  if (FtpReply() != 200) FtpUnexpected("TYPE I");
  FtpSend("SIZE " + file);
  std::optional<uint64_t> size;
  if (FtpReply() == 213) {
    const CString& text = m_ftpReply.Text();
    if (!text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == CString::npos)
      size = std::stoull(text);
  }
  FtpOpenData();
  FtpSend("RETR " + file);
  const uint32_t code = FtpReply();
  if (code == 550 || code == 450) {
    Log(kLogError, "FTP file %s not available: %u %s", file.c_str(), code, m_ftpReply.Text().c_str());
    throw FtpFailure{WWWPage::FileAccessDenied, CString(), "404 Not Found"};
  }
  if (code != 150 && code != 125) FtpUnexpected("RETR");
  // The header first: no byte of the file reaches the browser before it.
  std::string header =
      FormatString("HTTP/1.0 200 Document Follows\r\nDate: %s\r\nServer: %s\r\nContent-Type: %s\r\n",
                   CWWWCache::FormatHttpDate(::time(nullptr)).c_str(), kServerName, GetMimeType(file).c_str());
  if (size) header += FormatString("Content-Length: %llu\r\n", static_cast<unsigned long long>(*size));
  header += "Connection: close\r\n\r\n";
  m_responseReceived = true;
  SendToClient(header);
  uint64_t moved = 0;
  for (;;) {
    if (!FtpWaitData()) continue;
    const size_t n = m_dataSocket.RelayTo(m_clientSocket, 4 * kRelayChunk);
    if (n == 0) break;
    moved += n;
  }
  const uint32_t endError = m_dataSocket.GetEndError();
  m_dataSocket.Close();
  const uint32_t done = FtpReply();
  if (endError != 0 || (done != 226 && done != 250) || (size && moved != *size)) {
    Log(kLogError, "FTP transfer of %s failed after %llu bytes (%u %s)", file.c_str(),
        static_cast<unsigned long long>(moved), done, m_ftpReply.Text().c_str());
    m_clientSocket.ResetOnClose();
    Terminate(kSessionExitRefused);
    return;
  }
  Log(kLogDebug, "Served FTP file %s (%llu bytes) in thread %x", file.c_str(), static_cast<unsigned long long>(moved),
      Id());
}

void CWWWSession::FtpList(const CString& path) {
  FtpOpenData();
  FtpSend("LIST");
  const uint32_t code = FtpReply();
  if (code == 550 || code == 450) throw FtpFailure{WWWPage::FileAccessDenied, CString(), "404 Not Found"};
  if (code != 150 && code != 125) FtpUnexpected("LIST");

  CString shownPath = path.empty() ? CString("/") : path;
  CString base = "ftp://";
  if (m_req.urlLogin) base += m_req.ftpUser + ":" + m_req.ftpPassword + "@";
  base += m_req.host;
  if (m_req.port != 21) base += FormatString(":%u", m_req.port);
  base += m_req.path.empty() ? CString("/") : m_req.path;
  if (base.back() != '/') base += '/';
  const CString banner =
      m_ftpBanner.empty() ? CString() : "<HR><FONT SIZE=3>" + HtmlEscape(m_ftpBanner) + "</FONT><HR>";
  std::string page = FormatString(
      "HTTP/1.0 200 Document Follows\r\nDate: %s\r\nServer: %s\r\nContent-Type: text/html\r\n"
      "Connection: close\r\n\r\n",
      CWWWCache::FormatHttpDate(::time(nullptr)).c_str(), kServerName);
  const CString title = HtmlEscape(shownPath);
  page += "<HTML><HEAD><TITLE>Directory of " + title + "</TITLE><BASE HREF=\"" + HtmlEscape(base) +
          "\"></HEAD><BODY BGCOLOR=white>\r\n<H2>Directory of " + title + "</H2><PRE>" + banner + "</PRE>\r\n";
  page += "<PRE><A HREF=\"../\"><IMG BORDER=0 ALIGN=absbottom SRC=\"" + HtmlEscape(ListingIcon(true, "")) +
          "\"><B>Parent directory</B></A>\r\n";
  m_responseReceived = true;
  SendToClient(page);
  page.clear();

  std::string pending;
  auto convert = [&](std::string_view line) {
    CFtpListEntry e;
    if (!ParseFtpListLine(line, &e)) return;
    const size_t pad = e.name.size() < 20 ? 20 - e.name.size() : 0;
    page += "<A HREF=\"" + HtmlEscape(PercentEncodePath(e.name)) + (e.folder ? "/" : "") +
            "\"><IMG BORDER=0 ALIGN=absbottom SRC=\"" + HtmlEscape(ListingIcon(e.folder, e.name)) + "\"><B>" +
            HtmlEscape(e.name) + "</B></A>" + std::string(pad, ' ') + "\t" + HtmlEscape(e.details) + "\r\n";
  };
  char buf[kReadChunk];
  for (;;) {
    if (!FtpWaitData()) continue;
    const size_t n = m_dataSocket.Receive(buf, sizeof buf);
    if (n == 0) break;
    pending.append(buf, n);
    size_t start = 0;
    for (size_t lf; (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1)
      convert(std::string_view(pending).substr(start, lf - start));
    pending.erase(0, start);
    // A line longer than any listing line is no listing line.
    if (pending.size() > X1Socket::kMaxLineLength) pending.clear();
    if (page.size() > 16384) {
      SendToClient(page);
      page.clear();
    }
  }
  convert(pending);
  const uint32_t endError = m_dataSocket.GetEndError();
  m_dataSocket.Close();
  const uint32_t done = FtpReply();
  if (endError != 0 || (done != 226 && done != 250)) {
    Log(kLogError, "FTP listing of %s failed (%u %s)", shownPath.c_str(), done, m_ftpReply.Text().c_str());
    SendToClient(page);
    m_clientSocket.ResetOnClose();
    Terminate(kSessionExitRefused);
    return;
  }
  page +=
      FormatString("</PRE><HR><FONT COLOR=blue SIZE=-1><I><B>%s</B></I></FONT>\r\n</BODY></HTML>\r\n", kProductName);
  SendToClient(page);
  Log(kLogDebug, "Server closed FTP data socket in thread %x", Id());
}

void CWWWSession::FtpStore(const CString& file) {
  FtpSend("TYPE I");
  if (FtpReply() != 200) FtpUnexpected("TYPE I");
  FtpOpenData();
  FtpSend("STOR " + file);
  const uint32_t code = FtpReply();
  if (code == 550 || code == 553 || code == 450 || code == 532) {
    Log(kLogError, "FTP upload to %s refused: %u %s", file.c_str(), code, m_ftpReply.Text().c_str());
    throw FtpFailure{WWWPage::FileAccessDenied, CString(), "403 Access Denied"};
  }
  if (code != 150 && code != 125) FtpUnexpected("STOR");
  // The body bytes that came with the header, then the rest as the browser sends it, up to the
  // body's end; bytes past it belong to no request.
  uint64_t sent = 0;
  if (!m_bodyWire.empty()) {
    m_dataSocket.Send(m_bodyWire.data(), m_bodyWire.size());
    sent += m_bodyWire.size();
    m_bodyWire.clear();
  }
  char buf[kRelayChunk];
  while (!m_body.Done()) {
    pollfd p{m_clientSocket.GetHandle(), POLLIN, 0};
    const int wait = FtpWaitMs();
    ResetIdleTimer();
    const int r = ::poll(&p, 1, wait);
    ResetIdleTimer();
    if (r == 0) {
      Log(kLogError, "Client sent no more of its upload within %d seconds", wait / 1000);
      m_dataSocket.ResetOnClose();
      throw FtpFailure{WWWPage::MalformedRequest, "", "408 Request Timeout"};
    }
    if (r < 0) continue;
    const size_t n = m_clientSocket.Receive(buf, sizeof buf);
    if (n == 0) {
      // The browser ended before its body was whole: the server must not keep a cut file as whole.
      Log(kLogError, "Client closed before the end of its upload - aborted");
      m_dataSocket.ResetOnClose();
      m_dataSocket.Close();
      throw FtpFailure{WWWPage::MalformedRequest, CString(), "400 Malformed Request"};
    }
    std::string payload;
    const size_t used = m_body.Feed(std::string_view(buf, n), &payload);
    if (m_body.Bad()) throw FtpFailure{WWWPage::MalformedRequest, CString(), "400 Malformed Request"};
    DropAfterRequest(n - used);
    m_dataSocket.Send(payload.data(), payload.size());
    sent += payload.size();
  }
  m_dataSocket.Close();
  const uint32_t done = FtpReply();
  if (done != 226 && done != 250) FtpUnexpected("the upload");
  Log(kLogDebug, "Stored FTP file %s (%llu bytes) in thread %x", file.c_str(), static_cast<unsigned long long>(sent),
      Id());
  // Success only once the server has confirmed the whole file.
  m_responseReceived = true;
  SendToClient("HTTP/1.0 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}
