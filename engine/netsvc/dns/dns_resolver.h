#pragma once
// The DNS relay's asynchronous resolver: names go to a few worker threads that ask the system
// (getaddrinfo, IPv4, with the canonical name); each completion is posted to the thread that
// started the lookup as WM_DNS_LOOKUP_DONE (wParam = job id) carrying a LookupResult that the
// message owns. A job that was cancelled, or whose session has gone, completes into nothing: the
// result belongs to the message, never to a session.
//
// Error numbers of a result (the system's getaddrinfo codes mapped to the socket library's):
//   0 found, 11001 host not found, 11002 try again, 11003 unrecoverable, 11004 no data,
//   10055 out of memory.
//
// Threads: Start and Cancel come from the owner thread; workers take jobs under the queue mutex
// (a leaf) and run getaddrinfo with no lock held.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "engine/config/archive.h"
#include "platform/msg_thread.h"

enum : uint32_t {
  DNS_LOOKUP_OK = 0,
  DNS_LOOKUP_NO_MEMORY = 10055,
  DNS_LOOKUP_HOST_NOT_FOUND = 11001,
  DNS_LOOKUP_TRY_AGAIN = 11002,
  DNS_LOOKUP_NO_RECOVERY = 11003,
  DNS_LOOKUP_NO_DATA = 11004,
};

struct LookupResult : platform::MsgPayload {
  uint64_t job = 0;
  uint32_t error = DNS_LOOKUP_OK;
  CString officialName;
  uint32_t address = 0;  // the first IPv4 address, host order
};

// The getaddrinfo code as the error number above.
uint32_t MapLookupError(int gaiError);

class CDNSResolver {
 public:
  static constexpr int kWorkers = 4;
  // Lookups waiting or running at most: a flood of random names must meet a bound.
  static constexpr size_t kMaxPending = 256;

  explicit CDNSResolver(platform::ThreadId owner);
  ~CDNSResolver();
  CDNSResolver(const CDNSResolver&) = delete;
  CDNSResolver& operator=(const CDNSResolver&) = delete;

  // A job id (never 0), or 0 when too many lookups are pending.
  uint64_t Start(const CString& name);
  // The job's completion will not be posted (one already posted is ignored by its receiver).
  void Cancel(uint64_t job);
  size_t GetPendingCount() const;

 private:
  struct Job {
    uint64_t id;
    CString name;
  };
  void Work();

  const platform::ThreadId m_owner;
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<Job> m_queue;
  std::unordered_set<uint64_t> m_live;  // queued or running, not cancelled
  size_t m_pending = 0;                 // queued or running
  uint64_t m_nextId = 1;
  bool m_stopping = false;
  std::vector<std::thread> m_workers;
};
