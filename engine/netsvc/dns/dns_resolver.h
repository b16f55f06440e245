#pragma once
// The DNS relay's asynchronous resolver: names go to worker threads that ask the system
// (getaddrinfo, IPv4, with the canonical name); each completion is posted to the thread that
// started the lookup as WM_DNS_LOOKUP_DONE (wParam = job id) carrying a LookupResult that the
// message owns. A job that was cancelled, or whose session has gone, completes into nothing: the
// result belongs to the message, never to a session.
//
// A name whose servers never answer holds its worker for the system resolver's whole time-out, so
// one slow name must not hold up the others:
//   - workers are made on demand, up to kMaxWorkers, and the ones beyond kKeptWorkers end after
//     kIdleWorkerMs without work;
//   - queries for the same name (in any letter case) share one lookup, at most kMaxJobsPerName of
//     them;
//   - the names of one domain (a name without its first label, when that leaves two labels or
//     more) run at most kMaxRunningPerDomain lookups at once; the rest of that domain waits while
//     other names go ahead, and at most kMaxLookupsPerDomain of its names wait or run;
//   - at most kMaxPending queries wait in all.
// A query over a bound is refused at once (Start returns 0) rather than left to wait.
//
// Error numbers of a result (the system's getaddrinfo codes mapped to the socket library's):
//   0 found, 11001 host not found, 11002 try again, 11003 unrecoverable, 11004 no data,
//   10055 out of memory.
//
// Threads: Start and Cancel come from the owner thread. Workers share the resolver's state (which
// they keep alive, so a stop never waits for a lookup that hangs), take names under its mutex (a
// leaf) and run the lookup with no lock held; after the resolver has gone they post nothing.
#include <cstdint>
#include <functional>
#include <memory>

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

// How a worker looks a name up: fills error, officialName and address of the result.
using LookupFunction = std::function<void(const CString& name, LookupResult* result)>;
// The system resolver's answer for a name.
void SystemLookup(const CString& name, LookupResult* result);

class CDNSResolver {
 public:
  static constexpr size_t kMaxWorkers = 32;
  static constexpr size_t kKeptWorkers = 4;
  static constexpr int kIdleWorkerMs = 30000;
  static constexpr size_t kMaxPending = 256;
  static constexpr size_t kMaxJobsPerName = 16;
  static constexpr size_t kMaxRunningPerDomain = 8;
  static constexpr size_t kMaxLookupsPerDomain = 32;

  // lookup: the system resolver unless a test gives its own.
  explicit CDNSResolver(platform::ThreadId owner, LookupFunction lookup = SystemLookup);
  ~CDNSResolver();
  CDNSResolver(const CDNSResolver&) = delete;
  CDNSResolver& operator=(const CDNSResolver&) = delete;

  // A job id (never 0), or 0 when a bound refuses the query.
  uint64_t Start(const CString& name);
  // The job's completion will not be posted (one already posted is ignored by its receiver).
  void Cancel(uint64_t job);
  // Queries not yet completed or cancelled.
  size_t GetPendingCount() const;
  // Worker threads that exist now.
  size_t GetWorkerCount() const;

  // The domain whose lookups are bounded together.
  static CString DomainOf(const CString& lowerName);

 private:
  struct State;
  static void Work(const std::shared_ptr<State>& state);

  std::shared_ptr<State> m_state;
};
