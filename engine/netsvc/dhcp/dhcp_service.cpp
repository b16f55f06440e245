#include "engine/netsvc/dhcp/dhcp_service.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <set>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/core/engine.h"
#include "engine/net/socket_exception.h"
#include "platform/clock.h"
#include "platform/messages.h"

namespace {

// A "CDHCPService" read from the registry or a console's frame is a running server here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CDHCPServiceSettings), &MakeRunningService<CDHCPService>);

constexpr int kDatagramsPerEvent = 64;

CString LeaseKey(const CString& address) { return CString(kLeasesKey) + "\\" + address; }

// The interface holding that address and its real prefix (an automatic scope takes the mask the
// interface has, not the address's class).
bool FindInterface(uint32_t address, CString* name, uint32_t* mask) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_name) continue;
    if (ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr) != address) continue;
    if (name) *name = i->ifa_name;
    if (mask)
      *mask = i->ifa_netmask ? ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr) : 0;
    found = true;
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

CDHCPService::CDHCPService() { Database.SetAddressHost(this); }

CDHCPService::~CDHCPService() { Database.SetAddressHost(nullptr); }

// ---- The address host -----------------------------------------------------------------------------

std::optional<IDHCPAddressHost::LeaseState> CDHCPService::GetLeaseState(uint32_t address) {
  auto engine = TheEngine();
  if (!engine) return std::nullopt;
  auto lease = engine->FindLease(FormatIPAddress(address));
  if (!lease) return std::nullopt;
  CLockGuard g(*lease);
  LeaseState state;
  const time_t now = time(nullptr);
  state.expired = lease->IsExpired(now);
  if (state.expired) {
    const uint64_t end = static_cast<uint64_t>(lease->TimeStamp) +
                         (lease->LeaseDuration == CDHCPLease::kInfinite ? 0 : lease->LeaseDuration);
    const uint64_t n = static_cast<uint64_t>(now);
    state.expiredFor = n > end ? static_cast<uint32_t>(std::min<uint64_t>(n - end, 0xFFFFFFFFu)) : 0;
  }
  return state;
}

bool CDHCPService::RemoveLease(uint32_t address) {
  auto engine = TheEngine();
  return engine && engine->RemoveLease(FormatIPAddress(address));
}

void CDHCPService::AddReservedLease(uint32_t address, uint32_t scopeId) {
  if (auto engine = TheEngine())
    engine->AddLease(std::make_shared<CDHCPLease>(FormatIPAddress(address), scopeId, CString(), CString(),
                                                  CDHCPLease::kInfinite, CDHCPLease::kReserved));
}

bool CDHCPService::IsLocalAddress(uint32_t address) { return FindInterface(address, nullptr, nullptr); }

void CDHCPService::RemoveLeasesOfScope(uint32_t scopeId) {
  if (auto engine = TheEngine()) engine->RemoveLeasesOfScope(scopeId);
}

IDHCPAddressHost::EchoState CDHCPService::Ping(uint32_t address) {
  auto it = m_echoes.find(address);
  if (it == m_echoes.end()) return EchoState::kUnknown;
  const Echo& echo = it->second;
  // An address being checked for one client is not another's meanwhile; its own request waits.
  if (echo.pending) return echo.owner == m_client ? EchoState::kUnknown : EchoState::kAnswers;
  if (echo.until <= platform::TickCount64()) {
    m_echoes.erase(it);
    return EchoState::kUnknown;
  }
  return echo.answers ? EchoState::kAnswers : EchoState::kSilent;
}

size_t CDHCPService::InterfaceCount() const {
  auto engine = TheEngine();
  return engine ? engine->GetSysInfo().m_interfaces.GetCount() : 0;
}

void CDHCPService::TakeOverFrom(CService& previous) {
  auto* old = dynamic_cast<CDHCPService*>(&previous);
  auto engine = TheEngine();
  if (!old || !engine) return;
  std::set<uint32_t> kept;
  for (const auto& scope : Database.GetScopes()) {
    CLockGuard g(*scope);
    kept.insert(scope->ScopeID);
  }
  for (const auto& scope : old->Database.GetScopes()) {
    uint32_t id;
    {
      CLockGuard g(*scope);
      id = scope->ScopeID;
    }
    if (!kept.count(id)) engine->RemoveLeasesOfScope(id);
  }
}

// ---- Bindings and sockets ---------------------------------------------------------------------------

void CDHCPService::ValidateBindings(CSysInfo& info) {
  uint32_t option, allowPublic;
  CString specific;
  {
    CLockGuard g(Settings());
    option = BindingOption;
    allowPublic = AllowAllocatePublicIPs;
  }
  if (option == BINDING_ALL) AutoBind(info);
  CUDPService::ValidateBindings(info);
  if (allowPublic) return;
  bool privateBound = false;
  {
    CLockGuard g(Settings());
    option = BindingOption;
    specific = SpecificBinding;
  }
  if (option == BINDING_SPECIFIC) {
    privateBound = IsPrivateAddress(ParseIPAddress(specific));
  } else if (option == BINDING_LIST) {
    for (const auto& key : Bindings.Keys()) privateBound = privateBound || IsPrivateAddress(ParseIPAddress(key));
  }
  if (!privateBound) {
    static const char kText[] =
        "DHCP service will not operate.  You have no private interfaces bound, and public address allocation is "
        "denied.  You may need to renumber your network";
    Log(LOG_ERROR, "%s", kText);
    Log(LOG_DEBUG, "%s", kText);
  }
}

void CDHCPService::PrepareListener(X1Socket& socket, const CString& address, CString* bindAddress) {
  try {
    socket.SetBroadcast(true);
  } catch (const X1SocketException&) {
    // The binding still hears its clients and answers relays and renewing clients by unicast.
    Log(LOG_ERROR, "Caught Exception setting broadcast mode on bound sockets");
  }
  uint32_t a = 0;
  CString device;
  if (!TryParseIPAddress(address, &a) || a == 0 || !FindInterface(a, &device, nullptr)) return;
  // Tied to the interface and listening on every address: broadcasts arrive, and several
  // bindings can share port 67.
  socket.SetReuseAddress(true);
  socket.BindToDevice(device);
  *bindAddress = CString();
  m_bindingAddress[socket.GetHandle()] = a;
}

void CDHCPService::OnRead(platform::Message& msg) {
  X1Socket* listener = TakeListenerEvent(msg);
  if (!listener) return;
  for (int i = 0; i < kDatagramsPerEvent; ++i) {
    CString from;
    uint16_t fromPort = 0;
    uint32_t local = 0;
    int ifIndex = 0;
    size_t n = 0;
    try {
      n = listener->ReceiveFromLocal(m_receive, sizeof m_receive, from, fromPort, &local, &ifIndex);
    } catch (const X1SocketException&) {
      // Longer than any request this server reads (consumed whole, never read cut short), or a
      // pending error of the socket: that datagram is dropped.
      continue;
    }
    if (from.empty()) break;
    auto bound = m_bindingAddress.find(listener->GetHandle());
    if (bound != m_bindingAddress.end()) local = bound->second;
    try {
      Serve(*listener, m_receive, n, local, ifIndex);
    } catch (const X1SocketException& e) {
      Log(LOG_ERROR, "Caught socket exception in CDHCPService::ProcessPacket() %s - ignoring", e.GetText().c_str());
    } catch (...) {
      Log(LOG_ERROR, "Caught unknown exception in CDHCPService::ProcessPacket() - ignoring");
    }
  }
}

// ---- Parked requests ----------------------------------------------------------------------------------

void CDHCPService::OnThreadStart() {
  m_prober = std::make_unique<CDHCPProber>(platform::CurrentThreadId(), kProbeTimeoutMs);
}

void CDHCPService::OnThreadEnd() {
  m_prober.reset();
  m_parked.clear();
  m_echoes.clear();
}

void CDHCPService::Serve(X1Socket& listener, const uint8_t* data, size_t length, uint32_t local, int ifIndex) {
  Reply reply;
  const bool send = ProcessPacket(data, length, local, &reply);
  if (reply.probe != 0) Park(reply, data, length, local, ifIndex, listener.GetHandle());
  if (send) listener.SendToFrom(reply.bytes.data(), reply.bytes.size(), reply.port, reply.address, local, ifIndex);
}

void CDHCPService::Park(const Reply& reply, const uint8_t* data, size_t length, uint32_t local, int ifIndex,
                        int listener) {
  if (!m_prober) return;
  // A flood of new hardware addresses meets a bound; the clients ask again.
  if (!m_parked.count(reply.client) && m_parked.size() >= kMaxParked) {
    Log(LOG_DEBUG, "Request of client %s dropped - %zu requests wait for address checks", reply.client.c_str(),
        m_parked.size());
    return;
  }
  Echo& echo = m_echoes[reply.probe];
  if (!echo.pending) {
    if (!m_prober->Probe(reply.probe)) {
      m_echoes.erase(reply.probe);
      return;
    }
    echo = Echo{true, false, reply.client, 0};
  }
  m_parked[reply.client] = Parked{std::vector<uint8_t>(data, data + length), local, ifIndex, listener, reply.probe};
}

void CDHCPService::OnThreadMessage(platform::Message& msg) {
  if (msg.message != platform::WM_DHCP_PROBE_DONE) return;
  try {
    OnProbeDone(static_cast<uint32_t>(msg.wParam), msg.lParam != 0);
  } catch (...) {
    Log(LOG_ERROR, "Caught unknown exception in CDHCPService::OnProbeDone() - ignoring");
  }
}

void CDHCPService::OnProbeDone(uint32_t address, bool answers) {
  const uint64_t now = platform::TickCount64();
  for (auto it = m_echoes.begin(); it != m_echoes.end();)
    it = !it->second.pending && it->second.until <= now ? m_echoes.erase(it) : std::next(it);
  m_echoes[address] = Echo{false, answers, CString(), now + (answers ? kAnswersHoldMs : kSilentHoldMs)};
  // Every request waiting for this address runs again now that its answer is known; one may park
  // again on the next address of its walk.
  std::vector<Parked> ready;
  for (auto it = m_parked.begin(); it != m_parked.end();) {
    if (it->second.address != address) {
      ++it;
      continue;
    }
    ready.push_back(std::move(it->second));
    it = m_parked.erase(it);
  }
  for (const Parked& p : ready) {
    // A binding that has gone since takes its requests with it.
    X1Socket* listener = FindBindingSocket(p.listener);
    if (!listener) continue;
    try {
      Serve(*listener, p.datagram.data(), p.datagram.size(), p.local, p.ifIndex);
    } catch (const X1SocketException& e) {
      Log(LOG_ERROR, "Caught socket exception in CDHCPService::ProcessPacket() %s - ignoring", e.GetText().c_str());
    } catch (...) {
      Log(LOG_ERROR, "Caught unknown exception in CDHCPService::ProcessPacket() - ignoring");
    }
  }
}

// ---- Requests -----------------------------------------------------------------------------------------

bool CDHCPService::ProcessPacket(const uint8_t* data, size_t length, uint32_t L, Reply* reply) {
  dhcp::Request rq;
  const char* error = "";
  if (!dhcp::ParseRequest(data, length, &rq, &error)) {
    Log(LOG_DEBUG, "Dropped a malformed DHCP request: %s", error);
    return false;
  }
  if (rq.messageType == 0 || L == 0) return false;
  const uint32_t G = rq.giaddr;
  const uint32_t R = rq.requested != 0 ? rq.requested : rq.ciaddr;
  const CString N = rq.hostName;
  const CString H = rq.hardwareAddress;
  // The latest DISCOVER or REQUEST of a client is the one answered: one parked before is dropped
  // (a check it started still runs).
  if (rq.messageType == dhcp::DHCPDISCOVER || rq.messageType == dhcp::DHCPREQUEST) m_parked.erase(H);
  m_client = H;
  reply->client = H;
  reply->probe = 0;
  const CString Ltext = FormatIPAddress(L), Rtext = FormatIPAddress(R), Gtext = FormatIPAddress(G);
  auto engine = TheEngine();
  if (!engine) return false;

  uint32_t allowPublic;
  {
    CLockGuard g(Settings());
    allowPublic = AllowAllocatePublicIPs;
  }
  if (!allowPublic && !IsPrivateAddress(G != 0 ? G : L)) {
    Log(LOG_DEBUG, "Client %s denied access - nonprivate address allocation denied", N.c_str());
    return false;
  }

  dhcp::CDHCPMessageWriter w(data, length);
  // Where the reply goes: the relay, a renewing client's own address, else the broadcast address
  // out of the interface the request came in on.
  reply->port = dhcp::kClientPort;
  reply->address = 0xFFFFFFFFu;
  if (G != 0) {
    reply->address = G;
    reply->port = dhcp::kServerPort;
  } else if (rq.ciaddr != 0) {
    reply->address = rq.ciaddr;
  }
  auto nak = [&]() {
    WriteNak(w, L);
    // A NAK is broadcast unless a relay carries it: the client's ciaddr may be the very address
    // refused.
    if (G == 0) reply->address = 0xFFFFFFFFu;
    reply->bytes.assign(w.Data(), w.Data() + w.Length());
    return true;
  };

  AccessRequest access;
  access.userName = "Guest";
  access.clientAddress = rq.ciaddr;
  if (!AccessRights.IsGranted(access, engine->GetAccessContext(), AccessStage::Request)) {
    Log(LOG_DEBUG, "Client %s denied access to server by rule", N.c_str());
    return rq.messageType == dhcp::DHCPREQUEST ? nak() : false;
  }

  switch (rq.messageType) {
    case dhcp::DHCPDISCOVER: {
      Log(LOG_DEBUG, "Getting offer for %s, %s, %s, %s, %s", Ltext.c_str(), Rtext.c_str(), N.c_str(), H.c_str(),
          Gtext.c_str());
      auto lease = ChooseLease(L, R, N, H, G, &reply->probe);
      if (!lease) {
        // Answered once the address has been checked.
        if (reply->probe != 0) return false;
        Log(LOG_DEBUG, "No acceptable offer can be made to client %s ", N.c_str());
        return false;
      }
      CString ip, name;
      uint32_t scopeId, duration;
      {
        CLockGuard g(*lease);
        ip = lease->IPAddress;
        name = lease->ComputerName;
        scopeId = lease->ScopeID;
        duration = lease->LeaseDuration;
      }
      // An offer is held briefly, but it offers the scope's whole lease time.
      if (auto scope = Database.FindScope(scopeId); scope && duration != CDHCPLease::kInfinite) {
        CLockGuard g(*scope);
        duration = scope->LeaseDuration;
      }
      WriteReply(w, dhcp::DHCPOFFER, lease.get(), scopeId, ip, duration, L, G, rq.parameters);
      Log(LOG_DEBUG, "Offering the client %s IP address %s", name.c_str(), ip.c_str());
      reply->bytes.assign(w.Data(), w.Data() + w.Length());
      return true;
    }
    case dhcp::DHCPREQUEST: {
      if (rq.serverId != 0 && rq.serverId != L) {
        // The client took another server's offer.
        if (auto lease = engine->FindLeaseByClient(CString(), H)) {
          CString ip;
          {
            CLockGuard g(*lease);
            ip = lease->IPAddress;
          }
          engine->RemoveLease(ip);
        }
        return false;
      }
      w.ClearOptions();
      auto lease = engine->FindLeaseByClient(CString(), H);
      if (lease) {
        CString ip;
        uint32_t scopeId;
        {
          CLockGuard g(*lease);
          ip = lease->IPAddress;
          scopeId = lease->ScopeID;
        }
        auto reservation = Database.FindReservation(N, H);
        if (reservation && reservation->IPAddress != Rtext) {
          Log(LOG_DEBUG, "New Reservation for client %s does not match IP", N.c_str());
          engine->RemoveLease(ip);
          return nak();
        }
        auto scope = Database.FindScope(scopeId);
        if (!scope) {
          Log(LOG_DEBUG, "Scope no longer exists for client %s", N.c_str());
          engine->RemoveLease(ip);
          return nak();
        }
        bool enabled;
        uint32_t duration;
        {
          CLockGuard g(*scope);
          enabled = scope->Enabled != 0;
          duration = scope->LeaseDuration;
        }
        if (!scope->IsAddressFree(ParseIPAddress(ip), this) || !enabled || !ServesInterface(*scope, L)) {
          Log(LOG_DEBUG, "Scope no longer prepared to allocate %s", ip.c_str());
          engine->RemoveLease(ip);
          return nak();
        }
        if (!reservation) {
          CLockGuard g(*lease);
          if (lease->ClientStatus != CDHCPLease::kReserved) lease->LeaseDuration = duration;
        }
      } else {
        lease = ChooseLease(L, R, N, H, G, &reply->probe);
        if (!lease) {
          if (reply->probe != 0) return false;
          Log(LOG_DEBUG, "No acceptable offer can be made to %s", N.c_str());
          return nak();
        }
      }
      CString ip, oldName, oldHardware;
      uint32_t scopeId, duration;
      {
        CLockGuard g(*lease);
        ip = lease->IPAddress;
        oldName = lease->ComputerName;
        oldHardware = lease->MACAddress;
        scopeId = lease->ScopeID;
      }
      if (ip != Rtext) {
        Log(LOG_DEBUG, "We cannot offer %s back the IP it requested (%s)", N.c_str(), Rtext.c_str());
        return nak();
      }
      const bool rekey = oldName != N || oldHardware != H;
      if (rekey) engine->RemoveLease(ip);
      {
        CLockGuard g(*lease);
        lease->ComputerName = N;
        lease->MACAddress = H;
        if (lease->ClientStatus != CDHCPLease::kReserved) {
          lease->ClientStatus = CDHCPLease::kBound;
          // An offer was held for a short time only: the bound lease runs for the scope's time.
          if (lease->LeaseDuration == kOfferHoldSeconds)
            if (auto scope = Database.FindScope(scopeId)) {
              CLockGuard sg(*scope);
              lease->LeaseDuration = scope->LeaseDuration;
            }
        }
        lease->Renew();
        duration = lease->LeaseDuration;
      }
      // Out of the tables and back under the new keys: a name or address the lease no longer has
      // must not find it.
      if (rekey) engine->AddLease(lease);
      {
        CLockGuard g(*lease);
        // One taken out of the table meanwhile (its scope removed) must not bring its key back.
        if (!lease->m_removed) lease->Save(LeaseKey(ip));
      }
      WriteReply(w, dhcp::DHCPACK, lease.get(), scopeId, ip, duration, L, G, rq.parameters);
      Log(LOG_DEBUG, "Binding the client %s to IP address %s", N.c_str(), ip.c_str());
      reply->bytes.assign(w.Data(), w.Data() + w.Length());
      return true;
    }
    case dhcp::DHCPDECLINE: {
      auto lease = engine->FindLeaseByClient(CString(), H);
      if (!lease) return false;
      CString ip;
      uint32_t scopeId;
      {
        CLockGuard g(*lease);
        ip = lease->IPAddress;
        scopeId = lease->ScopeID;
      }
      Log(LOG_ERROR, "Warning, potential conflict with the IP address %s", ip.c_str());
      engine->RemoveLease(ip);
      // Held back for a while: the host that answered the client's probe may not answer a ping.
      engine->AddLease(MakeLease(ParseIPAddress(ip), scopeId, CString(), CString(), kDeclineHoldSeconds,
                                 CDHCPLease::kOfferLapsed));
      return false;
    }
    case dhcp::DHCPRELEASE: {
      auto lease = engine->FindLeaseByClient(CString(), H);
      if (!lease) return false;
      CLockGuard g(*lease);
      // Only the address the client holds: a RELEASE names it in ciaddr.
      if (rq.ciaddr != 0 && lease->IPAddress != FormatIPAddress(rq.ciaddr)) return false;
      lease->Renew(1);
      lease->ClientStatus = CDHCPLease::kReleased;
      if (!lease->m_removed) lease->Save(LeaseKey(lease->IPAddress));
      return false;
    }
    case dhcp::DHCPINFORM: {
      // A client with an address of its own asks for options only: an ACK without address or
      // lease time, unicast to it.
      if (rq.ciaddr == 0) return false;
      uint32_t scopeId = 0;
      for (const auto& scope : Database.GetScopes()) {
        CLockGuard g(*scope);
        if (ServesInterface(*scope, L) && scope->InclusionRange.ContainsNetwork(rq.ciaddr, scope->NetMask)) {
          scopeId = scope->ScopeID;
          break;
        }
      }
      w.ClearOptions();
      WriteReply(w, dhcp::DHCPACK, nullptr, scopeId, FormatIPAddress(rq.ciaddr), 0, L, G, rq.parameters);
      reply->bytes.assign(w.Data(), w.Data() + w.Length());
      return true;
    }
    default: return false;
  }
}

void CDHCPService::WriteNak(dhcp::CDHCPMessageWriter& w, uint32_t L) {
  w.ClearOptions();
  w.SetAddress(dhcp::CDHCPMessageWriter::CIADDR, 0);
  w.SetAddress(dhcp::CDHCPMessageWriter::YIADDR, 0);
  w.SetAddress(dhcp::CDHCPMessageWriter::SIADDR, 0);
  w.SetOptionByte(dhcp::OPT_MESSAGE_TYPE, dhcp::DHCPNAK);
  // Clients ignore a NAK that does not say which server sent it.
  w.SetOptionAddress(dhcp::OPT_SERVER_ID, L);
}

void CDHCPService::WriteReply(dhcp::CDHCPMessageWriter& w, uint8_t type, const CDHCPLease* lease, uint32_t scopeId,
                              const CString& optionsAddress, uint32_t duration, uint32_t L, uint32_t G,
                              const std::vector<uint8_t>& parameters) {
  w.ClearOptions();
  w.SetAddress(dhcp::CDHCPMessageWriter::SIADDR, L);
  w.SetAddress(dhcp::CDHCPMessageWriter::YIADDR, lease ? ParseIPAddress(lease->IPAddress) : 0);
  w.SetOptionByte(dhcp::OPT_MESSAGE_TYPE, type);
  w.SetOptionAddress(dhcp::OPT_SERVER_ID, L);
  if (lease) w.SetOptionDword(dhcp::OPT_LEASE_TIME, duration);
  if (auto scope = Database.FindScope(scopeId)) {
    uint32_t mask;
    {
      CLockGuard g(*scope);
      mask = scope->NetMask;
    }
    w.SetOptionAddress(dhcp::OPT_SUBNET_MASK, mask);
  }
  CDHCPOptionsContainer options;
  Database.GetEffectiveOptions(options, scopeId, optionsAddress);
  const auto all = options.Snapshot();
  for (uint8_t code : parameters)
    if (auto it = all.find(code); it != all.end()) w.SetOption(code, it->second.Data, it->second.Length);
  for (const auto& [code, option] : all) w.SetOption(code, option.Data, option.Length);
  if (Database.SuppliesRouter()) {
    if (G != 0)
      w.SetOptionAddress(dhcp::OPT_ROUTER, G);
    else if (InterfaceCount() >= 3)
      w.SetOptionAddress(dhcp::OPT_ROUTER, L);
  }
  if (Database.SuppliesDNS()) w.SetOptionAddress(dhcp::OPT_DNS, L);
}

// ---- Lease choice ---------------------------------------------------------------------------------------

std::shared_ptr<CDHCPLease> CDHCPService::MakeLease(uint32_t address, uint32_t scopeId, const CString& N,
                                                    const CString& H, uint32_t duration, uint32_t status) {
  return std::make_shared<CDHCPLease>(FormatIPAddress(address), scopeId, N, H, duration, status);
}

bool CDHCPService::ServesInterface(const CDHCPScope& scope, uint32_t L) const {
  CLockGuard g(scope);
  return scope.BoundInterface == FormatIPAddress(L);
}

// The existing lease, then a reservation, then the requested address, then a free one, then an
// automatic scope. Clients are looked up by hardware address alone: two machines with one host
// name must not take each other's leases.
std::shared_ptr<CDHCPLease> CDHCPService::ChooseLease(uint32_t L, uint32_t R, const CString& N, const CString& H,
                                                      uint32_t G, uint32_t* probe) {
  *probe = 0;
  auto engine = TheEngine();
  if (!engine) return nullptr;
  CLockGuard scopes(Database.Scopes);
  auto lease = engine->FindLeaseByClient(CString(), H);
  auto reservation = Database.FindReservation(N, H);
  auto leaseAddress = [&]() {
    CLockGuard g(*lease);
    return lease->IPAddress;
  };
  auto scopeState = [&](uint32_t id, bool* serves, bool* enabled) {
    auto scope = Database.FindScope(id);
    if (!scope) return scope;
    *serves = ServesInterface(*scope, L);
    CLockGuard g(*scope);
    *enabled = scope->Enabled != 0;
    return scope;
  };

  if (lease && !reservation) {
    uint32_t scopeId;
    {
      CLockGuard g(*lease);
      scopeId = lease->ScopeID;
    }
    bool serves = false, enabled = false;
    auto scope = scopeState(scopeId, &serves, &enabled);
    if (leaseAddress() == FormatIPAddress(R) && scope && serves && enabled) {
      uint32_t duration;
      {
        CLockGuard g(*scope);
        duration = scope->LeaseDuration;
      }
      CLockGuard g(*lease);
      lease->Renew(lease->ClientStatus == CDHCPLease::kOffered ? kOfferHoldSeconds : duration);
      return lease;
    }
    engine->RemoveLease(leaseAddress());
    lease.reset();
  }
  bool treatReserved = false;
  if (reservation) {
    CString resAddress;
    uint32_t resScope;
    {
      CLockGuard g(*reservation);
      resAddress = reservation->IPAddress;
      resScope = reservation->ScopeID;
    }
    if (lease && leaseAddress() != resAddress) {
      engine->RemoveLease(leaseAddress());
      lease.reset();
    }
    // A lease at the reserved address that is not this client's (a reserved lease made before
    // the client came) is this client's now.
    if (!lease) lease = engine->FindLease(resAddress);
    bool serves = false, enabled = false;
    auto scope = scopeState(resScope, &serves, &enabled);
    if (!scope) {
      Database.RemoveReservation(resAddress);
      if (lease) engine->RemoveLease(resAddress);
      lease.reset();
      treatReserved = true;
    } else if (serves && !enabled) {
      return nullptr;
    } else if (!serves && !enabled) {
      return nullptr;
    } else if (!serves) {
      if (lease) engine->RemoveLease(resAddress);
      lease.reset();
    } else {
      if (lease) {
        CLockGuard g(*lease);
        if (lease->ClientStatus == CDHCPLease::kReserved) return lease;
      }
      if (lease) engine->RemoveLease(resAddress);
      auto made = MakeLease(ParseIPAddress(resAddress), resScope, N, H, CDHCPLease::kInfinite, CDHCPLease::kReserved);
      engine->AddLease(made);
      return made;
    }
  }

  const uint32_t NET = G != 0 ? G : L;
  if (R != 0 && Database.IsReservedForOther(R, N, H)) treatReserved = true;
  auto reservedForOther = [&](uint32_t a) { return Database.IsReservedForOther(a, N, H); };
  auto held = [&](uint32_t a) {
    // An address another client holds (or a declined one held back) is never offered, whoever
    // asks for it; a lapsed lease of it may be taken over.
    auto state = GetLeaseState(a);
    if (!state) return false;
    if (!state->expired) return true;
    engine->RemoveLease(FormatIPAddress(a));
    return false;
  };
  if (R != 0 && !treatReserved) {
    for (const auto& scope : Database.GetScopes()) {
      if (!ServesInterface(*scope, L) || held(R) || !scope->CanOffer(R, NET, this, probe)) {
        if (*probe != 0) return nullptr;
        continue;
      }
      uint32_t id, enabled;
      {
        CLockGuard g(*scope);
        id = scope->ScopeID;
        enabled = scope->Enabled;
      }
      if (!enabled) return nullptr;
      auto made = MakeLease(R, id, N, H, kOfferHoldSeconds, CDHCPLease::kOffered);
      engine->AddLease(made);
      return made;
    }
  }
  for (const auto& scope : Database.GetScopes()) {
    uint32_t id, enabled;
    {
      CLockGuard g(*scope);
      id = scope->ScopeID;
      enabled = scope->Enabled;
    }
    if (!enabled || !ServesInterface(*scope, L)) continue;
    uint32_t a = 0;
    if (!scope->FindFreeAddress(NET, this, reservedForOther, &a, probe)) {
      if (*probe != 0) return nullptr;
      continue;
    }
    auto made = MakeLease(a, id, N, H, kOfferHoldSeconds, CDHCPLease::kOffered);
    engine->AddLease(made);
    return made;
  }
  if (!Database.MayCreateScopes() || G != 0 || !MayMakeAutomaticScope(L)) return nullptr;
  auto scope = CreateAutomaticScope(L);
  if (!scope) return nullptr;
  uint32_t id;
  {
    CLockGuard g(*scope);
    id = scope->ScopeID;
  }
  uint32_t a = 0;
  if (R != 0 && !treatReserved && !held(R) && scope->CanOffer(R, L, this, probe))
    a = R;
  else if (*probe != 0 || !scope->FindFreeAddress(L, this, reservedForOther, &a, probe))
    return nullptr;
  auto made = MakeLease(a, id, N, H, kOfferHoldSeconds, CDHCPLease::kOffered);
  engine->AddLease(made);
  return made;
}

// A relayed request never gets here: its network's prefix is not known, and a guess by its class
// would offer addresses that do not route (10.50.0.0/24 behind a relay is not 10.0.0.0/8).
bool CDHCPService::MayMakeAutomaticScope(uint32_t L) {
  const CString Ltext = FormatIPAddress(L);
  // One per network: a scope that serves it, exhausted or disabled, is not doubled.
  for (const auto& scope : Database.GetScopes()) {
    CLockGuard g(*scope);
    if (scope->BoundInterface == Ltext && scope->InclusionRange.ContainsNetwork(L, scope->NetMask)) return false;
  }
  // An interface bound by the operator's own choice may face the outside; the network there is not
  // this server's to number.
  auto engine = TheEngine();
  if (!engine) return false;
  CString why = engine->GetUpstreamReason(L);
  if (why.empty())
    if (auto entry = engine->GetSysInfo().m_interfaces.LookupAs<CInterface>(Ltext); entry && entry->m_outside)
      why = "it is marked Internet-facing";
  if (why.empty()) return true;
  Log(LOG_DEBUG, "No automatic scope for interface %s - %s", Ltext.c_str(), why.c_str());
  return false;
}

std::shared_ptr<CDHCPScope> CDHCPService::CreateAutomaticScope(uint32_t L) {
  const uint32_t B = L;
  uint32_t mask = 0;
  // The interface's own prefix, not its address's class.
  if (!FindInterface(L, nullptr, &mask) || mask == 0) mask = GetClassfulMask(B);
  // A /31 or /32 has no room for clients.
  if ((~mask) < 3) return nullptr;
  auto scope = std::make_shared<CDHCPScope>();
  scope->NetMask = mask;
  scope->LeaseDuration = CDHCPScope::kDefaultLeaseDuration;
  scope->BoundInterface = FormatIPAddress(L);
  scope->Enabled = 1;
  scope->InclusionRange = CIPRange((B & mask) + 1, (B | ~mask) - 1);
  scope->SetExclusions({CIPRange(B, 0)});
  if (Database.SuppliesRouter() && InterfaceCount() >= 3) {
    CDHCPOption router;
    router.Code = dhcp::OPT_ROUTER;
    router.SetAddress(L);
    scope->Options.SetOption(router);
  }
  if (Database.SuppliesDNS()) {
    CDHCPOption dnsOption;
    dnsOption.Code = dhcp::OPT_DNS;
    dnsOption.SetAddress(L);
    scope->Options.SetOption(dnsOption);
  }
  const uint32_t id = Database.AddScope(scope);
  scope->Save(FormatString("Services\\%s\\Database\\Scopes\\%010u", GetName().c_str(), id));
  return scope;
}
