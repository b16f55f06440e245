#pragma once
// One browser connection of the WWW proxy service: it reads one request header (bounded), parses
// it, decides whether it is a proxy request or one addressed to the gateway itself, checks the
// rights with the request known, and then forwards it (directly or through the upstream proxy),
// answers it from the engine's web cache, or opens a CONNECT tunnel.
//
// One request per connection: the forwarded request and the relayed response both carry
// "Connection: close", the outgoing Host header is the URL's authority, and the session ends when
// the server closes, the client goes away, or after an answer of its own. Every failure the
// browser can see is an error page with its real status line.
//
// The request is framed as RFC 9112 asks of a proxy: a header the origin could read differently
// (Content-Length with Transfer-Encoding, differing or invalid lengths, a name that is not a token)
// is answered 400 before anything is connected; the body goes on exactly as its framing says, a
// chunked one re-chunked without extensions and trailers, and bytes after it are dropped (logged).
// Hop-by-hop headers are not forwarded. A client that ends its side has gone, whether its request
// is whole or not (one request per connection: a client that still wants its answer keeps its side
// open): the origin connection closes at once, so a body cut short is an abort the origin sees as
// such, a CGI program is ended with its group, and the session ends. Only a CONNECT tunnel passes a
// half-close on. An origin that has not begun its answer when the session's idle time-out comes
// gets the browser the time-out page (504).
//
// Requests addressed to the gateway itself under non-proxy action 3, and its internal resources,
// are served by the local branch (www_local.cpp, www_cgi.cpp): files, folder listings and CGI
// programs, every path resolved so that nothing outside its root is ever served. "ftp://" URLs are
// fetched by the session itself over an FTP control and a passive data connection (www_ftp.cpp).
//
// Threads: everything runs on the session's own thread; the client socket, the server socket and
// the cache writer belong to it. The cache is the engine's (shared; it locks itself).
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/proxy/common/two_end_session.h"
#include "engine/proxy/www/ftp_reply.h"
#include "engine/proxy/www/http_request.h"
#include "engine/proxy/www/www_cache.h"
#include "engine/proxy/www/www_pages.h"
#include "engine/proxy/www/www_service.h"

class CWWWSession : public CTwoEndTCPSession {
  TL_DECLARE_DYNAMIC(CWWWSession)

 public:
  // Bytes read from either socket per receive while a header is being collected.
  static constexpr size_t kReadChunk = 8096;
  // Bytes read from the server per receive once its header has gone to the browser: a large body
  // then costs an eighth of the system calls, and header parsing never sees a bigger piece.
  static constexpr size_t kRelayChunk = 64 * 1024;
  // How long a posted time-out may wait for the session's thread before the session is ended
  // without its page: longer than any bounded call that thread makes (a connect, an upstream
  // tunnel's reply), so only a thread that is stuck loses the page.
  static constexpr uint64_t kTimeoutAnswerGraceMs = 60000;
  // The limit of a CGI program when the service's sessions have no time-out: a program that hangs
  // would otherwise hold its processes and the browser's connection for ever. Like the session
  // time-out it stands for, it counts silence (no byte either way), so a long answer that keeps
  // coming is never cut; the same 60 s a request header may take when time-outs are off.
  static constexpr uint32_t kCgiTimeLimitSeconds = kRequestBoundSeconds;

  // ParseRequest results.
  enum : int { kParseMalformed = 0, kParseGoOn = 1, kParseAnswered = -1, kParseRefused = -2 };

  CWWWSession(std::shared_ptr<CService> service, int acceptedHandle);
  ~CWWWSession() override;

  void SetWWWSettings(const CWWWSettings& settings);
  // The cache the session uses (null: none). The service sets the engine's before the thread runs.
  void SetCache(std::shared_ptr<CWWWCache> cache) { m_cache = std::move(cache); }

  uint32_t GetAuthenticatedLevel() const override;
  // Codes 12-17 are the request's (scheme, method, resource, URL, POST data, query); 18 has no
  // value; 31 the referred flag; others as the two-end session.
  void GetProperty(uint32_t code, CTLDataObject& value) const override;
  bool GetHeaderField(const CString& name, CString& value) const override;
  // The AccessDenied page (403).
  void SendAccessDenied() override;

  const CHttpRequest& GetRequest() const { return m_req; }
  // A session handed over by another gateway (the SOCKS server's web hand-over); set before the
  // thread starts.
  void SetReferred(bool value) { m_referred = value; }
  // Bytes of the request that the handing-over gateway has read from the connection already; set
  // before the thread starts, taken as the first bytes of the request when it starts.
  void SetFirstRequestBytes(std::string bytes) { m_requestBuffer = std::move(bytes); }

 protected:
  void OnMessage(platform::Message& msg) override;
  void OnIdleTimeout() override;
  void OnStart() override;
  void OnRead(platform::Message& msg) override;
  void OnClose(platform::Message& msg) override;
  void OnRelayEnded(bool failed) override;
  // Ends a CGI program that still runs (with its group) and reaps it.
  void OnEnd() override;

  // ---- Request (reading and parsing) -----------------------------------------------------------
  // 1 when a whole request header is in the buffer; 0 when more is needed or the failure has been
  // answered (the session is then ending).
  int ReceiveRequest();
  int ParseRequest();
  void DispatchRequest(int result);
  // A read event of the client (server: of the server side), with the read handler's failures.
  void HandleRead(bool server);

  // ---- Forwarding, responses, cache, tunnel ----------------------------------------------------
  void CheckCache();
  void HTTPProcessRequest();
  void SSLPreProcessRequest();
  // Reads the server's bytes (all that are left when drain is set): header, then relay.
  void OnServerData(bool drain);
  void OnClientData();
  // Passes client bytes that follow the request header on as body, as far as its framing goes.
  void ForwardBody(const char* data, size_t n);
  // Client bytes past the end of the request: never forwarded, logged.
  void DropAfterRequest(size_t n);
  // The idle time-out came while the server owed its answer: the time-out page, then the end.
  void AnswerResponseTimeout();
  // Processes the response header once it is whole; false while more is needed.
  bool HTTPReceiveResponse();
  void ProcessResponse();
  void RelayToClient(const char* data, size_t n);
  bool SendCachedResource();
  // Answers a 304 or the cached copy as the cache decided. kCopyMissing: the copy has gone and the
  // decision is now a download.
  enum class CacheAnswer { kAnswered, kNotFromCache, kCopyMissing };
  CacheAnswer AnswerFromCache();
  void CommitCache(bool browserClosed);
  void DiscardCache();
  // Whether the browser has had the whole response: its Content-Length of body relayed, or a
  // response without a body (HEAD, 1xx, 204, 304). A body without a length is whole only at the
  // server's orderly end.
  bool ResponseComplete() const;
  // The server's side ended in a reset or a failed read before its response was whole: nothing is
  // stored; a browser that has had nothing gets the socket-error page (502), one that has had part
  // of the response has its connection reset, so it never takes the cut body for the whole.
  void AbortResponse(uint32_t error);
  // A session ending in a failure while the browser holds part of a response: the browser's
  // connection will close with a reset.
  void ResetClientIfCut();

  // ---- The gateway's own web server (www_local.cpp, www_cgi.cpp) ---------------------------------
  // The local branch: GET and HEAD of files, listings, POST and GET of CGI programs, else 501.
  void ServeLocal();
  // One file below root (HEAD: its header only); a folder gives its default file, else (listing
  // set) its listing.
  void ServeFile(const CString& root, const std::vector<std::string>& segments, bool head, bool listing);
  void ListFolder(int dirfd, const std::vector<std::string>& segments);
  // segments[0] is the CGI label.
  void RunCGI(const std::vector<std::string>& segments);
  void OnCGIOutput(bool drain);
  void TakeCGIHeader(bool ended);
  void EndCGI();
  // The icon URL of a listing entry: the gateway's resource when it has one, else the browser's own.
  CString ListingIcon(bool folder, const std::string& name) const;

  // ---- ftp:// URLs (www_ftp.cpp) -------------------------------------------------------------
  // How long one FTP reply or one piece of data may take, at most; a shorter session time-out
  // shortens it (FtpWaitMs), so the browser has its 504 before the idle limit ends the session.
  static constexpr int kFtpReplyTimeoutMs = 30000;
  int FtpWaitMs() const;
  void FTPProcessRequest();
  void FtpSend(const CString& command);
  // The code of the next whole reply (text in m_ftpReply).
  uint32_t FtpReply();
  [[noreturn]] void FtpUnexpected(const char* step);
  void FtpOpenData();
  // Waits for data on the data connection; false on an interrupted wait.
  bool FtpWaitData();
  void FtpRetrieve(const CString& file);
  void FtpList(const CString& path);
  // PUT: the request body to the server with STOR; 200 once the server has confirmed it.
  void FtpStore(const CString& file);

  // The Java client login page from the template "Java/Client.htm" of the engine's home, with the
  // refusal's status; false (nothing sent) when the template cannot be read.
  bool SendJavaClientPage();

  // Sends the page and ends the session (reason 1 unless given).
  void SendErrorPage(WWWPage page, const CString& detail = CString(), const char* status = nullptr,
                     uint32_t reason = kSessionExitRefused);
  // Sends bytes to the browser; false (and the session ending) when that fails.
  bool SendToClient(const std::string& bytes);

 private:
  // An own or loopback address on this service's port: connecting there would loop.
  bool IsLoopToSelf(uint32_t address, uint32_t port) const;
  uint32_t GetServiceLocalPort() const;
  // Answers a dotless unknown host by the operator's search order; true when answered.
  bool TrySearchOrder();
  // Connects the server side; false when the session has been answered (and is ending). A socket
  // failure is logged as HTTPProcessRequest's, or with tunnel set as SSLPreProcessRequest's.
  bool ConnectServer(bool tunnel = false);
  std::string BuildForwardHeader() const;
  // The request line and headers followed by the resource data, into out; false (logged, the
  // session ending with reason 8) when memory runs out.
  bool BuildRequestBytes(std::string* out);
  // A response header that does not end (too long, or the server closed first): a 304 goes on as
  // a 304 without header lines, anything else goes to the browser as it came. noEnd200 is the
  // line logged for a 200.
  void TakeUnendedHeader(const char* noEnd200);
  // The session's own answer has gone: end the sending side so the browser reads it whole.
  void FinishAnswered(uint32_t reason);

  CWWWSettings m_settings;
  std::shared_ptr<CWWWCache> m_cache;

  // Request.
  std::string m_requestBuffer;
  std::string m_resourceData;  // bytes that came with the header (a CONNECT's early tunnel data)
  bool m_requestReceived = false;
  bool m_requestDone = false;  // parsed and dispatched
  bool m_earlyData = false;
  bool m_bodyPipe = false;  // the request body is still being passed on
  CHttpRequest m_req;
  CHttpBodyFraming m_framing;
  CHttpBodyReader m_body;
  std::string m_bodyWire;  // the body's first bytes in their forwarded form, sent with the header
  uint64_t m_droppedAfterRequest = 0;
  CString m_postData;
  bool m_referred = false;
  bool m_local = false;     // served by the local branch
  bool m_internal = false;  // a "/trellis-internal/" resource

  // CGI program.
  bool m_cgi = false;
  pid_t m_cgiPid = -1;
  std::string m_cgiOutput;  // the program's output until its header has ended

  // FTP.
  X1Socket m_dataSocket;
  CFtpReplyReader m_ftpReply;
  CString m_ftpBanner;  // the last multi-line reply text (the greeting, a login message)

  // Server side.
  bool m_serverConnected = false;
  bool m_throughProxy = false;
  bool m_tunnel = false;
  // The machine's thread reads these: the request has gone and its answer has not begun; when a
  // time-out was posted to this thread (0: none).
  std::atomic<bool> m_awaitingResponse{false};
  std::atomic<uint64_t> m_timeoutPostedAt{0};

  // Response.
  std::string m_responseBuffer;
  bool m_responseReceived = false;
  bool m_headerProcessing = true;
  CHttpResponse m_resp;
  size_t m_responseHeaderLength = 0;
  uint64_t m_bodyRelayed = 0;  // bytes relayed to the browser after the response header

  // Cache.
  CCacheDecision m_decision;
  bool m_store = false;
  std::unique_ptr<CCacheWriter> m_writer;
  std::optional<uint64_t> m_contentLength;
  std::optional<int64_t> m_expires;  // the end of the response's explicit lifetime
};
