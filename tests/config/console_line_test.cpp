// What the console links: this program links the configuration library alone. It makes every
// stored service class and the cache settings by stored class name, and its registry and archive
// forms are the engine's own, byte for byte (compared with frames taken from the running engine).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>

#include "engine/config/reg_helpers.h"
#include "engine/core/service_settings.h"
#include "engine/proxy/www/www_cache_settings.h"
#include "tests/support/test_env.h"

namespace {

std::vector<uint8_t> Archived(CObject& obj) {
  CArchive ar(CArchive::store);
  obj.Serialize(ar);
  return ar.TakeBytes();
}

std::shared_ptr<CServiceSettings> MakeService(const CString& storedName) {
  const CRuntimeClass* cls = CRuntimeClass::FromName(storedName);
  if (!cls || !cls->IsDerivedFrom(TL_RUNTIME_CLASS(CServiceSettings))) return nullptr;
  return std::dynamic_pointer_cast<CServiceSettings>(cls->CreateObject());
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

TEST(ConsoleLine, EveryStoredServiceClassIsMadeByNameAndRoundTripsRegistryAndArchive) {
  std::set<CString> names;
  for (const CRuntimeClass* cls : CRuntimeClass::All()) {
    if (!cls->m_createObject || !cls->IsDerivedFrom(TL_RUNTIME_CLASS(CServiceSettings))) continue;
    const CString stored = cls->m_className;
    names.insert(stored);
    SCOPED_TRACE(stored);
    auto a = MakeService(stored);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->GetRuntimeClass(), cls);
    a->SetName("Svc " + stored);
    a->PortNumber = 4321;
    a->SessionTimeout = 99;
    a->LogOptions = 0x11;
    a->BindingOption = BINDING_LIST;
    a->AccessRights.AddRecipientByName("Staff");
    auto binding = std::make_shared<CBinding>();
    binding->m_interface = CInterface(INTERFACE_IP, "192.168.7.1");
    binding->m_state = BINDING_FAILED;
    a->Bindings.SetAt("192.168.7.1", binding);
    a->Interfaces.AddTail(std::make_shared<CInterface>(INTERFACE_IP, "10.1.1.1"));
    const CString key = "Services\\Svc " + stored;
    ASSERT_TRUE(a->SaveSettings(key));
    EXPECT_EQ(RegReadString(key, "ServiceType", ""), stored);

    auto b = MakeService(RegReadString(key, "ServiceType", ""));
    ASSERT_TRUE(b);
    b->LoadSettings(key);
    // A binding's state is the engine's (a stored binding is always to be opened), the rest equal.
    binding->m_state = BINDING_TO_OPEN;
    EXPECT_EQ(Archived(*a), Archived(*b));

    auto c = MakeService(stored);
    auto bytes = Archived(*b);
    CArchive in(bytes.data(), bytes.size());
    c->Serialize(in);
    EXPECT_EQ(in.BytesLeft(), 0u);
    EXPECT_EQ(Archived(*c), bytes);
    EXPECT_EQ(c->Bindings.LookupAs<CBinding>("192.168.7.1")->m_interface.m_name, "192.168.7.1");
  }
  for (const char* n : {"CService", "CTCPService", "CWWWService", "CRemoteControlService", "CSOCKSService", "CFTPService", "CPOP3Service", "CTelnetService"}) {
    EXPECT_TRUE(names.count(n)) << n;
  }
  // The kind code the console chooses pages by comes with the class.
  EXPECT_EQ(MakeService("CWWWService")->GetServiceKind(), static_cast<uint32_t>(SERVICE_KIND_WWW));
  EXPECT_EQ(MakeService("CSOCKSService")->GetServiceKind(), static_cast<uint32_t>(SERVICE_KIND_SOCKS));
  EXPECT_EQ(MakeService("CFTPService")->GetServiceKind(), static_cast<uint32_t>(SERVICE_KIND_FTP));
  EXPECT_EQ(MakeService("CPOP3Service")->GetServiceKind(), static_cast<uint32_t>(SERVICE_KIND_POP3));
  EXPECT_EQ(MakeService("CTelnetService")->GetServiceKind(), static_cast<uint32_t>(SERVICE_KIND_TELNET));
  EXPECT_EQ(MakeService("CTCPService")->GetServiceKind(), static_cast<uint32_t>(SERVICE_KIND_NONE));
  // The name is checked before anything of an archive is applied.
  auto svc = MakeService("CTCPService");
  svc->Name = "bad/name";
  auto bad = Archived(*svc);
  auto victim = MakeService("CTCPService");
  CArchive in(bad.data(), bad.size());
  EXPECT_THROW(victim->Serialize(in), CArchiveException);
  EXPECT_EQ(victim->GetName(), "");
}

TEST(ConsoleLine, CacheSettingsAreMadeByNameAndACutArchiveChangesNothing) {
  const CRuntimeClass* cls = CRuntimeClass::FromName("CWWWCache");
  ASSERT_TRUE(cls);
  auto cache = std::dynamic_pointer_cast<CWWWCacheSettings>(cls->CreateObject());
  ASSERT_TRUE(cache);
  cache->SetCacheDirectory("web\\cache");
  cache->MaxSize = 7;
  ASSERT_TRUE(cache->Save(kCacheKey));
  CWWWCacheSettings loaded;
  loaded.Load(kCacheKey);
  EXPECT_EQ(loaded.GetCacheDirectory(), "web/cache");
  auto bytes = Archived(loaded);
  EXPECT_EQ(bytes, Archived(*cache));
  CWWWCacheSettings untouched;
  CArchive cut(bytes.data(), bytes.size() - 1);
  EXPECT_THROW(untouched.Serialize(cut), CArchiveException);
  EXPECT_EQ(untouched.MaxSize.load(), 100u);
  EXPECT_EQ(untouched.GetCacheDirectory(), "cache");
}

// The engine runs on this process's registry, writes its services back, and sends them to a
// console; loading the same registry here and archiving gives the very bytes it sent.
TEST(ConsoleLine, SettingsLoadedFromTheEnginesRegistryArchiveToTheBytesTheEngineSends) {
  RegDeleteKeyTree(kServicesKey);
  const std::string out = trellis::test::MakeTempDir("frames");
  std::string log;
  ASSERT_EQ(trellis::test::RunCommand("bash " + trellis::test::SourcePath("tests/support/capture_engine_frames.sh") +
                                          " " + trellis::test::BuildPath("") + " " + out + " 2>&1",
                                      &log),
            0)
      << log;
  const auto sent = ReadFile(out + "/services.bin");
  ASSERT_FALSE(sent.empty());

  // What the engine sent, read by class name into settings objects, archives back unchanged.
  CLockableMap fromFrame;
  fromFrame.SetElementClass(TL_RUNTIME_CLASS(CServiceSettings));
  {
    CArchive in(sent.data(), sent.size());
    fromFrame.SerializeChecked(in);
    EXPECT_EQ(in.BytesLeft(), 0u);
  }
  EXPECT_EQ(Archived(fromFrame), sent);
  EXPECT_EQ(fromFrame.Keys(),
            (std::vector<CString>{"Plain", "Plain TCP", "Remote Control Service", "WWW Proxy server"}));

  // The same services made by the class names the engine stored and loaded from its registry.
  CLockableMap fromRegistry;
  fromRegistry.SetElementClass(TL_RUNTIME_CLASS(CServiceSettings));
  for (const auto& name : RegEnumSubKeys(kServicesKey)) {
    const CString key = CString(kServicesKey) + "\\" + name;
    auto service = MakeService(RegReadString(key, "ServiceType", ""));
    ASSERT_TRUE(service) << name;
    service->LoadSettings(key);
    // Whether a service ran is the engine's live state, not a setting: take it from the frame.
    auto twin = fromFrame.LookupAs<CServiceSettings>(name);
    ASSERT_TRUE(twin) << name;
    service->SetReportedRunningState(twin->GetRunningState());
    fromRegistry.SetAt(name, service);
  }
  EXPECT_EQ(fromRegistry.LookupAs<CServiceSettings>("WWW Proxy server")->GetRunningState(), SERVICE_RUNNING);
  EXPECT_EQ(Archived(fromRegistry), sent);

  const auto cacheSent = ReadFile(out + "/cache.bin");
  ASSERT_FALSE(cacheSent.empty());
  CWWWCacheSettings cache;
  cache.Load(kCacheKey);
  EXPECT_EQ(cache.MaxSize.load(), 77u);
  EXPECT_EQ(Archived(cache), cacheSent);
}

}  // namespace
