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
// Threads: everything runs on the service thread; the lease table is the engine's (its own locks),
// and the lease choice holds the scope map's lock while it asks it.
#include <map>
#include <memory>

#include "engine/core/dhcp_lease.h"
#include "engine/core/udp_service.h"
#include "engine/netsvc/dhcp/dhcp_message.h"
#include "engine/netsvc/dhcp/dhcp_settings.h"

class CDHCPService final : public TRunningService<CDHCPServiceSettings, CUDPService>, public IDHCPAddressHost {
 public:
  static constexpr uint32_t kOfferHoldSeconds = 120;
  static constexpr uint32_t kDeclineHoldSeconds = 600;

  CDHCPService();
  ~CDHCPService() override;

  struct Reply {
    std::vector<uint8_t> bytes;
    uint32_t address = 0xFFFFFFFFu;  // host order; all ones: the limited broadcast
    uint16_t port = dhcp::kClientPort;
  };
  // One request that arrived on the interface whose address is local: the reply to send, if any.
  bool ProcessPacket(const uint8_t* data, size_t length, uint32_t local, Reply* reply);
  // The lease for a client (see dhcp_service.cpp), or null.
  std::shared_ptr<CDHCPLease> ChooseLease(uint32_t L, uint32_t R, const CString& N, const CString& H, uint32_t G);

  // IDHCPAddressHost, over the engine's lease table.
  std::optional<LeaseState> GetLeaseState(uint32_t address) override;
  bool RemoveLease(uint32_t address) override;
  void AddReservedLease(uint32_t address, uint32_t scopeId) override;
  bool IsLocalAddress(uint32_t address) override;
  bool Ping(uint32_t address) override;

  void ValidateBindings(CSysInfo& info) override;

 protected:
  void OnRead(platform::Message& msg) override;
  void PrepareListener(X1Socket& socket, const CString& address, CString* bindAddress) override;

 private:
  void WriteReply(dhcp::CDHCPMessageWriter& w, uint8_t type, const CDHCPLease* lease, uint32_t scopeId,
                  const CString& optionsAddress, uint32_t duration, uint32_t L, uint32_t G,
                  const std::vector<uint8_t>& parameters);
  void WriteNak(dhcp::CDHCPMessageWriter& w, uint32_t L);
  std::shared_ptr<CDHCPLease> MakeLease(uint32_t address, uint32_t scopeId, const CString& N, const CString& H,
                                        uint32_t duration, uint32_t status);
  bool ServesInterface(const CDHCPScope& scope, uint32_t L) const;
  std::shared_ptr<CDHCPScope> CreateAutomaticScope(uint32_t L, uint32_t G);
  size_t InterfaceCount() const;

  std::map<int, uint32_t> m_bindingAddress;  // listener descriptor -> its binding's address (service thread)
  uint8_t m_receive[2048];
};
