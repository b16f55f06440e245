#pragma once
// The DHCP server: answers DISCOVER, REQUEST, DECLINE, RELEASE and INFORM of client machines on
// the LAN, leasing addresses out of the scopes and reservations of its database and writing replies
// that carry the reservation's, scope's and global options.
//
// Sockets: a listener bound to one address would never see a broadcast DISCOVER, so each binding
// listens on 0.0.0.0:67 tied to its interface (SO_BINDTODEVICE); the binding's own address is the
// server's address L on it (server identifier, siaddr, router and DNS options). Replies leave by the
// interface the request came in on: broadcast to 68, unicast to a renewing client's ciaddr, or to
// the relay's giaddr on 67.
//
// Clients are known by their hardware address; the host name they send is only an attribute
// (reservations by name, the DNS relay). Offers lapse after kOfferHoldSeconds; a declined address
// is held back for kDeclineHoldSeconds.
//
// Fresh addresses are checked by ping before they are offered, off the service thread (the
// prober): a request whose answer hangs on such a check is parked, one per client (its latest),
// at most kMaxParked in all, and runs again when the check is over. Everything else (renewals,
// INFORM, RELEASE, other clients) is answered meanwhile. Outcomes are kept a while (kSilentHoldMs,
// kAnswersHoldMs) so that one client's check is not repeated for the next; an address being
// checked for one client is not offered to another.
//
// Automatic scopes: at most one per network of an interface, never on an interface that faces the
// outside (CTrellisEngine::GetUpstreamReason) and never for a relayed network, whose prefix is not
// known here.
//
// Threads: everything runs on the service thread (the parked requests and the ping outcomes too);
// the lease table is the engine's (its own locks), and the lease choice holds the scope map's lock
// while it asks it.
#include <map>
#include <memory>

#include "engine/core/dhcp_lease.h"
#include "engine/core/udp_service.h"
#include "engine/netsvc/dhcp/dhcp_message.h"
#include "engine/netsvc/dhcp/dhcp_prober.h"
#include "engine/netsvc/dhcp/dhcp_settings.h"

class CDHCPService final : public TRunningService<CDHCPServiceSettings, CUDPService>, public IDHCPAddressHost {
 public:
  static constexpr uint32_t kOfferHoldSeconds = 120;
  static constexpr uint32_t kDeclineHoldSeconds = 600;

  CDHCPService();
  ~CDHCPService() override;

  // Requests parked for a ping check at most, and how long a check waits for its answer.
  static constexpr size_t kMaxParked = 64;
  static constexpr uint32_t kProbeTimeoutMs = 2000;
  // How long an outcome stands: "nobody answered" only until the request that asked has run
  // again, "a host answered" long enough for a burst of new clients not to ping it each time.
  static constexpr uint64_t kSilentHoldMs = 10000;
  static constexpr uint64_t kAnswersHoldMs = 60000;

  struct Reply {
    std::vector<uint8_t> bytes;
    uint32_t address = 0xFFFFFFFFu;  // host order; all ones: the limited broadcast
    uint16_t port = dhcp::kClientPort;
    // Set when the answer hangs on the ping check of this address (nothing is sent now).
    uint32_t probe = 0;
    CString client;  // the request's hardware address
  };
  // One request that arrived on the interface whose address is local: the reply to send, if any
  // (service thread).
  bool ProcessPacket(const uint8_t* data, size_t length, uint32_t local, Reply* reply);
  // The lease for a client (see dhcp_service.cpp), or null; null with *probe set when it hangs on
  // the ping check of that address.
  std::shared_ptr<CDHCPLease> ChooseLease(uint32_t L, uint32_t R, const CString& N, const CString& H, uint32_t G,
                                          uint32_t* probe);

  // IDHCPAddressHost, over the engine's lease table and the ping outcomes known here.
  std::optional<LeaseState> GetLeaseState(uint32_t address) override;
  bool RemoveLease(uint32_t address) override;
  void AddReservedLease(uint32_t address, uint32_t scopeId) override;
  bool IsLocalAddress(uint32_t address) override;
  void RemoveLeasesOfScope(uint32_t scopeId) override;
  EchoState Ping(uint32_t address) override;

  void ValidateBindings(CSysInfo& info) override;
  // The leases of every scope previous had and this one has not go with their scope.
  void TakeOverFrom(CService& previous) override;

 protected:
  void OnThreadStart() override;
  void OnThreadEnd() override;
  void OnRead(platform::Message& msg) override;
  void OnThreadMessage(platform::Message& msg) override;
  void PrepareListener(X1Socket& socket, const CString& address, CString* bindAddress) override;

 private:
  void WriteReply(dhcp::CDHCPMessageWriter& w, uint8_t type, const CDHCPLease* lease, uint32_t scopeId,
                  const CString& optionsAddress, uint32_t duration, uint32_t L, uint32_t G,
                  const std::vector<uint8_t>& parameters);
  void WriteNak(dhcp::CDHCPMessageWriter& w, uint32_t L);
  std::shared_ptr<CDHCPLease> MakeLease(uint32_t address, uint32_t scopeId, const CString& N, const CString& H,
                                        uint32_t duration, uint32_t status);
  bool ServesInterface(const CDHCPScope& scope, uint32_t L) const;
  // Whether an automatic scope may be made for the network of interface L (logs why not).
  bool MayMakeAutomaticScope(uint32_t L);
  std::shared_ptr<CDHCPScope> CreateAutomaticScope(uint32_t L);
  size_t InterfaceCount() const;

  // A request waiting for the ping check of an address, and what it needs to be answered then.
  struct Parked {
    std::vector<uint8_t> datagram;
    uint32_t local = 0;    // L
    int ifIndex = 0;       // the interface it came in on
    int listener = -1;     // the descriptor of the listener it came in on
    uint32_t address = 0;  // the address being checked
  };
  struct Echo {
    bool pending = false;  // being checked for owner
    bool answers = false;
    CString owner;
    uint64_t until = 0;  // a known outcome stands until then (tick)
  };
  // Answers the datagram, or parks it when its answer hangs on a ping check; sends what there is.
  void Serve(X1Socket& listener, const uint8_t* data, size_t length, uint32_t local, int ifIndex);
  void Park(const Reply& reply, const uint8_t* data, size_t length, uint32_t local, int ifIndex, int listener);
  void OnProbeDone(uint32_t address, bool answers);

  std::map<int, uint32_t> m_bindingAddress;  // listener descriptor -> its binding's address (service thread)
  uint8_t m_receive[2048];
  // Service thread only.
  std::unique_ptr<CDHCPProber> m_prober;
  std::map<CString, Parked> m_parked;  // by hardware address
  std::map<uint32_t, Echo> m_echoes;   // by address
  CString m_client;                    // hardware address of the request being answered
};
