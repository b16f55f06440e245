#include "engine/core/machine_record.h"

#include "engine/access/right.h"

TL_IMPLEMENT_DYNAMIC(CMachineRecord, CObject)

void CMachineRecord::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << Address << UserName << SecurityLevel << Created << IdentifiedByDHCP << ComputerName << HardwareAddress;
    return;
  }
  // Read whole before anything is applied: a short record leaves this one as it was.
  CString address, user, computer, hardware;
  uint32_t level = 0, created = 0, dhcp = 0;
  ar >> address >> user >> level >> created >> dhcp >> computer >> hardware;
  Address = address;
  UserName = user;
  SecurityLevel = ClampSecurityLevel(level);
  Created = created;
  IdentifiedByDHCP = dhcp != 0 ? 1 : 0;
  ComputerName = computer;
  HardwareAddress = hardware;
}
