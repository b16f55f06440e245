#include "engine/core/config/hostport.h"

#include "engine/core/config/reghelpers.h"

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
