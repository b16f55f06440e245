#include "console/dialogs/netsvc/dhcp_editors.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "engine/netsvc/dhcp/dhcp_settings.h"

namespace {

// Codes 0-61. Codes that are not offered keep their names for display only; their types say how
// the server reads them, and none is edited here.
const DHCPOptionInfo kOptions[] = {
    {0, "DHCPOPT_PAD", DHCP_TYPE_OTHER, "DHCPOPT_PAD", false},
    {1, "Subnet mask", DHCP_TYPE_ADDRESS, "Subnet mask", false},
    {2, "Time offset", DHCP_TYPE_DWORD, "Time offset in UTC for client subnet", true},
    {3, "Router", DHCP_TYPE_ADDRESS_LIST, "Default gateway(s), in preference order", true},
    {4, "Time server", DHCP_TYPE_ADDRESS_LIST, "Time servers, in preference order", true},
    {5, "IEN116 name server", DHCP_TYPE_ADDRESS_LIST, "IEN116 name server, in preference order", true},
    {6, "DNS server", DHCP_TYPE_ADDRESS_LIST, "DNS servers, in preference order", true},
    {7, "Log server", DHCP_TYPE_ADDRESS_LIST, "Log servers, in preference order", true},
    {8, "Cookie server", DHCP_TYPE_ADDRESS_LIST, "Cookie servers, in preference order", true},
    {9, "LCS log server", DHCP_TYPE_ADDRESS_LIST, "LCS log servers, in preference order", true},
    {10, "Imagen Impress server", DHCP_TYPE_ADDRESS_LIST, "Imagen Impress servers, in preference order", true},
    {11, "RLP server", DHCP_TYPE_ADDRESS_LIST, "RLP servers, in preference order", true},
    {12, "Hostname", DHCP_TYPE_TEXT, "Client hostname", true},
    {13, "Boot image file size", DHCP_TYPE_WORD, "Boot image file size (512k blocks)", true},
    {14, "Merit dump file name", DHCP_TYPE_TEXT, "Merit dump file name", true},
    {15, "Domain name", DHCP_TYPE_TEXT, "Domain name", true},
    {16, "Swap server", DHCP_TYPE_ADDRESS, "Swap server", true},
    {17, "Root path", DHCP_TYPE_TEXT, "Root path", true},
    {18, "Extensions path", DHCP_TYPE_TEXT, "Extensions path", true},
    {19, "IP forwarding", DHCP_TYPE_FLAG, "Enable IP forwarding", true},
    {20, "Non-local source routing", DHCP_TYPE_FLAG, "Allow non-local source routing", true},
    {21, "Policy filter", DHCP_TYPE_OTHER, "Policy filter", false},
    {22, "Maximum Datagram size", DHCP_TYPE_WORD, "Maximum Datagram size", false},
    {23, "IP default TTL", DHCP_TYPE_BYTE, "IP default TTL", false},
    {24, "Path MTU timeout", DHCP_TYPE_DWORD, "Path MTU timeout", false},
    {25, "Path MTU plateau table", DHCP_TYPE_OTHER, "Path MTU plateau table", false},
    {26, "Interface MTU", DHCP_TYPE_WORD, "Interface MTU", false},
    {27, "All subnets are local", DHCP_TYPE_FLAG, "All subnets are local", true},
    {28, "Broadcast address", DHCP_TYPE_ADDRESS, "Broadcast address", true},
    {29, "Mask discovery", DHCP_TYPE_FLAG, "Perform mask discovery", true},
    {30, "Is mask supplier", DHCP_TYPE_FLAG, "Mask supplier", true},
    {31, "Router discovery", DHCP_TYPE_FLAG, "Perform router discovery", true},
    {32, "Router solicitation address", DHCP_TYPE_ADDRESS, "Router solicitation address", true},
    {33, "Static route", DHCP_TYPE_OTHER, "Static route", false},
    {34, "Use trailer encapsulation", DHCP_TYPE_FLAG, "Use trailer encapsulation", true},
    {35, "ARP cache timeout", DHCP_TYPE_DWORD, "ARP cache timeout", true},
    {36, "Ethernet framing", DHCP_TYPE_FLAG, "Use 802.3 ethernet framing", true},
    {37, "TCP default TTL", DHCP_TYPE_BYTE, "TCP default TTL", true},
    {38, "TCP keepalive interval", DHCP_TYPE_DWORD, "TCP keepalive interval", true},
    {39, "TCP keepalive garbage", DHCP_TYPE_FLAG, "Send garbage with TCP keepalive", true},
    {40, "NIS domain", DHCP_TYPE_TEXT, "NIS domain", true},
    {41, "NIS servers", DHCP_TYPE_ADDRESS_LIST, "NIS servers, in preference order", true},
    {42, "NTP servers", DHCP_TYPE_ADDRESS_LIST, "NTP servers, in preference order", true},
    {43, "Vendor info", DHCP_TYPE_OTHER, "Vendor info", false},
    {44, "WINS server", DHCP_TYPE_ADDRESS_LIST, "WINS/NBNS servers, in preference order", true},
    {45, "NBT datagram server", DHCP_TYPE_ADDRESS_LIST, "Netbios over TCP/IP datagram server (NBDD)", true},
    {46, "NBT node type", DHCP_TYPE_NODE_TYPE, "Netbios over TCP/IP node type", true},
    {47, "NBT scope", DHCP_TYPE_TEXT, "Netbios over TCP/IP scope", true},
    {48, "X Win font server", DHCP_TYPE_ADDRESS_LIST, "XWindows font server", true},
    {49, "X Win display manager", DHCP_TYPE_ADDRESS_LIST, "XWindows display manager", true},
    {50, "DHCPOPT_REQUESTEDIPADDRESS", DHCP_TYPE_ADDRESS, "DHCPOPT_REQUESTEDIPADDRESS", false},
    {51, "DHCPOPT_IPADDRESSLEASETIME", DHCP_TYPE_DWORD, "DHCPOPT_IPADDRESSLEASETIME", false},
    {52, "DHCPOPT_OPTIONOVERLOAD", DHCP_TYPE_BYTE, "DHCPOPT_OPTIONOVERLOAD", false},
    {53, "DHCPOPT_DHCPMESSAGETYPE", DHCP_TYPE_BYTE, "DHCPOPT_DHCPMESSAGETYPE", false},
    {54, "DHCPOPT_SERVERID", DHCP_TYPE_ADDRESS, "DHCPOPT_SERVERID", false},
    {55, "DHCPOPT_PARAMETERLISTREQUEST", DHCP_TYPE_OTHER, "DHCPOPT_PARAMETERLISTREQUEST", false},
    {56, "DHCPOPT_MESSAGE", DHCP_TYPE_TEXT, "DHCPOPT_MESSAGE", false},
    {57, "DHCPOPT_MAXDHCPMESSAGESIZE", DHCP_TYPE_WORD, "DHCPOPT_MAXDHCPMESSAGESIZE", false},
    {58, "DHCPOPT_RENEWALTIMEVALUE", DHCP_TYPE_DWORD, "DHCPOPT_RENEWALTIMEVALUE", false},
    {59, "DHCPOPT_REBINDINGTIMEVALUE", DHCP_TYPE_DWORD, "DHCPOPT_REBINDINGTIMEVALUE", false},
    {60, "DHCPOPT_CLASSID", DHCP_TYPE_TEXT, "DHCPOPT_CLASSID", false},
    {61, "DHCPOPT_CLIENTID", DHCP_TYPE_OTHER, "DHCPOPT_CLIENTID", false},
};
static_assert(sizeof kOptions / sizeof kOptions[0] == 62);

CString Trim(const CString& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// A dotted address, blanks around allowed.
std::optional<uint32_t> ParseAddress(const CString& text) {
  uint32_t a = 0;
  if (!TryParseIPAddress(Trim(text), &a)) return std::nullopt;
  return a;
}

bool ReadAddress(const CString& text, int control, uint32_t* out, FieldError* error) {
  if (auto a = ParseAddress(text)) {
    *out = *a;
    return true;
  }
  if (error) *error = {control, kTextEnterAddress};
  return false;
}

// An optional sign and decimal digits within the signed 32-bit range.
std::optional<int32_t> ParseSigned(const CString& text) {
  const CString t = Trim(text);
  size_t i = (!t.empty() && (t[0] == '-' || t[0] == '+')) ? 1 : 0;
  if (i >= t.size() || t.size() - i > 10) return std::nullopt;
  for (size_t k = i; k < t.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(t[k]))) return std::nullopt;
  const long long v = std::strtoll(t.c_str(), nullptr, 10);
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

void Say(Prompter& p, const char* title, const CString& text) { p.Message(title, text, EDITOR_MB_EXCLAMATION); }

}  // namespace

// ---- The option table -----------------------------------------------------------------------------

const DHCPOptionInfo* FindDHCPOptionInfo(uint8_t code) { return code < 62 ? &kOptions[code] : nullptr; }

CString DHCPOptionName(uint8_t code) {
  if (code == 255) return "DHCP_END";
  if (const DHCPOptionInfo* info = FindDHCPOptionInfo(code)) return info->name;
  return FormatString("Option %u", code);
}

std::vector<uint8_t> OfferedDHCPOptions() {
  std::vector<uint8_t> out;
  for (const DHCPOptionInfo& info : kOptions)
    if (info.offered) out.push_back(info.code);
  return out;
}

// ---- Byte forms ------------------------------------------------------------------------------------

std::vector<uint8_t> EncodeDHCPNumber(int type, uint32_t v) {
  switch (type) {
    case DHCP_TYPE_BYTE: return {static_cast<uint8_t>(v)};
    case DHCP_TYPE_WORD: return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    default:
      return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
              static_cast<uint8_t>(v)};
  }
}

std::vector<uint8_t> EncodeDHCPAddresses(const std::vector<uint32_t>& addresses) {
  std::vector<uint8_t> out;
  for (uint32_t a : addresses) {
    auto b = EncodeDHCPNumber(DHCP_TYPE_ADDRESS, a);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

std::optional<std::vector<uint8_t>> EncodeDHCPText(const CString& text) {
  if (text.size() > kDHCPMaxOptionData) return std::nullopt;
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::optional<std::vector<uint8_t>> EncodeDHCPAddressList(const std::vector<uint32_t>& addresses) {
  if (addresses.size() > kDHCPMaxAddresses) return std::nullopt;
  return EncodeDHCPAddresses(addresses);
}

std::optional<uint32_t> DecodeDHCPNumber(int type, const uint8_t* d, size_t n) {
  switch (type) {
    case DHCP_TYPE_FLAG:
    case DHCP_TYPE_BYTE:
    case DHCP_TYPE_NODE_TYPE:
      if (n != 1) return std::nullopt;
      return d[0];
    case DHCP_TYPE_WORD:
      if (n != 2) return std::nullopt;
      return static_cast<uint32_t>(d[0]) << 8 | d[1];
    case DHCP_TYPE_DWORD:
    case DHCP_TYPE_ADDRESS:
      if (n != 4) return std::nullopt;
      return static_cast<uint32_t>(d[0]) << 24 | static_cast<uint32_t>(d[1]) << 16 | static_cast<uint32_t>(d[2]) << 8 |
             d[3];
    default: return std::nullopt;
  }
}

std::optional<std::vector<uint32_t>> DecodeDHCPAddresses(const uint8_t* d, size_t n) {
  if (n % 4 != 0) return std::nullopt;
  std::vector<uint32_t> out;
  for (size_t i = 0; i < n; i += 4) out.push_back(*DecodeDHCPNumber(DHCP_TYPE_ADDRESS, d + i, 4));
  return out;
}

// ---- Texts ----------------------------------------------------------------------------------------

CString DHCPTextTooLongText(size_t bytes) {
  return FormatString("The text is %zu bytes long; a DHCP option holds at most %zu.", bytes, kDHCPMaxOptionData);
}

CString DHCPAlreadyReservedText(const CString& address) {
  return FormatString("The address %s is already reserved.", address.c_str());
}

std::optional<CString> NormaliseMacAddress(const CString& text) {
  const CString t = Trim(text);
  CString hex;
  char separator = 0;
  size_t group = 0;  // digits in the current group
  for (char c : t) {
    if (c == ':' || c == '-') {
      if (group != 2 || (separator && separator != c)) return std::nullopt;
      separator = c;
      group = 0;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ++group;
  }
  // Separated groups are pairs; without separators the digits pair up.
  // Six bytes for Ethernet; the request's hardware field holds up to sixteen.
  if (hex.size() < 12 || hex.size() % 2 != 0 || hex.size() > 32) return std::nullopt;
  if (separator && group != 2) return std::nullopt;
  return hex;
}

CString DHCPScopeOverlapText(const CIPRange& other) {
  return FormatString(
      "The range overlaps the scope %s:\nan address of both could be given to two clients.\n\nDo you wish to keep it?",
      DHCPRangeText(other).c_str());
}

CString DHCPExclusionOutsideText(const CIPRange& exclusion) {
  return FormatString(
      "The exclusion %s lies outside the scope's range:\nit excludes nothing.\n\nDo you wish to keep it?",
      DHCPRangeText(exclusion).c_str());
}

CString DHCPReservationOutsideText(const CString& address) {
  return FormatString(
      "The address %s lies in no scope's range:\nthe reservation is never given out.\n\nDo you wish to keep it?",
      address.c_str());
}

CString DHCPRangeText(const CIPRange& r) {
  if (r.EndAddress == 0) return FormatIPAddress(r.StartAddress);
  return FormatIPAddress(r.StartAddress) + " - " + FormatIPAddress(r.EndAddress);
}

// ---- Option editors -------------------------------------------------------------------------------

DHCPOptionEditorLogic::DHCPOptionEditorLogic(const CDHCPOption& o) : m_code(o.Code) {
  const DHCPOptionInfo* info = FindDHCPOptionInfo(o.Code);
  m_type = info ? info->type : DHCP_TYPE_OTHER;
  const uint8_t* d = o.Data;
  const size_t n = o.Length;
  switch (m_type) {
    case DHCP_TYPE_FLAG: flag = n >= 1 && d[0] != 0; break;
    case DHCP_TYPE_BYTE:
    case DHCP_TYPE_WORD:
    case DHCP_TYPE_DWORD:
      if (auto v = DecodeDHCPNumber(m_type, d, n))
        value = Signed() ? std::to_string(static_cast<int32_t>(*v)) : std::to_string(*v);
      break;
    case DHCP_TYPE_ADDRESS:
      if (auto v = DecodeDHCPNumber(m_type, d, n)) value = FormatIPAddress(*v);
      break;
    case DHCP_TYPE_ADDRESS_LIST:
      if (auto v = DecodeDHCPAddresses(d, n))
        for (uint32_t a : *v) list.push_back(FormatIPAddress(a));
      break;
    case DHCP_TYPE_TEXT:
      // Text from elsewhere may end in NULs; they are not part of what the operator sees.
      value.assign(reinterpret_cast<const char*>(d), n);
      value.erase(std::find(value.begin(), value.end(), '\0'), value.end());
      break;
    case DHCP_TYPE_NODE_TYPE:
      if (n == 1 && (d[0] == 1 || d[0] == 2 || d[0] == 4 || d[0] == 8)) nodeType = d[0];
      break;
    default: break;
  }
}

ControlStates DHCPOptionEditorLogic::States() const {
  ControlStates st;
  st[LIST_REMOVE].enabled = listSelected.has_value();
  st[LIST_UP].enabled = listSelected.has_value() && *listSelected > 0;
  st[LIST_DOWN].enabled = listSelected.has_value() && *listSelected + 1 < list.size();
  st[LIST_ADD].enabled = list.size() < kDHCPMaxAddresses;
  return st;
}

bool DHCPOptionEditorLogic::AddAddress(Prompter& prompter) {
  if (list.size() >= kDHCPMaxAddresses) {
    Say(prompter, kTitleEditDHCPOption, kTextTooManyAddresses);
    return false;
  }
  auto a = ParseAddress(listEdit);
  if (!a) {
    Say(prompter, kTitleEditDHCPOption, kTextEnterAddress);
    return false;
  }
  list.push_back(FormatIPAddress(*a));
  listEdit.clear();
  listSelected = list.size() - 1;
  return true;
}

void DHCPOptionEditorLogic::RemoveAddress() {
  if (!listSelected || *listSelected >= list.size()) return;
  listEdit = list[*listSelected];
  list.erase(list.begin() + static_cast<std::ptrdiff_t>(*listSelected));
  if (list.empty())
    listSelected.reset();
  else
    listSelected = std::min(*listSelected, list.size() - 1);
}

void DHCPOptionEditorLogic::MoveAddress(bool up) {
  if (!listSelected || *listSelected >= list.size()) return;
  const size_t i = *listSelected;
  if (up && i > 0) {
    std::swap(list[i], list[i - 1]);
    listSelected = i - 1;
  } else if (!up && i + 1 < list.size()) {
    std::swap(list[i], list[i + 1]);
    listSelected = i + 1;
  }
}

bool DHCPOptionEditorLogic::Validate(Prompter& prompter, FieldError* error) {
  switch (m_type) {
    case DHCP_TYPE_FLAG: m_bytes = {static_cast<uint8_t>(flag ? 1 : 0)}; return true;
    case DHCP_TYPE_BYTE:
    case DHCP_TYPE_WORD:
    case DHCP_TYPE_DWORD: {
      if (Signed()) {
        auto v = ParseSigned(value);
        if (!v) {
          if (error) *error = {VALUE, kTextEnterSignedInteger};
          return false;
        }
        m_bytes = EncodeDHCPNumber(m_type, static_cast<uint32_t>(*v));
        return true;
      }
      const uint64_t max = m_type == DHCP_TYPE_BYTE ? 0xFF : m_type == DHCP_TYPE_WORD ? 0xFFFF : 0xFFFFFFFFu;
      uint64_t v = 0;
      if (!ReadUnsigned(value, VALUE, 0, max, &v, error)) return false;
      m_bytes = EncodeDHCPNumber(m_type, static_cast<uint32_t>(v));
      return true;
    }
    case DHCP_TYPE_ADDRESS: {
      uint32_t a = 0;
      if (!ReadAddress(value, VALUE, &a, error)) return false;
      m_bytes = EncodeDHCPNumber(m_type, a);
      return true;
    }
    case DHCP_TYPE_ADDRESS_LIST: {
      if (list.empty()) {
        Say(prompter, kTitleEditDHCPOption, kTextNoAddresses);
        return false;
      }
      std::vector<uint32_t> addresses;
      for (const CString& text : list) {
        auto a = ParseAddress(text);
        if (!a) {
          Say(prompter, kTitleEditDHCPOption, kTextEnterAddress);
          return false;
        }
        addresses.push_back(*a);
      }
      auto bytes = EncodeDHCPAddressList(addresses);
      if (!bytes) {
        Say(prompter, kTitleEditDHCPOption, kTextTooManyAddresses);
        return false;
      }
      m_bytes = std::move(*bytes);
      return true;
    }
    case DHCP_TYPE_TEXT: {
      if (value.empty()) {
        if (error) *error = {VALUE, kTextEnterText};
        return false;
      }
      auto bytes = EncodeDHCPText(value);
      if (!bytes) {
        // Refused rather than cut: a cut name or path would be a wrong one.
        Say(prompter, kTitleEditDHCPOption, DHCPTextTooLongText(value.size()));
        return false;
      }
      m_bytes = std::move(*bytes);
      return true;
    }
    case DHCP_TYPE_NODE_TYPE:
      if (nodeType != 1 && nodeType != 2 && nodeType != 4 && nodeType != 8) {
        Say(prompter, kTitleEditDHCPOption, kTextChooseNodeType);
        return false;
      }
      m_bytes = {nodeType};
      return true;
    default: return false;
  }
}

void DHCPOptionEditorLogic::Apply(CDHCPOption& option) const {
  option.Code = m_code;
  option.SetData(m_bytes.data(), m_bytes.size());
}

// ---- "DHCP Options" --------------------------------------------------------------------------------

DHCPOptionsLogic::DHCPOptionsLogic(CDHCPOptionsContainer& options) : m_options(options) {}

std::vector<uint8_t> DHCPOptionsLogic::Available() const {
  std::vector<uint8_t> out;
  for (uint8_t code : OfferedDHCPOptions())
    if (!m_options.GetOption(code)) out.push_back(code);
  return out;
}

std::vector<uint8_t> DHCPOptionsLogic::InUse() const {
  std::vector<uint8_t> out;
  for (uint8_t code : OfferedDHCPOptions())
    if (m_options.GetOption(code)) out.push_back(code);
  return out;
}

CString DHCPOptionsLogic::Description(uint8_t code) {
  if (code == 255) return "DHCP_END";
  const DHCPOptionInfo* info = FindDHCPOptionInfo(code);
  return info ? info->description : CString();
}

bool DHCPOptionsLogic::Add(uint8_t code, DHCPDialogs& dialogs) {
  const DHCPOptionInfo* info = FindDHCPOptionInfo(code);
  if (!info || !info->offered || m_options.GetOption(code)) return false;
  CDHCPOption option;
  option.Code = code;
  if (info->type <= DHCP_TYPE_NODE_TYPE && !dialogs.EditOption(option)) return false;
  m_options.SetOption(option);
  return true;
}

bool DHCPOptionsLogic::Remove(uint8_t code) {
  const DHCPOptionInfo* info = FindDHCPOptionInfo(code);
  return info && info->offered && m_options.RemoveOption(code);
}

bool DHCPOptionsLogic::Edit(uint8_t code, DHCPDialogs& dialogs) {
  const DHCPOptionInfo* info = FindDHCPOptionInfo(code);
  auto option = m_options.GetOption(code);
  if (!info || !info->offered || !option || info->type > DHCP_TYPE_NODE_TYPE) return false;
  if (!dialogs.EditOption(*option)) return false;
  m_options.SetOption(*option);
  return true;
}

// ---- "Scope Properties" ----------------------------------------------------------------------------

void ScopeDialogLogic::Load(const CDHCPScope& scope, std::vector<CIPRange> others) {
  m_others = std::move(others);
  CLockGuard g(scope);
  description = scope.Description;
  enabled = scope.Enabled != 0;
  from = scope.InclusionRange.StartAddress ? FormatIPAddress(scope.InclusionRange.StartAddress) : CString();
  to = scope.InclusionRange.Last() ? FormatIPAddress(scope.InclusionRange.Last()) : CString();
  mask = FormatIPAddress(scope.NetMask);
  days = std::to_string(scope.LeaseDuration / 86400);
  hours = std::to_string(scope.LeaseDuration % 86400 / 3600);
  minutes = std::to_string(scope.LeaseDuration % 3600 / 60);
  m_exclusions = scope.GetExclusions();
  m_options.CopyFrom(scope.Options);
  exclusionSelected.reset();
}

ControlStates ScopeDialogLogic::States() const {
  ControlStates st;
  st[EXCLUDE_REMOVE].enabled = exclusionSelected.has_value();
  return st;
}

std::vector<CString> ScopeDialogLogic::ExclusionRows() const {
  std::vector<CString> rows;
  for (const CIPRange& r : m_exclusions) rows.push_back(DHCPRangeText(r));
  return rows;
}

bool ScopeDialogLogic::AddExclusion(Prompter& prompter, FieldError* error) {
  uint32_t start = 0, end = 0;
  if (!ReadAddress(excludeFrom, EXCLUDE_FROM, &start, error)) return false;
  if (!Trim(excludeTo).empty() && !ReadAddress(excludeTo, EXCLUDE_TO, &end, error)) return false;
  if (end != 0 && end < start) {
    Say(prompter, kTitleScopeProperties, kTextExclusionOrder);
    return false;
  }
  // A range of one address is kept in the server's own form: its end is 0.
  m_exclusions.emplace_back(start, end == start ? 0 : end);
  excludeFrom.clear();
  excludeTo.clear();
  exclusionSelected = m_exclusions.size() - 1;
  return true;
}

void ScopeDialogLogic::RemoveExclusion() {
  if (!exclusionSelected || *exclusionSelected >= m_exclusions.size()) return;
  const CIPRange r = m_exclusions[*exclusionSelected];
  excludeFrom = FormatIPAddress(r.StartAddress);
  excludeTo = r.EndAddress ? FormatIPAddress(r.EndAddress) : CString();
  m_exclusions.erase(m_exclusions.begin() + static_cast<std::ptrdiff_t>(*exclusionSelected));
  exclusionSelected.reset();
}

bool ScopeDialogLogic::EditOptions(DHCPDialogs& dialogs) {
  CDHCPOptionsContainer copy(m_options);
  if (!dialogs.EditOptions(copy)) return false;
  m_options.CopyFrom(copy);
  return true;
}

bool ScopeDialogLogic::Validate(Prompter& prompter, FieldError* error) {
  uint32_t start = 0, end = 0, m = 0;
  uint64_t d = 0, h = 0, mi = 0;
  if (!ReadAddress(from, FROM, &start, error) || !ReadAddress(to, TO, &end, error) ||
      !ReadAddress(mask, MASK, &m, error) || !ReadUnsigned(days, DAYS, 0, 60, &d, error) ||
      !ReadUnsigned(hours, HOURS, 0, 23, &h, error) || !ReadUnsigned(minutes, MINUTES, 0, 59, &mi, error))
    return false;
  const uint32_t hostBits = ~m;
  // A mask with a hole would put one range in several networks at once.
  if (m == 0 || (hostBits & (hostBits + 1)) != 0) {
    Say(prompter, kTitleScopeProperties, kTextBadMask);
    return false;
  }
  if (start > end) {
    Say(prompter, kTitleScopeProperties, kTextRangeOrder);
    return false;
  }
  // The server hands out addresses of the range to clients of the range's network only.
  if ((start & m) != (end & m)) {
    Say(prompter, kTitleScopeProperties, kTextRangeOutsideMask);
    return false;
  }
  const uint32_t lease = static_cast<uint32_t>(d * 86400 + h * 3600 + mi * 60);
  if (lease == 0) {
    Say(prompter, kTitleScopeProperties, kTextZeroLease);
    return false;
  }
  // Kept on the operator's word only: the server would give an address of two scopes to two
  // clients, and an exclusion outside the range has nothing to exclude.
  constexpr uint32_t kAsk = EDITOR_MB_EXCLAMATION | EDITOR_MB_DEFAULT_NO;
  for (const CIPRange& r : m_others)
    if (r.StartAddress <= end && start <= r.Last() &&
        !prompter.AskYesNo(kTitleScopeProperties, DHCPScopeOverlapText(r), kAsk))
      return false;
  for (const CIPRange& r : m_exclusions)
    if ((r.StartAddress < start || r.Last() > end) &&
        !prompter.AskYesNo(kTitleScopeProperties, DHCPExclusionOutsideText(r), kAsk))
      return false;
  m_start = start;
  m_end = end;
  m_mask = m;
  m_lease = lease;
  return true;
}

void ScopeDialogLogic::Apply(CDHCPScope& scope) const {
  {
    CLockGuard g(scope);
    scope.Enabled = enabled ? 1 : 0;
    scope.InclusionRange = CIPRange(m_start, m_end);
    scope.NetMask = m_mask;
    scope.LeaseDuration = m_lease;
    scope.Description = description;
  }
  scope.SetExclusions(m_exclusions);
  scope.Options.CopyFrom(m_options);
}

// ---- "Reservation" ----------------------------------------------------------------------------------

void ReservationDialogLogic::Load(const CDHCPReservation& r, std::vector<CString> taken, std::vector<CIPRange> scopes) {
  m_scopes = std::move(scopes);
  CLockGuard g(r);
  address = r.IPAddress;
  match = r.MatchData;
  matchOn = r.MatchOn;
  m_options.CopyFrom(r.Options);
  m_taken = std::move(taken);
}

bool ReservationDialogLogic::EditOptions(DHCPDialogs& dialogs) {
  CDHCPOptionsContainer copy(m_options);
  if (!dialogs.EditOptions(copy)) return false;
  m_options.CopyFrom(copy);
  return true;
}

bool ReservationDialogLogic::Validate(Prompter& prompter, FieldError* error) {
  // The address is the reservation's key: empty text would make a key with no name.
  if (Trim(address).empty()) {
    if (error) *error = {ADDRESS, kTextReservedAddressRequired};
    return false;
  }
  uint32_t a = 0;
  if (!ReadAddress(address, ADDRESS, &a, error)) return false;
  const CString canonical = FormatIPAddress(a);
  // Reservations are keyed by address: a second one would silently replace the first.
  if (std::find(m_taken.begin(), m_taken.end(), canonical) != m_taken.end()) {
    Say(prompter, kTitleReservation, DHCPAlreadyReservedText(canonical));
    return false;
  }
  const CString text = Trim(match);
  if (text.empty()) {
    if (error) *error = {MATCH, kTextMatchRequired};
    return false;
  }
  CString stored = text;
  if (matchOn == CDHCPReservation::MATCH_HARDWARE_ADDRESS) {
    // The server compares the hardware address as upper-case digit pairs without separators.
    auto mac = NormaliseMacAddress(text);
    if (!mac) {
      if (error) *error = {MATCH, kTextBadMac};
      return false;
    }
    stored = *mac;
  }
  // The server gives a reserved address out of a scope's range only.
  const bool inScope = std::any_of(m_scopes.begin(), m_scopes.end(), [a](const CIPRange& r) { return r.Contains(a); });
  if (!inScope && !prompter.AskYesNo(kTitleReservation, DHCPReservationOutsideText(canonical),
                                     EDITOR_MB_EXCLAMATION | EDITOR_MB_DEFAULT_NO))
    return false;
  m_address = canonical;
  m_match = stored;
  return true;
}

void ReservationDialogLogic::Apply(CDHCPReservation& r) const {
  {
    CLockGuard g(r);
    r.IPAddress = m_address;
    r.MatchData = m_match;
    r.MatchOn = matchOn;
  }
  r.Options.CopyFrom(m_options);
}
