#include "engine/access/user.h"

#include <cinttypes>

#include "engine/config/log_file.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

TL_IMPLEMENT_SERIAL(CUser, CFilterComponent, 1)

namespace {

// The currencies in their stored order, with their registry names.
struct CurrencyField {
  CCurrency CUser::*member;
  const char* name;
};
constexpr CurrencyField kRates[] = {
    {&CUser::ClientSendTrafficRate, "ClientSendTrafficRate"},
    {&CUser::ClientRecvTrafficRate, "ClientRecvTrafficRate"},
    {&CUser::NonClientSendTrafficRate, "NonClientSendTrafficRate"},
    {&CUser::NonClientRecvTrafficRate, "NonClientRecvTrafficRate"},
    {&CUser::TimeRate, "TimeRate"},
};
constexpr CurrencyField kBalances[] = {
    {&CUser::OpeningBalance, "OpeningBalance"},
    {&CUser::ClosingBalance, "ClosingBalance"},
};

struct CounterField {
  uint64_t CUser::*member;
  const char* name;
};
constexpr CounterField kCounters[] = {
    {&CUser::ClientSendTraffic, "ClientSendTraffic"},
    {&CUser::ClientRecvTraffic, "ClientRecvTraffic"},
    {&CUser::NonClientSendTraffic, "NonClientSendTraffic"},
    {&CUser::NonClientRecvTraffic, "NonClientRecvTraffic"},
    {&CUser::TimeOnLine, "TimeOnLine"},
};

struct FlagField {
  uint32_t CUser::*member;
  const char* name;
  uint32_t def;
};
constexpr FlagField kFlags[] = {
    {&CUser::AccountEnabled, "AccountEnabled", 1},
    {&CUser::UserCannotChangePassword, "UserCannotChangePassword", 0},
    {&CUser::UserMustChangePassword, "UserMustChangePassword", 0},
    {&CUser::AuditUser, "AuditUser", 0},
    {&CUser::AuditOptions, "AuditOptions", 0},
};

// rate x (count x 10000 / unit, truncated) / 10000, truncated: the charge for a counter at a rate
// per unit (1048576 bytes or 3600 seconds), in 1/10000 currency units. 128-bit, so no product
// can overflow before the result is checked.
__int128 Charge(const CCurrency& rate, uint64_t count, uint64_t unit) {
  const __int128 units = static_cast<__int128>(count) * CCurrency::kScale / unit;
  return static_cast<__int128>(rate.m_cur) * units / CCurrency::kScale;
}

CString OneLine(const CString& text) {
  CString out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') c = ' ';
  }
  return out;
}

}  // namespace

CUser::CUser(CString name, CString realName, CString password, CString description)
    : CFilterComponent(std::move(name), std::move(description)),
      RealName(std::move(realName)),
      Password(std::move(password)) {}

CUser::~CUser() = default;

bool CUser::Includes(const CString& name) const {
  CLockGuard guard(*this);
  return name == Name;
}

bool CUser::SaveToRegistry(const CString& key) const {
  CLockGuard guard(*this);
  RegBatch batch;
  bool ok = CFilterComponent::SaveToRegistry(key);
  ok &= RegWriteString(key, "Type", "User");
  ok &= RegWriteString(key, "RealName", RealName);
  CString scrambled = Password;
  ScrambleString(scrambled);
  ok &= RegWriteString(key, "Password", scrambled);
  ok &= SaveAccounts(key);
  for (const auto& f : kRates) ok &= (this->*f.member).WriteToRegistry(key, f.name);
  for (const auto& f : kFlags) ok &= RegWriteDWORD(key, f.name, this->*f.member);
  return ok;
}

bool CUser::SaveAccounts(const CString& key) const {
  CLockGuard guard(*this);
  RegBatch batch;
  bool ok = true;
  for (const auto& f : kCounters) ok &= RegWriteDWORD(key, f.name, SaturateToDWORD(this->*f.member));
  for (const auto& f : kBalances) ok &= (this->*f.member).WriteToRegistry(key, f.name);
  return ok;
}

bool CUser::LoadFromRegistry(const CString& key) {
  CLockGuard guard(*this);
  CFilterComponent::LoadFromRegistry(key);
  RealName = RegReadString(key, "RealName", "");
  Password = RegReadString(key, "Password", "");
  ScrambleString(Password);
  for (const auto& f : kCounters) this->*f.member = RegReadDWORD(key, f.name, 0);
  for (const auto& f : kRates) (this->*f.member).ReadFromRegistry(key, f.name);
  for (const auto& f : kBalances) (this->*f.member).ReadFromRegistry(key, f.name);
  for (const auto& f : kFlags) this->*f.member = RegReadDWORD(key, f.name, f.def);
  return true;
}

void CUser::Serialize(CArchive& ar) {
  CLockGuard guard(*this);
  if (ar.IsStoring()) {
    CFilterComponent::Serialize(ar);
    CString scrambled = Password;
    ScrambleString(scrambled);
    ar << RealName << scrambled;
    for (const auto& f : kCounters) ar << SaturateToDWORD(this->*f.member);
    for (const auto& f : kRates) (this->*f.member).Serialize(ar);
    for (const auto& f : kBalances) (this->*f.member).Serialize(ar);
    for (const auto& f : kFlags) ar << this->*f.member;
    return;
  }
  // Read everything first, so a stream that breaks off changes nothing.
  CUser in;
  in.CFilterComponent::Serialize(ar);
  if (!IsValidObjectName(in.Name)) {
    throw CArchiveException(CArchiveException::badLength, "user name unfit for a key: \"" + in.Name + "\"");
  }
  ar >> in.RealName >> in.Password;
  ScrambleString(in.Password);
  for (const auto& f : kCounters) {
    uint32_t v = 0;
    ar >> v;
    in.*f.member = v;
  }
  for (const auto& f : kRates) (in.*f.member).Serialize(ar);
  for (const auto& f : kBalances) (in.*f.member).Serialize(ar);
  for (const auto& f : kFlags) ar >> in.*f.member;
  *this = in;  // keeps this user's audit file
}

void CUser::UpdateBalance() {
  CLockGuard guard(*this);
  const CCurrency* amounts[] = {&ClientSendTrafficRate, &ClientRecvTrafficRate, &NonClientSendTrafficRate,
                                &NonClientRecvTrafficRate, &TimeRate, &OpeningBalance};
  for (const CCurrency* c : amounts) {
    if (!c->IsValid()) {
      ClosingBalance = CCurrency::Invalid();
      return;
    }
  }
  constexpr uint64_t kMegabyte = 1048576, kHour = 3600;
  const __int128 charges = Charge(ClientSendTrafficRate, ClientSendTraffic, kMegabyte) +
                           Charge(ClientRecvTrafficRate, ClientRecvTraffic, kMegabyte) +
                           Charge(NonClientSendTrafficRate, NonClientSendTraffic, kMegabyte) +
                           Charge(NonClientRecvTrafficRate, NonClientRecvTraffic, kMegabyte) +
                           Charge(TimeRate, TimeOnLine, kHour);
  const __int128 closing = static_cast<__int128>(OpeningBalance.m_cur) - charges;
  if (closing > INT64_MAX || closing < INT64_MIN) {
    ClosingBalance = CCurrency::Invalid();
  } else {
    ClosingBalance = CCurrency::FromUnits(static_cast<int64_t>(closing));
  }
}

void CUser::OpenAuditFile() {
  CLockGuard guard(*this);
  m_audit.file.reset();
  if (!AuditUser) return;
  try {
    // The name becomes a file name: one that could leave the audit folder is not used at all.
    if (IsValidObjectName(Name) && Name != "." && Name != "..") {
      m_audit.file = CLogFile::Open(kAuditDirectoryValue, kAuditDirectoryDefault, Name);
    }
  } catch (...) {
    m_audit.file.reset();
  }
  if (!m_audit.file) AuditUser = 0;
}

void CUser::CloseAuditFile() {
  CLockGuard guard(*this);
  m_audit.file.reset();
}

std::shared_ptr<CLogFile> CUser::GetAuditFile() const {
  CLockGuard guard(*this);
  return m_audit.file;
}

bool CUser::Submit(uint32_t type, CString line) {
  std::shared_ptr<CLogFile> file;
  {
    CLockGuard guard(*this);
    if (!AuditUser || (AuditOptions & type) == 0 || !m_audit.file) return false;
    file = m_audit.file;
  }
  SubmitLogLine(file, std::move(line));
  return true;
}

bool CUser::Audits(uint32_t type) const {
  CLockGuard guard(*this);
  return AuditUser && (AuditOptions & type) != 0 && m_audit.file;
}

bool CUser::Audit(uint32_t type, const CString& clientAddress, uint32_t sessionNumber, const CString& text) {
  // Every session asks for several lines; most users audit few of them or none, and the time stamp
  // alone costs more than the question.
  if (!Audits(type)) return false;
  const CString head = LogTimeStamp() + "\t" + OneLine(clientAddress) + "\t" + FormatString("%010u", sessionNumber) + "\t";
  const CString t = OneLine(text);
  CString line;
  switch (type) {
    case kAuditLoggedIn: line = head + "Logged in\r\n"; break;
    case kAuditLoggedOut: line = head + "Logged out\r\n"; break;
    case kAuditText: line = head + t + "\r\n"; break;
    case kAuditFailedAuthorisation: line = head + "Failed authorisation:\t" + t + "\r\n"; break;
    case kAuditCreated: line = head + "Created\t" + t + "\r\n"; break;
    case kAuditRequested: line = head + "Requested\t" + t + "\r\n"; break;
    case kAuditTerminated: line = head + "Terminated " + t + "\r\n"; break;
    default: return false;  // traffic has its own numbers; unknown types write nothing
  }
  return Submit(type, std::move(line));
}

bool CUser::AuditTraffic(const CString& clientAddress, uint32_t sessionNumber, uint64_t clientSend,
                         uint64_t clientRecv, uint64_t nonClientSend, uint64_t nonClientRecv, uint64_t seconds) {
  if (!Audits(kAuditTraffic)) return false;
  CString line = LogTimeStamp() + "\t" + OneLine(clientAddress) + "\t" + FormatString("%010u", sessionNumber) +
                 FormatString("\tTraffic\t %" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "s\r\n",
                              clientSend, clientRecv, nonClientSend, nonClientRecv, seconds);
  return Submit(kAuditTraffic, std::move(line));
}
