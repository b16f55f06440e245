// Console requests on services. A changed service is a new object swapped in for the live one, so
// its sessions finish under the settings they started with.
#include "engine/core/service_manager.h"
#include "engine/remote/frame.h"
#include "engine/remote/rc_service.h"

namespace {

// The archived form of an object, for comparing two services' settings.
std::vector<uint8_t> ArchivedForm(CObject& obj) {
  CArchive ar(CArchive::store);
  obj.Serialize(ar);
  return ar.TakeBytes();
}

constexpr const char* kChangedByConsole = "Service configuration changed by a console";

// A service from a console passes the checks a stored one passes at start before it listens:
// its bindings against the interface list, and the consoles' own service kept on the loopback
// while Administrator has no password (an upload must not open it to the network).
void CheckBindings(const std::shared_ptr<CService>& service) {
  service->ValidateBindings(TheEngine()->GetSysInfo());
}

// A changed service runs in place of the old one when the old one ran.
void SwapService(const std::shared_ptr<CService>& live, const std::shared_ptr<CService>& fresh) {
  const bool wasRunning = live->Settings().GetRunningState() != SERVICE_STOPPED;
  TheEngine()->ReplaceService(live, fresh, wasRunning, kChangedByConsole);
}

void SendServices(X1Socket& socket) {
  auto engine = TheEngine();
  std::vector<uint8_t> interfaces = BuildFrame(engine->GetSysInfo().m_interfaces);
  std::vector<uint8_t> services = BuildFrame(engine->GetServiceManager());
  SendFrameBytes(socket, interfaces);
  SendFrameBytes(socket, services);
}

// A whole upload, applied as a difference.
bool ReceiveServiceManager(X1Socket& socket) {
  auto engine = TheEngine();
  std::vector<uint8_t> payload = ReceiveFramePayload(socket);
  CServiceManager scratch;
  LoadBareFrame(payload, scratch);
  if (!scratch.FindService(kRemoteControlServiceName)) return false;
  CServiceManager& manager = engine->GetServiceManager();
  for (const auto& live : manager.GetServices()) {
    const CString name = live->Settings().GetName();
    if (scratch.FindService(name)) continue;
    if (manager.RemoveService(name)) {
      live->Shutdown();
      live->CloseLogFile();
    }
  }
  for (const auto& incoming : scratch.GetServices()) {
    CheckBindings(incoming);
    auto live = manager.FindService(incoming->Settings().GetName());
    if (!live) {
      if (!manager.AddService(incoming)) return false;
      incoming->OpenLogFile();
      incoming->Startup();
      continue;
    }
    // An unchanged service keeps running untouched.
    if (live->Settings().GetRuntimeClass() == incoming->Settings().GetRuntimeClass()) {
      auto before = ArchivedForm(live->Settings());
      auto after = ArchivedForm(incoming->Settings());
      if (before == after) continue;
    }
    SwapService(live, incoming);
  }
  return engine->SaveConfiguration();
}

bool AddService(X1Socket& socket, const CString& name) {
  auto obj = ReceiveUnknownObject(socket, TL_RUNTIME_CLASS(CServiceSettings));
  auto service = std::dynamic_pointer_cast<CService>(obj);
  if (!service || !CServiceSettings::IsValidName(name)) return false;
  auto engine = TheEngine();
  CServiceManager& manager = engine->GetServiceManager();
  CServiceSettings& settings = service->Settings();
  if (settings.GetName() != name && !settings.SetName(name)) return false;
  CheckBindings(service);
  {
    CLockGuard g(manager);
    if (manager.FindService(name) || !manager.AddService(service)) return false;
  }
  service->OpenLogFile();
  service->Startup();
  return engine->SaveConfiguration();
}

bool ModifyService(X1Socket& socket, const CString& name) {
  auto engine = TheEngine();
  CServiceManager& manager = engine->GetServiceManager();
  std::vector<uint8_t> payload = ReceiveFramePayload(socket);
  auto live = manager.FindService(name);
  if (!live) return false;
  auto fresh = CServiceManager::CopyService(*live);
  if (!fresh) return false;
  CServiceSettings& settings = fresh->Settings();
  LoadBareFrame(payload, settings);
  if (settings.GetName() != name && !settings.SetName(name)) return false;
  CheckBindings(fresh);
  SwapService(live, fresh);
  return engine->SaveConfiguration();
}

bool DeleteService(const CString& name) {
  auto engine = TheEngine();
  CServiceManager& manager = engine->GetServiceManager();
  auto service = manager.FindService(name);
  if (!service || !manager.RemoveService(name)) return false;
  service->Shutdown();
  service->CloseLogFile();
  return engine->SaveConfiguration();
}

bool StartStopService(const CString& name, const CString& operation) {
  auto service = TheEngine()->GetServiceManager().FindService(name);
  if (!service) return false;
  if (operation == "0") {
    service->Stop();
  } else {
    service->Start();
  }
  return true;
}

}  // namespace

bool CRemoteControlSession::ServiceRequest(const CTLRCPMessage& message) {
  const CString& name = message.m_text1;
  switch (message.m_code) {
    case RC_REQ_GET_SERVICES:
      SendServices(m_clientSocket);
      return true;
    case RC_REQ_UPLOAD_SERVICES: return ReceiveServiceManager(m_clientSocket);
    case RC_REQ_ADD_SERVICE: return AddService(m_clientSocket, name);
    case RC_REQ_DELETE_SERVICE: return DeleteService(name);
    case RC_REQ_MODIFY_SERVICE: return ModifyService(m_clientSocket, name);
    case RC_REQ_START_STOP_SERVICE: return StartStopService(name, message.m_text2);
    default: return false;
  }
}
