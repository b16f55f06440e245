#pragma once
// A user account: password, traffic and on-line-time counters with charging rates and balances,
// account and password flags, and the settings and file of its audit.
//
// Counters are 64-bit here. Their registry values and archive fields are 32-bit and saturate at
// 0xFFFFFFFF instead of wrapping, so a user past 4 GiB reads as "at least 4 GiB" rather than as a
// small number.
//
// Archive form: the base's Name, Description; RealName; the scrambled Password (a counted string,
// so zero bytes of the scrambled form survive); ClientSendTraffic, ClientRecvTraffic,
// NonClientSendTraffic, NonClientRecvTraffic, TimeOnLine (u32 each, saturated); the seven
// currencies in the order of the members below, each in the currency archive form (status, high
// half, low half; currency.h); AccountEnabled, UserCannotChangePassword, UserMustChangePassword,
// AuditUser, AuditOptions (u32 each). A name that could not be a registry key is refused.
// Registry: the values of the same names ("Password" scrambled, as a length-exact string;
// currencies as <name>Hi/<name>Lo DWORDs) and "Type" = "User".
#include <cstdint>
#include <memory>

#include "engine/config/currency.h"
#include "engine/access/filter_component.h"

class CLogFile;

class CUser : public CFilterComponent {
  TL_DECLARE_SERIAL(CUser)

 public:
  // Audit line types (AuditOptions bits).
  enum AuditType : uint32_t {
    kAuditLoggedIn = 1,
    kAuditLoggedOut = 2,
    kAuditText = 4,
    kAuditFailedAuthorisation = 8,
    kAuditCreated = 16,
    kAuditRequested = 32,
    kAuditTraffic = 64,
    kAuditTerminated = 256,
  };

  CUser() = default;
  CUser(CString name, CString realName, CString password, CString description);
  // A copy (an editor's working copy) has no audit file; an assignment keeps the target's.
  CUser(const CUser&) = default;
  CUser& operator=(const CUser&) = default;
  ~CUser() override;

  // Byte-exact, case-sensitive comparison with Name.
  bool Includes(const CString& name) const override;
  const std::string* GetKeyName() const override { return &Name; }

  bool SaveToRegistry(const CString& key) const override;
  bool LoadFromRegistry(const CString& key) override;
  // The accounting values only (counters, opening and closing balance); saved every minute.
  virtual bool SaveAccounts(const CString& key) const;
  void Serialize(CArchive& ar) override;

  // ClosingBalance := OpeningBalance - the four traffic charges (rate per megabyte) - the time
  // charge (rate per hour), each truncated to 1/10000 as the amounts are. Results beyond the
  // currency range, or from amounts that are not valid, make ClosingBalance invalid.
  void UpdateBalance();

  // Opens today's audit file when AuditUser is set (closing any open one first); a file that
  // cannot be opened, or a name unfit for a file, turns AuditUser off.
  void OpenAuditFile();
  void CloseAuditFile();
  std::shared_ptr<CLogFile> GetAuditFile() const;

  // Writes one audit line when auditing is on, the type is in AuditOptions and the file is open;
  // true when it was handed on. For kAuditTraffic use AuditTraffic. Line breaks and other control
  // characters in the text become spaces, so a client cannot forge lines.
  bool Audit(uint32_t type, const CString& clientAddress, uint32_t sessionNumber, const CString& text = CString());
  bool AuditTraffic(const CString& clientAddress, uint32_t sessionNumber, uint64_t clientSend, uint64_t clientRecv,
                    uint64_t nonClientSend, uint64_t nonClientRecv, uint64_t seconds);
  // Whether a line of that type would be written now (auditing on, type in AuditOptions, file open).
  bool Audits(uint32_t type) const;

  CString RealName;
  CString Password;  // plain in memory
  uint64_t ClientSendTraffic = 0;
  uint64_t ClientRecvTraffic = 0;
  uint64_t NonClientSendTraffic = 0;
  uint64_t NonClientRecvTraffic = 0;
  uint64_t TimeOnLine = 0;  // seconds
  CCurrency ClientSendTrafficRate;  // per megabyte
  CCurrency ClientRecvTrafficRate;
  CCurrency NonClientSendTrafficRate;
  CCurrency NonClientRecvTrafficRate;
  CCurrency TimeRate;  // per hour
  CCurrency OpeningBalance;
  CCurrency ClosingBalance;
  uint32_t AccountEnabled = 1;
  uint32_t UserCannotChangePassword = 0;
  uint32_t UserMustChangePassword = 0;
  uint32_t AuditUser = 0;
  uint32_t AuditOptions = 0;

 private:
  bool Submit(uint32_t type, CString line);

  // The open audit file; never carried over by a copy.
  struct AuditFileHandle {
    AuditFileHandle() = default;
    AuditFileHandle(const AuditFileHandle&) {}
    AuditFileHandle& operator=(const AuditFileHandle&) { return *this; }
    std::shared_ptr<CLogFile> file;
  };
  AuditFileHandle m_audit;
};

// A 64-bit counter in a 32-bit field: saturates at 0xFFFFFFFF.
inline uint32_t SaturateToDWORD(uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }
