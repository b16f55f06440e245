#include "engine/netsvc/dhcp/dhcp_prober.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "platform/clock.h"
#include "platform/icmp.h"
#include "platform/messages.h"

namespace {
// Without a wake-up descriptor the queue is looked at this often instead.
constexpr int kPollWithoutWakeMs = 20;
}  // namespace

CDHCPProber::CDHCPProber(platform::ThreadId owner, uint32_t timeoutMs) : m_owner(owner), m_timeoutMs(timeoutMs) {
  m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  m_thread = std::thread([this] { Run(); });
}

CDHCPProber::~CDHCPProber() {
  {
    std::lock_guard g(m_mutex);
    m_stopping = true;
  }
  Wake();
  m_thread.join();
  if (m_wakeFd >= 0) close(m_wakeFd);
}

bool CDHCPProber::Probe(uint32_t address) {
  {
    std::lock_guard g(m_mutex);
    if (m_stopping || m_pending >= kMaxPending) return false;
    m_queue.push_back(address);
    ++m_pending;
  }
  Wake();
  return true;
}

void CDHCPProber::Wake() {
  if (m_wakeFd < 0) return;
  const uint64_t one = 1;
  // A full counter already wakes the thread.
  [[maybe_unused]] ssize_t n = write(m_wakeFd, &one, sizeof one);
}

void CDHCPProber::Run() {
  platform::icmp::EchoBatch batch;
  struct InFlight {
    uint32_t address;
    uint64_t deadline;
  };
  std::map<uint16_t, InFlight> inFlight;  // by the request's sequence number
  auto post = [&](uint32_t address, bool answered) {
    {
      std::lock_guard g(m_mutex);
      --m_pending;
    }
    // The service thread may have ended meanwhile; the outcome then goes with it.
    platform::PostThreadMessage(m_owner, platform::WM_DHCP_PROBE_DONE, address, {}, answered ? 1 : 0);
  };
  const platform::icmp::EchoBatch::TargetOf targetOf = [&](uint16_t sequence) -> std::optional<uint32_t> {
    auto it = inFlight.find(sequence);
    if (it == inFlight.end()) return std::nullopt;
    return it->second.address;
  };

  for (;;) {
    std::vector<uint32_t> fresh;
    {
      std::lock_guard g(m_mutex);
      if (m_stopping) return;
      fresh.swap(m_queue);
    }
    for (uint32_t address : fresh) {
      uint16_t sequence = 0;
      platform::icmp::EchoResult failure;
      if (batch.Send(address, &sequence, &failure)) {
        inFlight[sequence] = InFlight{address, platform::TickCount64() + m_timeoutMs};
      } else {
        post(address, false);
      }
    }

    int waitMs = m_wakeFd < 0 ? kPollWithoutWakeMs : -1;
    const uint64_t now = platform::TickCount64();
    for (const auto& [sequence, f] : inFlight) {
      const int left = f.deadline > now ? static_cast<int>(f.deadline - now) : 0;
      if (waitMs < 0 || left < waitMs) waitMs = left;
    }
    pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {batch.Descriptor(), POLLIN, 0}};
    const nfds_t count = batch.Available() && !inFlight.empty() ? 2 : 1;
    if (poll(fds, count, waitMs) < 0 && errno != EINTR) usleep(kPollWithoutWakeMs * 1000);
    if (fds[0].revents & POLLIN) {
      uint64_t value;
      [[maybe_unused]] ssize_t n = read(m_wakeFd, &value, sizeof value);
    }
    if (count == 2 && fds[1].revents) {
      bool answered = false;
      uint16_t sequence = 0;
      platform::icmp::EchoResult result;
      while (batch.Receive(targetOf, &answered, &sequence, &result)) {
        if (!answered) continue;
        auto it = inFlight.find(sequence);
        if (it == inFlight.end()) continue;
        const uint32_t address = it->second.address;
        inFlight.erase(it);
        post(address, result.status == platform::icmp::EchoStatus::Success);
      }
    }
    const uint64_t after = platform::TickCount64();
    for (auto it = inFlight.begin(); it != inFlight.end();) {
      if (it->second.deadline > after) {
        ++it;
        continue;
      }
      const uint32_t address = it->second.address;
      it = inFlight.erase(it);
      post(address, false);
    }
  }
}
