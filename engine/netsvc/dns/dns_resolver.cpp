#include "engine/netsvc/dns/dns_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/messages.h"

namespace {
// DNS names match without regard to ASCII case.
CString Lower(CString text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}
}  // namespace

uint32_t MapLookupError(int gaiError) {
  switch (gaiError) {
    case 0: return DNS_LOOKUP_OK;
    case EAI_NONAME: return DNS_LOOKUP_HOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA: return DNS_LOOKUP_NO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return DNS_LOOKUP_NO_DATA;
#endif
    case EAI_AGAIN: return DNS_LOOKUP_TRY_AGAIN;
    case EAI_MEMORY: return DNS_LOOKUP_NO_MEMORY;
    default: return DNS_LOOKUP_NO_RECOVERY;
  }
}

void SystemLookup(const CString& name, LookupResult* result) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
  result->error = MapLookupError(rc);
  if (rc == 0) {
    bool found = false;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
      if (ai->ai_canonname && result->officialName.empty()) result->officialName = ai->ai_canonname;
      if (!found && ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
        result->address = ntohl(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
        found = true;
      }
    }
    if (!found) result->error = DNS_LOOKUP_NO_DATA;
  }
  if (list) freeaddrinfo(list);
}

struct CDNSResolver::State {
  struct Lookup {
    CString name;  // as the first query spelt it
    CString domain;
    std::vector<uint64_t> jobs;
    bool running = false;
  };
  struct Domain {
    size_t lookups = 0;  // waiting or running
    size_t running = 0;
  };

  State(platform::ThreadId o, LookupFunction f) : owner(o), lookup(std::move(f)) {}

  // The oldest waiting lookup whose domain may run one more; queue.end() when none.
  std::deque<CString>::iterator NextRunnable() {
    return std::find_if(queue.begin(), queue.end(), [this](const CString& key) {
      return domains[lookups[key].domain].running < kMaxRunningPerDomain;
    });
  }
  void DropLookup(std::map<CString, Lookup>::iterator it) {
    auto d = domains.find(it->second.domain);
    if (d != domains.end() && --d->second.lookups == 0) domains.erase(d);
    lookups.erase(it);
  }

  const platform::ThreadId owner;
  const LookupFunction lookup;
  std::mutex mutex;
  std::condition_variable cv;
  bool stopping = false;
  std::map<CString, Lookup> lookups;            // by lower-case name
  std::deque<CString> queue;                    // lookups not yet running, oldest first
  std::unordered_map<uint64_t, CString> jobs;   // job -> its lookup's key
  std::unordered_map<CString, Domain> domains;  // only domains with a lookup
  size_t workers = 0;
  size_t idle = 0;     // workers waiting for work
  size_t wakeups = 0;  // of those, the ones told to look, not yet awake
  uint64_t nextId = 1;
};

CDNSResolver::CDNSResolver(platform::ThreadId owner, LookupFunction lookup)
    : m_state(std::make_shared<State>(owner, std::move(lookup))) {}

CDNSResolver::~CDNSResolver() {
  {
    std::lock_guard g(m_state->mutex);
    m_state->stopping = true;
    m_state->jobs.clear();
    m_state->queue.clear();
    m_state->lookups.clear();
    m_state->domains.clear();
  }
  // Idle workers end now; one inside a lookup ends when the lookup returns, posting nothing.
  m_state->cv.notify_all();
}

CString CDNSResolver::DomainOf(const CString& lowerName) {
  const size_t first = lowerName.find('.');
  if (first == CString::npos) return lowerName;
  const CString rest = lowerName.substr(first + 1);
  return rest.find('.') == CString::npos ? lowerName : rest;
}

uint64_t CDNSResolver::Start(const CString& name) {
  State& s = *m_state;
  std::lock_guard g(s.mutex);
  if (s.stopping || s.jobs.size() >= kMaxPending) return 0;
  const CString key = Lower(name);
  auto it = s.lookups.find(key);
  const bool fresh = it == s.lookups.end();
  if (fresh) {
    const CString domain = DomainOf(key);
    State::Domain& d = s.domains[domain];
    if (d.lookups >= kMaxLookupsPerDomain) return 0;
    ++d.lookups;
    it = s.lookups.emplace(key, State::Lookup{name, domain, {}, false}).first;
    s.queue.push_back(key);
  } else if (it->second.jobs.size() >= kMaxJobsPerName) {
    return 0;
  }
  const uint64_t id = s.nextId++;
  it->second.jobs.push_back(id);
  s.jobs.emplace(id, key);
  if (!fresh || s.domains[it->second.domain].running >= kMaxRunningPerDomain) return id;
  // A worker that waits and has not been told of other work already takes the name; otherwise a
  // new one does, so a name never waits behind a lookup that hangs.
  if (s.idle > s.wakeups) {
    ++s.wakeups;
    s.cv.notify_one();
  } else if (s.workers < kMaxWorkers) {
    try {
      std::thread([state = m_state] { Work(state); }).detach();
      ++s.workers;
    } catch (const std::system_error&) {
      // No thread now: the name waits for a worker that ends its lookup, or for the next Start.
    }
  }
  return id;
}

void CDNSResolver::Cancel(uint64_t job) {
  State& s = *m_state;
  std::lock_guard g(s.mutex);
  auto j = s.jobs.find(job);
  if (j == s.jobs.end()) return;
  auto it = s.lookups.find(j->second);
  s.jobs.erase(j);
  if (it == s.lookups.end()) return;
  std::erase(it->second.jobs, job);
  // A lookup nobody waits for any more is dropped unless it runs (its worker drops it then).
  if (it->second.jobs.empty() && !it->second.running) {
    std::erase(s.queue, it->first);
    s.DropLookup(it);
  }
}

size_t CDNSResolver::GetPendingCount() const {
  std::lock_guard g(m_state->mutex);
  return m_state->jobs.size();
}

size_t CDNSResolver::GetWorkerCount() const {
  std::lock_guard g(m_state->mutex);
  return m_state->workers;
}

void CDNSResolver::Work(const std::shared_ptr<State>& state) {
  State& s = *state;
  std::unique_lock lk(s.mutex);
  for (;;) {
    if (s.stopping) break;
    auto next = s.NextRunnable();
    if (next == s.queue.end()) {
      ++s.idle;
      const bool timedOut = s.cv.wait_for(lk, std::chrono::milliseconds(kIdleWorkerMs)) == std::cv_status::timeout;
      --s.idle;
      if (s.wakeups > 0) --s.wakeups;
      if (timedOut && !s.stopping && s.workers > kKeptWorkers && s.NextRunnable() == s.queue.end()) break;
      continue;
    }
    const CString key = *next;
    s.queue.erase(next);
    State::Lookup& lookup = s.lookups[key];
    lookup.running = true;
    const CString name = lookup.name;
    const CString domain = lookup.domain;
    ++s.domains[domain].running;
    lk.unlock();

    LookupResult result;
    try {
      s.lookup(name, &result);
    } catch (...) {
      // A lookup that throws (out of memory) answers like a failed one: the clients hear SERVFAIL.
      result = LookupResult();
      result.error = DNS_LOOKUP_NO_RECOVERY;
    }

    lk.lock();
    if (s.stopping) break;
    std::vector<uint64_t> waiting;
    if (auto d = s.domains.find(domain); d != s.domains.end()) --d->second.running;
    if (auto it = s.lookups.find(key); it != s.lookups.end()) {
      waiting.swap(it->second.jobs);
      s.DropLookup(it);
    }
    for (uint64_t job : waiting) s.jobs.erase(job);
    lk.unlock();
    for (uint64_t job : waiting) {
      auto payload = std::make_unique<LookupResult>(result);
      payload->job = job;
      // Posting to an ended thread fails and frees the result.
      platform::PostThreadMessage(s.owner, platform::WM_DNS_LOOKUP_DONE, job, std::move(payload));
    }
    lk.lock();
  }
  --s.workers;
}
