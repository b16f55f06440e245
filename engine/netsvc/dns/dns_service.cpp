#include "engine/netsvc/dns/dns_service.h"

#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "engine/config/util.h"
#include "engine/core/dhcp_lease.h"
#include "engine/core/engine.h"
#include "engine/core/machine.h"
#include "engine/net/socket_exception.h"
#include "platform/messages.h"

namespace {

// A "CDNSService" read from the registry or a console's frame is a running relay here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CDNSServiceSettings), &MakeRunningService<CDNSService>);

// One read event takes at most this many datagrams before the thread looks at its queue again.
constexpr int kDatagramsPerEvent = 64;

const char* OpcodeText(uint8_t opcode) {
  switch (opcode) {
    case 1: return "Received unsupported DNS OPCODE - OPCODE_IQUERY";
    case 2: return "Received unsupported DNS OPCODE - OPCODE_STATUS";
    case 5: return "Received unsupported DNS OPCODE - OPCODE_WINS_REGISTRATION";
    case 6: return "Received unsupported DNS OPCODE - OPCODE_WINS_RELEASE";
    case 7: return "Received unsupported DNS OPCODE - OPCODE_WINS_WACK";
    case 8: return "Received unsupported DNS OPCODE - OPCODE_WINS_REFRESH";
    default: return nullptr;
  }
}

const char* QTypeName(uint16_t qtype) {
  switch (qtype) {
    case 2: return "TYPE_NS";
    case 3: return "TYPE_MD";
    case 4: return "TYPE_MF";
    case 5: return "TYPE_CNAME";
    case 6: return "TYPE_SOA";
    case 7: return "TYPE_MB";
    case 8: return "TYPE_MG";
    case 9: return "TYPE_MR";
    case 10: return "TYPE_NULL";
    case 11: return "TYPE_WKS";
    case 12: return "TYPE_PTR";
    case 13: return "TYPE_HINFO";
    case 14: return "TYPE_MINFO";
    case 15: return "TYPE_MX";
    case 16: return "TYPE_TXT";
    case 252: return "QTYPE_AXFR";
    case 253: return "QTYPE_MAILB";
    case 254: return "QTYPE_MAILA";
    case 255: return "QTYPE_ALL";
    default: return nullptr;
  }
}

}  // namespace

CDNSSession::CDNSSession(std::shared_ptr<CService> service, std::weak_ptr<CUDPSessionOwner> owner,
                         const CString& address, uint16_t port)
    : CUDPSession(std::move(service), std::move(owner), address, port) {}

CDNSService::CDNSService() = default;

CDNSService::~CDNSService() = default;

void CDNSService::OnThreadStart() { m_resolver = std::make_unique<CDNSResolver>(platform::CurrentThreadId()); }

void CDNSService::OnThreadEnd() {
  // Workers finish the lookups they are in; their completions go nowhere.
  m_resolver.reset();
}

void CDNSService::OnRead(platform::Message& msg) {
  X1Socket* listener = TakeListenerEvent(msg);
  if (!listener) return;
  // Read on until nothing waits; only a run cut short by the bound announces the rest.
  bool drained = false;
  for (int i = 0; i < kDatagramsPerEvent; ++i) {
    CString address;
    uint16_t port = 0;
    uint32_t local = 0;
    int ifIndex = 0;
    size_t n = 0;
    try {
      n = listener->ReceiveFromLocal(m_receive, sizeof m_receive, address, port, &local, &ifIndex, false);
    } catch (const X1SocketException&) {
      // Too long for any query this relay reads, or a pending error of the socket: dropped.
      continue;
    }
    if (address.empty()) {
      drained = true;
      break;
    }
    try {
      OnDatagram(*listener, m_receive, n, address, port, local, ifIndex);
    } catch (const X1SocketException&) {
      // The reply could not be sent (the client's address unreachable ...): that query is lost,
      // as a datagram may be; the next one is read.
    } catch (...) {
      Log(LOG_ERROR, "Caught unknown exception in CDNSService::OnRead() - Ignoring");
    }
  }
  if (!drained) listener->AnnounceWaiting();
}

void CDNSService::OnDatagram(X1Socket& listener, const uint8_t* data, size_t length, const CString& address,
                             uint16_t port, uint32_t localAddress, int interfaceIndex) {
  dns::Query query;
  const dns::ParseStatus status = dns::ParseQuery(data, length, &query);
  if (status == dns::ParseStatus::Drop) return;
  if (GetSessionCount() >= GetSessionCap()) {
    NoteSessionLimit(GetSessionCap());
    return;
  }
  auto self = shared_from_this();
  auto owner = std::dynamic_pointer_cast<CUDPSessionOwner>(self);
  auto session = std::make_shared<CDNSSession>(self, owner, address, port);
  session->m_listenerHandle = listener.GetHandle();
  session->m_socketHandle = listener.GetHandle();
  session->m_localAddress = localAddress != 0 ? localAddress : ParseIPAddress(listener.GetLocalAddress());
  if (session->m_localAddress == 0xFFFFFFFFu) session->m_localAddress = 0;
  session->m_interfaceIndex = interfaceIndex;
  session->m_query = query;
  // Only the header and the question are kept: the reply is made from them alone.
  const size_t keep = query.hasQuestion ? query.questionEnd : std::min(length, dns::kHeaderSize);
  std::memcpy(session->m_buffer, data, keep);
  session->m_length = keep;
  session->AddClientBytesReceived(length);
  session->UseServiceAccessRight(self);
  session->UseServiceLog(*this);
  {
    CLockGuard g(Settings());
    session->SetTimeout(Settings().TimeOutSessions != 0, Settings().SessionTimeout);
    session->m_allowAutodial = Settings().AllowAutodial;
  }
  session->SetLocalAddress(FormatIPAddress(session->m_localAddress));

  CSessionHost* host = GetSessionHost();
  if (!host || !host->GetMachineMap().AttachSession(session, host) || session->IsEnding()) {
    session->Terminate(kSessionExitRefused);
    return;
  }
  session->Audit(CSession::kAuditCreated, "%s", "");
  session->Log(CSession::kLogCreated, "%s", "");
  // A datagram service has no login of its own: only the level a guest has counts.
  const AccessResult access = session->CheckRights(AccessStage::Accept);
  if (access != AccessResult::Allowed) {
    if (!session->IsEnding()) session->Terminate(kSessionExitRefused);
    return;
  }
  size_t replyLength = 0;
  bool pending = false;
  try {
    pending = ProcessQuery(*session, m_reply, &replyLength);
  } catch (const X1SocketException&) {
    // The dialer would not let the name out (no link, a dial that failed): the client is told
    // the server failed rather than left to time out.
    replyLength = dns::BuildReply(session->m_buffer, session->m_query, dns::RCODE_SERVFAIL, false, nullptr, m_reply,
                                  sizeof m_reply);
  }
  if (pending) {
    AddSession(static_cast<uintptr_t>(session->m_job), session);
    return;
  }
  try {
    if (replyLength > 0) SendReply(*session, m_reply, replyLength);
  } catch (...) {
    session->Terminate(0);
    throw;
  }
  session->Terminate(0);
}

bool CDNSService::ProcessQuery(CDNSSession& session, uint8_t* out, size_t* outLength) {
  const dns::Query& q = session.m_query;
  auto reply = [&](uint8_t rcode, bool authoritative, const uint32_t* address) {
    *outLength = dns::BuildReply(session.m_buffer, q, rcode, authoritative, address, out, dns::kMaxMessage);
    return false;
  };
  if (q.opcode != 0) {
    if (const char* text = OpcodeText(q.opcode)) Log(LOG_ERROR, "%s", text);
    return reply(dns::RCODE_NOTIMP, false, nullptr);
  }
  if (!q.hasQuestion) return reply(dns::RCODE_FORMERR, false, nullptr);
  if (q.qclass != dns::QCLASS_IN) return reply(dns::RCODE_FORMERR, false, nullptr);
  if (q.qtype != dns::QTYPE_A) {
    if (const char* name = QTypeName(q.qtype))
      Log(LOG_ERROR, "Received unsupported DNS Query - %s for %s", name, q.name.c_str());
    return reply(dns::RCODE_FORMERR, false, nullptr);
  }
  // A number is no name: a resolver would make an address of its digits, answered as if it were
  // a real host's.
  if (dns::IsNumericName(q.name)) return reply(dns::RCODE_NXDOMAIN, false, nullptr);

  session.SetDescription("DNS: Address lookup for " + q.name);
  if (auto engine = TheEngine(); engine && engine->HasControllers())
    engine->NotifySessionAdded(session.GetClientAddress(), session.GetSessionNumber(), session.GetDescription());
  session.Audit(CSession::kAuditRequested, "%s", session.GetDescription().c_str());
  session.Log(CSession::kLogRequested, "%s", "");

  const bool ownName = IsOwnName(q.name);
  if (ownName && session.m_localAddress != 0) {
    const uint32_t a = session.m_localAddress;
    return reply(dns::RCODE_NOERROR, true, &a);
  }
  // A lease's name is whatever its client chose: it answers only for a single label, the local
  // names of the LAN, so no client can take over an outside name or the gateway's own.
  uint32_t leased = 0;
  if (!ownName && q.name.find('.') == CString::npos && FindLeaseAddress(q.name, &leased))
    return reply(dns::RCODE_NOERROR, true, &leased);

  if (session.m_allowAutodial)
    if (auto engine = TheEngine()) engine->CheckDialFirst(&session);
  const uint64_t job = m_resolver ? m_resolver->Start(q.name) : 0;
  if (job == 0) return reply(dns::RCODE_SERVFAIL, false, nullptr);
  session.m_job = job;
  *outLength = 0;
  return true;
}

size_t CDNSService::AnswerFromLookup(CDNSSession& session, const LookupResult& result, uint8_t* out) {
  const dns::Query& q = session.m_query;
  switch (result.error) {
    case DNS_LOOKUP_OK:
      // The queried name is the owner (a pointer to the question): an answer owned by the
      // canonical name would not match the question, and stub resolvers drop it.
      return dns::BuildReply(session.m_buffer, q, dns::RCODE_NOERROR, false, &result.address, out, dns::kMaxMessage);
    case DNS_LOOKUP_HOST_NOT_FOUND:
      return dns::BuildReply(session.m_buffer, q, dns::RCODE_NXDOMAIN, false, nullptr, out, dns::kMaxMessage);
    case DNS_LOOKUP_NO_DATA:
      // The name exists without an IPv4 address: no answer, no error.
      return dns::BuildReply(session.m_buffer, q, dns::RCODE_NOERROR, false, nullptr, out, dns::kMaxMessage);
    default:
      return dns::BuildReply(session.m_buffer, q, dns::RCODE_SERVFAIL, false, nullptr, out, dns::kMaxMessage);
  }
}

void CDNSService::OnThreadMessage(platform::Message& msg) {
  if (msg.message == platform::WM_DNS_LOOKUP_DONE) OnLookupDone(msg);
}

void CDNSService::OnLookupDone(platform::Message& msg) {
  auto* result = dynamic_cast<LookupResult*>(msg.payload.get());
  if (!result) return;
  auto session = std::dynamic_pointer_cast<CDNSSession>(FindSession(static_cast<uintptr_t>(result->job)));
  if (!session || session->m_job != result->job) return;
  session->m_job = 0;
  try {
    const size_t n = AnswerFromLookup(*session, *result, m_reply);
    if (n > 0 && !session->IsEnding()) SendReply(*session, m_reply, n);
  } catch (const X1SocketException& e) {
    Log(LOG_ERROR, "Caught Socket exception in CDNSService::OnAsyncGetHostByName() %s - Ignoring",
        e.GetText().c_str());
  } catch (...) {
    Log(LOG_ERROR, "Caught unknown exception in CDNSService::OnAsyncGetHostByName() - Ignoring");
  }
  session->Terminate(0);
  RemoveSession(session);
}

void CDNSService::OnSessionRemoved(const std::shared_ptr<CUDPSession>& session) {
  auto dnsSession = std::dynamic_pointer_cast<CDNSSession>(session);
  if (dnsSession && dnsSession->m_job != 0 && m_resolver) {
    m_resolver->Cancel(dnsSession->m_job);
    dnsSession->m_job = 0;
  }
}

void CDNSService::SendReply(CDNSSession& session, const uint8_t* data, size_t length) {
  X1Socket* listener = FindBindingSocket(session.m_listenerHandle);
  if (!listener) return;
  uint32_t client = 0;
  if (!TryParseIPAddress(session.GetClientAddress(), &client)) return;
  // From the address the query reached: a client drops a reply that comes from anywhere else.
  listener->SendToFrom(data, length, static_cast<uint16_t>(session.GetClientPort()), client, session.m_localAddress,
                       session.m_interfaceIndex);
  session.AddClientBytesSent(length);
}

bool CDNSService::FindLeaseAddress(const CString& name, uint32_t* address) const {
  auto engine = TheEngine();
  if (!engine) return false;
  auto lease = engine->FindLeaseByClient(name, CString());
  if (!lease) return false;
  CLockGuard g(*lease);
  // Only a lease the client holds now: a released or lapsed one may belong to someone else.
  if (lease->ClientStatus != CDHCPLease::kBound && lease->ClientStatus != CDHCPLease::kReserved) return false;
  if (lease->IsExpired()) return false;
  return TryParseIPAddress(lease->IPAddress, address);
}

bool CDNSService::IsOwnName(const CString& name) const {
  if (strcasecmp(name.c_str(), "TRELLIS") == 0) return true;
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0) return false;
  // The first label of a full host name counts as well.
  CString own = host;
  if (strcasecmp(name.c_str(), own.c_str()) == 0) return true;
  const size_t dot = own.find('.');
  return dot != CString::npos && strcasecmp(name.c_str(), own.substr(0, dot).c_str()) == 0;
}
