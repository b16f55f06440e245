#include "engine/netsvc/dns/dns_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "platform/messages.h"

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

CDNSResolver::CDNSResolver(platform::ThreadId owner) : m_owner(owner) {
  for (int i = 0; i < kWorkers; ++i) m_workers.emplace_back([this] { Work(); });
}

CDNSResolver::~CDNSResolver() {
  {
    std::lock_guard g(m_mutex);
    m_stopping = true;
    m_live.clear();
    m_queue.clear();
  }
  m_cv.notify_all();
  // A worker inside getaddrinfo finishes that call (bounded by the resolver's own time-outs).
  for (auto& t : m_workers) t.join();
}

uint64_t CDNSResolver::Start(const CString& name) {
  uint64_t id;
  {
    std::lock_guard g(m_mutex);
    if (m_stopping || m_pending >= kMaxPending) return 0;
    id = m_nextId++;
    m_queue.push_back(Job{id, name});
    m_live.insert(id);
    ++m_pending;
  }
  m_cv.notify_one();
  return id;
}

void CDNSResolver::Cancel(uint64_t job) {
  std::lock_guard g(m_mutex);
  m_live.erase(job);
}

size_t CDNSResolver::GetPendingCount() const {
  std::lock_guard g(m_mutex);
  return m_pending;
}

void CDNSResolver::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock lk(m_mutex);
      m_cv.wait(lk, [this] { return m_stopping || !m_queue.empty(); });
      if (m_stopping) return;
      job = std::move(m_queue.front());
      m_queue.pop_front();
      if (!m_live.count(job.id)) {
        --m_pending;
        continue;
      }
    }
    auto result = std::make_unique<LookupResult>();
    result->job = job.id;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(job.name.c_str(), nullptr, &hints, &list);
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
    bool post;
    {
      std::lock_guard g(m_mutex);
      post = m_live.erase(job.id) > 0 && !m_stopping;
      --m_pending;
    }
    // Posting to an ended thread fails and frees the result.
    if (post) platform::PostThreadMessage(m_owner, platform::WM_DNS_LOOKUP_DONE, job.id, std::move(result));
  }
}
