#pragma once
// The archived record of one client machine: what the engine tells the consoles about a machine
// (notifications 71 and 72) and what a console holds of it. Configuration side, so a console reads
// the very bytes the engine's machine table writes without linking the engine's runtime.
//
// Archive form: address, user name (strings), security level (u32), created (u32 seconds since
// 1970, unsigned), identified-by-DHCP (u32), computer name, hardware address (strings).
// A load reads the whole record before it changes anything; the level is clamped to 0..3 and the
// DHCP flag to 0 or 1.
#include <cstdint>

#include "engine/config/archive.h"
#include "engine/config/object.h"

class CMachineRecord : public CObject {
  TL_DECLARE_DYNAMIC(CMachineRecord)

 public:
  CMachineRecord() = default;

  void Serialize(CArchive& ar) override;

  CString Address;
  CString UserName = "Guest";
  uint32_t SecurityLevel = 0;
  uint32_t Created = 0;  // seconds since 1970
  uint32_t IdentifiedByDHCP = 0;
  CString ComputerName;
  CString HardwareAddress;
};
