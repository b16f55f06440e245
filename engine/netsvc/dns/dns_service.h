#pragma once
// The DNS relay: answers A/IN queries of client machines for the gateway's own name, for the
// single-label names of DHCP clients with a current lease, and for every other name through the
// gateway's own resolver, asked asynchronously so that the service thread never waits on a
// lookup. Numbers in any spelling are refused (NXDOMAIN) before anything else.
//
// Every query is one CDNSSession. A query answered at once (own name, lease, refusal) is sent and
// its session ends inside OnRead. A query that goes to the resolver waits in the session table
// under its lookup's job id; the completion (WM_DNS_LOOKUP_DONE) finds it there. A session ended
// meanwhile (idle time-out, console) leaves the table and cancels its job; a completion for a job
// no longer in the table is dropped, and the result it carries is freed with the message.
//
// Threads: everything here runs on the service thread, except Terminate of a pending session from
// another thread, which the UDP base turns into a removal on the service thread.
#include <memory>

#include "engine/core/udp_service.h"
#include "engine/netsvc/dns/dns_message.h"
#include "engine/netsvc/dns/dns_resolver.h"
#include "engine/netsvc/dns/dns_settings.h"

class CDNSService;

class CDNSSession : public CUDPSession {
 public:
  CDNSSession(std::shared_ptr<CService> service, std::weak_ptr<CUDPSessionOwner> owner, const CString& address,
              uint16_t port);
  // The local address the query reached, for rights and log lines that name it.
  using CSession::SetLocalAddress;

  // The received query, copied; longer queries are cut to the buffer (only the first question is
  // read, and it always fits in 512 bytes).
  uint8_t m_buffer[dns::kMaxMessage + 4] = {};
  size_t m_length = 0;
  dns::Query m_query;
  uint32_t m_localAddress = 0;  // where the client reached the gateway (host order)
  int m_interfaceIndex = 0;
  int m_listenerHandle = -1;
  uint64_t m_job = 0;           // the pending lookup, 0 when none
  uint32_t m_allowAutodial = 1;
};

class CDNSService final : public TRunningService<CDNSServiceSettings, CUDPService> {
 public:
  CDNSService();
  ~CDNSService() override;

  // The reply a session's query gets at once: its length in out (0 for nothing to send), or
  // true with nothing written when the query went to the resolver.
  bool ProcessQuery(CDNSSession& session, uint8_t* out, size_t* outLength);
  // A lookup's end for a pending session: the reply to send.
  size_t AnswerFromLookup(CDNSSession& session, const LookupResult& result, uint8_t* out);

 protected:
  void OnThreadStart() override;
  void OnThreadEnd() override;
  void OnRead(platform::Message& msg) override;
  void OnThreadMessage(platform::Message& msg) override;
  void OnSessionRemoved(const std::shared_ptr<CUDPSession>& session) override;

 private:
  void OnDatagram(X1Socket& listener, const uint8_t* data, size_t length, const CString& address, uint16_t port,
                  uint32_t localAddress, int interfaceIndex);
  void OnLookupDone(platform::Message& msg);
  void SendReply(CDNSSession& session, const uint8_t* data, size_t length);
  // The address of a current lease of that computer name, if any.
  bool FindLeaseAddress(const CString& name, uint32_t* address) const;
  bool IsOwnName(const CString& name) const;

  std::unique_ptr<CDNSResolver> m_resolver;  // the service thread's; made and dropped on it
  uint8_t m_receive[2048];
  uint8_t m_reply[dns::kMaxMessage];
};
