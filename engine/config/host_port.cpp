#include "engine/config/host_port.h"

#include "engine/config/reg_helpers.h"

TL_IMPLEMENT_DYNAMIC(CHostPort, CObject)

bool CHostPort::Save(const CString& path) {
  RegBatch batch;
  bool ok = RegWriteString(path, "Host", Host);
  ok = RegWriteDWORD(path, "Port", Port) && ok;
  return ok;
}

void CHostPort::Load(const CString& path) {
  Host = RegReadString(path, "Host", "");
  Port = RegReadDWORD(path, "Port", 0);
}
