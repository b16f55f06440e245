// What real clients cannot easily reach: a reply written over its own query, the exact bounds of
// a name, the resolver's completions and cancellation, the mapping of the system's lookup errors,
// and the relay's settings in both forms.
#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "engine/config/archive.h"
#include "engine/netsvc/dns/dns_message.h"
#include "engine/netsvc/dns/dns_resolver.h"
#include "engine/netsvc/dns/dns_settings.h"
#include "platform/messages.h"
#include "platform/msg_thread.h"

namespace {

std::vector<uint8_t> Query(const std::vector<std::string>& labels, uint16_t qtype = 1, uint16_t flags = 0x0100) {
  std::vector<uint8_t> q = {0x12, 0x34, static_cast<uint8_t>(flags >> 8), static_cast<uint8_t>(flags), 0, 1, 0, 0,
                            0, 0, 0, 0};
  for (const auto& l : labels) {
    q.push_back(static_cast<uint8_t>(l.size()));
    q.insert(q.end(), l.begin(), l.end());
  }
  q.insert(q.end(), {0, static_cast<uint8_t>(qtype >> 8), static_cast<uint8_t>(qtype), 0, 1});
  return q;
}

TEST(DNSMessage, ReplyInPlaceKeepsTheQuestionAndDropsTheRest) {
  auto q = Query({"www", "example", "test"});
  // An OPT record and junk after the question; Z and AD set as dig sets them.
  q[3] = 0x60;
  q[11] = 1;
  q.insert(q.end(), {0, 0, 41, 4, 0xD0, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE});
  q.resize(dns::kMaxMessage);
  dns::Query parsed;
  ASSERT_EQ(dns::ParseQuery(q.data(), q.size(), &parsed), dns::ParseStatus::Ok);
  EXPECT_EQ(parsed.name, "www.example.test");
  EXPECT_EQ(parsed.questionEnd, 12u + 18u + 4u);
  const uint32_t a = 0xC0A80001;
  const size_t n = dns::BuildReply(q.data(), parsed, dns::RCODE_NOERROR, false, &a, q.data(), q.size());
  ASSERT_EQ(n, parsed.questionEnd + 16);
  EXPECT_EQ(q[2], 0x81);  // QR, RD; no AA
  EXPECT_EQ(q[3], 0x80);  // RA; Z, AD clear; NOERROR
  EXPECT_EQ(q[7], 1);
  EXPECT_EQ(q[11], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&q[13]), 3), "www");
  const uint8_t record[16] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 0, 0, 4, 192, 168, 0, 1};
  EXPECT_EQ(0, memcmp(&q[parsed.questionEnd], record, 16));
}

TEST(DNSMessage, NameBoundsAndDroppedDatagrams) {
  // 4 labels of 63 bytes: 4 * 64 + 1 = 257 wire bytes, over the limit; 3 of 63 and one of 61 is 255.
  std::string l63(63, 'a'), l61(61, 'b');
  dns::Query q;
  auto over = Query({l63, l63, l63, l63});
  EXPECT_EQ(dns::ParseQuery(over.data(), over.size(), &q), dns::ParseStatus::Malformed);
  auto limit = Query({l63, l63, l63, l61});
  EXPECT_EQ(dns::ParseQuery(limit.data(), limit.size(), &q), dns::ParseStatus::Ok);
  EXPECT_EQ(q.name.size(), 253u);
  auto response = Query({"a"}, 1, 0x8100);
  EXPECT_EQ(dns::ParseQuery(response.data(), response.size(), &q), dns::ParseStatus::Drop);
  EXPECT_EQ(dns::ParseQuery(response.data(), 11, &q), dns::ParseStatus::Drop);
  // A malformed question is answered with the header alone.
  auto cut = Query({"abc"});
  cut.resize(14);
  ASSERT_EQ(dns::ParseQuery(cut.data(), cut.size(), &q), dns::ParseStatus::Malformed);
  uint8_t out[dns::kMaxMessage];
  EXPECT_EQ(dns::BuildReply(cut.data(), q, dns::RCODE_FORMERR, false, nullptr, out, sizeof out), 12u);
  EXPECT_EQ(out[5], 0);
  EXPECT_EQ(out[3] & 0x0F, dns::RCODE_FORMERR);
  // Numbers in every spelling, and names of numeric labels alone; names with a letter outside a
  // 0x prefix are names.
  for (const char* n : {"10.1.2.3", "10.1", "1234", "0x7f.1", "127.1", "0x7f000001", "017700000001", "1.2.3.4.5",
                        "0X7F.0x0.0.01", "0x", "08.09"})
    EXPECT_TRUE(dns::IsNumericName(n)) << n;
  for (const char* n : {"", "1e100.test", "cafe", "0xg.1", "10.1.example", "x10.1", "1-2.3"})
    EXPECT_FALSE(dns::IsNumericName(n)) << n;
}

// A thread that collects the resolver's completions.
class Collector : public platform::MsgThread {
 public:
  std::mutex mx;
  std::vector<std::pair<uint64_t, uint32_t>> done;

 protected:
  int Run() override {
    platform::Message msg;
    while (GetMessage(&msg)) {
      if (msg.message != platform::WM_DNS_LOOKUP_DONE) continue;
      auto* r = dynamic_cast<LookupResult*>(msg.payload.get());
      std::lock_guard g(mx);
      done.emplace_back(msg.wParam, r ? r->address : 0);
    }
    return 0;
  }
};

TEST(DNSResolver, CompletionsArePostedAndCancelledJobsStaySilent) {
  auto t = std::make_shared<Collector>();
  ASSERT_TRUE(t->CreateThread());
  {
    CDNSResolver resolver(t->Id());
    const uint64_t kept = resolver.Start("localhost");
    const uint64_t cancelled = resolver.Start("localhost");
    resolver.Cancel(cancelled);
    ASSERT_NE(kept, 0u);
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard g(t->mx);
        if (!t->done.empty()) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    while (resolver.GetPendingCount() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  t->PostQuit(0);
  t->WaitForExit(5000);
  std::lock_guard g(t->mx);
  ASSERT_EQ(t->done.size(), 1u);
  EXPECT_EQ(t->done[0].first, 1u);
  EXPECT_EQ(t->done[0].second, 0x7F000001u);
  EXPECT_EQ(MapLookupError(EAI_NONAME), DNS_LOOKUP_HOST_NOT_FOUND);
  EXPECT_EQ(MapLookupError(EAI_NODATA), DNS_LOOKUP_NO_DATA);
  EXPECT_EQ(MapLookupError(EAI_AGAIN), DNS_LOOKUP_TRY_AGAIN);
  EXPECT_EQ(MapLookupError(EAI_FAIL), DNS_LOOKUP_NO_RECOVERY);
  EXPECT_EQ(MapLookupError(EAI_MEMORY), DNS_LOOKUP_NO_MEMORY);
}

// Names under "slow.test" hang until released, as names of a domain whose servers never answer;
// every other name is answered at once.
struct HangingLookups {
  std::mutex mx;
  std::condition_variable cv;
  bool released = false;
  std::map<std::string, int> calls;
  void operator()(const CString& name, LookupResult* r) {
    std::unique_lock lk(mx);
    ++calls[name];
    if (name.find("slow.test") != std::string::npos) cv.wait(lk, [this] { return released; });
    r->address = 0x0A000000u + static_cast<uint32_t>(name.size());
  }
  void Release() {
    std::lock_guard g(mx);
    released = true;
    cv.notify_all();
  }
};

TEST(DNSResolver, ASlowNameHoldsUpNoOther) {
  auto t = std::make_shared<Collector>();
  ASSERT_TRUE(t->CreateThread());
  auto hanging = std::make_shared<HangingLookups>();
  auto doneCount = [&] {
    std::lock_guard g(t->mx);
    return t->done.size();
  };
  auto waitFor = [](auto pred) {
    for (int i = 0; i < 1000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pred();
  };
  {
    CDNSResolver resolver(t->Id(), [hanging](const CString& n, LookupResult* r) { (*hanging)(n, r); });
    // Eight names of one domain hang, and one of them is asked for by as many clients as may wait.
    for (int i = 0; i < 8; ++i) ASSERT_NE(resolver.Start("h" + std::to_string(i) + ".slow.test"), 0u);
    for (size_t i = 0; i < CDNSResolver::kMaxJobsPerName; ++i) ASSERT_NE(resolver.Start("Same.Slow.Test"), 0u);
    EXPECT_EQ(resolver.Start("same.slow.test"), 0u) << "one more query for a name than may wait";
    // The domain's further names wait their turn, up to their bound.
    for (size_t i = 9; i < CDNSResolver::kMaxLookupsPerDomain; ++i)
      ASSERT_NE(resolver.Start("w" + std::to_string(i) + ".slow.test"), 0u);
    EXPECT_EQ(resolver.Start("over.slow.test"), 0u) << "one more name of a domain than may wait";
    auto slowCalls = [&] {
      std::lock_guard g(hanging->mx);
      size_t slow = 0;
      for (const auto& [name, n] : hanging->calls) slow += name.find("slow.test") != std::string::npos ? n : 0;
      return slow;
    };
    EXPECT_TRUE(waitFor([&] { return slowCalls() >= CDNSResolver::kMaxRunningPerDomain; }));
    // Another name is answered while all of those hang.
    ASSERT_NE(resolver.Start("fast.example"), 0u);
    EXPECT_TRUE(waitFor([&] { return doneCount() == 1; }));
    EXPECT_EQ(slowCalls(), CDNSResolver::kMaxRunningPerDomain) << "lookups of one domain running at once";
    EXPECT_LE(resolver.GetWorkerCount(), CDNSResolver::kMaxWorkers);
    hanging->Release();
    const size_t all = 8 + CDNSResolver::kMaxJobsPerName + (CDNSResolver::kMaxLookupsPerDomain - 9) + 1;
    EXPECT_TRUE(waitFor([&] { return doneCount() == all; })) << doneCount();
    std::lock_guard g(hanging->mx);
    EXPECT_EQ(hanging->calls["Same.Slow.Test"], 1) << "one lookup for the queries of one name";
  }
  t->PostQuit(0);
  t->WaitForExit(5000);
}

TEST(DNSSettings, DefaultsAndTheArchiveForm) {
  CDNSServiceSettings s;
  EXPECT_EQ(s.PortNumber, 53u);
  EXPECT_EQ(s.GetName(), "DNS server");
  EXPECT_EQ(s.GetServiceKind(), 9u);
  s.AllowAutodial = 0;
  CArchive out(CArchive::store);
  s.Serialize(out);
  auto bytes = out.TakeBytes();
  CDNSServiceSettings back;
  CArchive in(bytes.data(), bytes.size());
  back.Serialize(in);
  EXPECT_EQ(back.AllowAutodial, 0u);
  EXPECT_EQ(in.BytesLeft(), 0u);
}

}  // namespace
