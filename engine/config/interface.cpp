#include "engine/config/interface.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

TL_IMPLEMENT_SERIAL(CInterface, CObject, 1)
TL_IMPLEMENT_SERIAL(CSysInfo, CObject, 1)

namespace {
std::mutex g_dialupMutex;
DialupInfo g_dialup;
}  // namespace

void SetDialupInfo(DialupInfo info) {
  std::lock_guard<std::mutex> lk(g_dialupMutex);
  g_dialup = std::move(info);
}

DialupInfo GetDialupInfo() {
  std::lock_guard<std::mutex> lk(g_dialupMutex);
  return g_dialup;
}

void CInterface::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << m_kind << m_name << m_address << m_lan << m_outside;
  } else {
    ar >> m_kind >> m_name >> m_address >> m_lan >> m_outside;
  }
}

bool CInterface::Save(const CString& path) const {
  return RegWriteDWORD(path, "InterfaceType", m_kind) && RegWriteString(path, "InterfaceName", m_name) &&
         RegWriteString(path, "InterfaceIP", m_address);
}

void CInterface::Load(const CString& path) {
  m_kind = RegReadDWORD(path, "InterfaceType", INTERFACE_IP);
  m_name = RegReadString(path, "InterfaceName", "");
  m_address = RegReadString(path, "InterfaceIP", "");
}

const CString& CInterface::GetAddressText() {
  switch (m_kind) {
    case INTERFACE_IP: m_address = m_name; break;
    case INTERFACE_LOOPBACK: m_address = "127.0.0.1"; break;
    case INTERFACE_DIALUP: {
      CString addr;
      const DialupInfo d = GetDialupInfo();
      if (d.connectionAddress && d.connectionAddress(m_name, &addr)) m_address = addr;
      break;
    }
    default: break;
  }
  return m_address;
}

bool CInterface::IsAvailable() {
  if (m_kind != INTERFACE_DIALUP) return true;
  // A connection that is down keeps its last address.
  CString addr;
  const DialupInfo d = GetDialupInfo();
  if (!d.connectionAddress || !d.connectionAddress(m_name, &addr)) return false;
  m_address = addr;
  return true;
}

CSysInfo::CSysInfo() { m_interfaces.SetElementClass(TL_RUNTIME_CLASS(CInterface)); }

void CSysInfo::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << m_majorVersion << m_minorVersion << m_isNT << m_version;
  } else {
    ar >> m_majorVersion >> m_minorVersion >> m_isNT >> m_version;
  }
}

void CSysInfo::GetOSVersion() {
  // The kernel release "6.1.0-18-amd64" gives 6 and 1.
  utsname u{};
  m_majorVersion = m_minorVersion = 0;
  m_isNT = 1;
  if (uname(&u) != 0) return;
  unsigned major = 0, minor = 0;
  if (sscanf(u.release, "%u.%u", &major, &minor) >= 1) {
    m_majorVersion = major;
    m_minorVersion = minor;
  }
}

std::vector<LocalAddress> ReadLocalAddresses() {
  std::vector<LocalAddress> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    LocalAddress a;
    a.address = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    if (i->ifa_netmask && i->ifa_netmask->sa_family == AF_INET)
      a.netmask = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
    a.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
    if (i->ifa_name) a.device = i->ifa_name;
    if (a.address != 0) out.push_back(a);
  }
  freeifaddrs(list);
  return out;
}

void CSysInfo::GetLocalAddresses(std::vector<CString>& out) {
  for (const LocalAddress& a : ReadLocalAddresses())
    if (!a.loopback) out.push_back(FormatIPAddress(a.address));
}

CString CSysInfo::ReadComputerName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  CString s(name);
  size_t dot = s.find('.');
  if (dot != CString::npos) s.resize(dot);
  return s;
}
