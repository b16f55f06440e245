#pragma once
// The DHCP server's ping check of fresh addresses, off the service thread: an address to check
// goes to a thread of its own that sends echo requests for every waiting address at once on one
// ICMP socket and posts each outcome to the service thread as WM_DHCP_PROBE_DONE (wParam the
// address in host order, lParam 1 when a host answered, else 0). No answer within the time-out,
// an error about the request, a request that cannot be sent and ICMP being unavailable all count
// as "nobody answered", as a ping on the service thread did.
//
// Threads: Probe comes from the service thread; the prober's thread takes the queue under its
// mutex (a leaf) and waits on its socket and a wake-up descriptor with no lock held.
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/msg_thread.h"

class CDHCPProber {
 public:
  // Addresses waiting or in flight at most: each stands for a request parked on the service
  // thread, which has its own bound; this one keeps the prober bounded on its own.
  static constexpr size_t kMaxPending = 256;

  // Outcomes go to thread owner; a request is given up after timeoutMs.
  CDHCPProber(platform::ThreadId owner, uint32_t timeoutMs);
  // Ends the thread; outcomes not posted by then are dropped.
  ~CDHCPProber();
  CDHCPProber(const CDHCPProber&) = delete;
  CDHCPProber& operator=(const CDHCPProber&) = delete;

  // Queues one check. False when kMaxPending are pending (nothing is posted for it).
  bool Probe(uint32_t address);

 private:
  void Run();
  void Wake();

  const platform::ThreadId m_owner;
  const uint32_t m_timeoutMs;
  int m_wakeFd = -1;
  std::mutex m_mutex;
  std::vector<uint32_t> m_queue;  // under m_mutex
  size_t m_pending = 0;           // queued or in flight; under m_mutex
  bool m_stopping = false;        // under m_mutex
  std::thread m_thread;
};
