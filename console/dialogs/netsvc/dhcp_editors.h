#pragma once
// The DHCP server's editors without a toolkit: the option table the console knows (names, data
// types, descriptions), the byte forms of each option type, the option-type editors, the options
// dialog (available / in use), the Scope Properties and Reservation dialogs. The service sheet's
// DHCP Mode and DHCP Settings pages, which open them, are the sheet's (dialogs/core/dhcp_pages.h).
//
// Everything edits copies. The Settings page holds a clone of the service's database made by an
// archive round trip, so it has no address host: the database's lease side effects (a reserved
// lease for a new reservation, leases dropped with a scope) never run in the console. The clone
// goes back into the service's own clone at the sheet's OK, and reaches the engine with the
// service (34 or 32); nothing is sent from here.
//
// Threads: the user-interface thread only.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "console/dialogs/common/editor.h"
#include "engine/netsvc/dhcp/dhcp_database.h"

// ---- The option table -----------------------------------------------------------------------------

// An option's data type, which picks its editor and its byte form.
enum : int {
  DHCP_TYPE_FLAG = 0,          // one byte, 0 or 1
  DHCP_TYPE_BYTE = 1,          // 8-bit number
  DHCP_TYPE_WORD = 2,          // 16-bit number, network order
  DHCP_TYPE_DWORD = 3,         // 32-bit number, network order
  DHCP_TYPE_ADDRESS = 4,       // one IPv4 address, network order
  DHCP_TYPE_ADDRESS_LIST = 5,  // IPv4 addresses in order, 4 bytes each
  DHCP_TYPE_TEXT = 6,          // text bytes, no terminating NUL (options carry their length)
  DHCP_TYPE_NODE_TYPE = 7,     // one byte 1, 2, 4 or 8
  DHCP_TYPE_OTHER = 8,         // no editor
};

struct DHCPOptionInfo {
  uint8_t code;
  const char* name;
  int type;
  const char* description;
  bool offered;  // listed in the options dialog
};

// The entry of a code, or null for a code the console does not know (62-254).
const DHCPOptionInfo* FindDHCPOptionInfo(uint8_t code);
// The name shown for a code ("DHCP_END" for 255, "Option %u" for an unknown one).
CString DHCPOptionName(uint8_t code);
// The offered codes in code order.
std::vector<uint8_t> OfferedDHCPOptions();

// ---- Byte forms ------------------------------------------------------------------------------------

// The most one option carries: what the server's option record holds, and so what its packet
// writer can ever be given.
inline constexpr size_t kDHCPMaxOptionData = CDHCPOption::kMaxData;
inline constexpr size_t kDHCPMaxAddresses = kDHCPMaxOptionData / 4;

std::vector<uint8_t> EncodeDHCPNumber(int type, uint32_t value);  // 1, 2 or 4 bytes
std::vector<uint8_t> EncodeDHCPAddresses(const std::vector<uint32_t>& addresses);
// Empty when the text is longer than an option carries.
std::optional<std::vector<uint8_t>> EncodeDHCPText(const CString& text);
std::optional<std::vector<uint8_t>> EncodeDHCPAddressList(const std::vector<uint32_t>& addresses);

// The other way, checking the length the type needs; empty for data of the wrong length.
std::optional<uint32_t> DecodeDHCPNumber(int type, const uint8_t* data, size_t length);
std::optional<std::vector<uint32_t>> DecodeDHCPAddresses(const uint8_t* data, size_t length);

// ---- Sub-dialogs ----------------------------------------------------------------------------------

// The dialogs the DHCP editors open on one another. Each gets the object to edit (a copy owned
// by the caller) and returns true for OK, when it has written its values into it; Cancel leaves
// it as it was. The Qt program opens modal windows; tests script them.
class DHCPDialogs {
 public:
  virtual ~DHCPDialogs() = default;
  virtual bool EditOption(CDHCPOption& option) = 0;
  virtual bool EditOptions(CDHCPOptionsContainer& options) = 0;
  // others: the ranges of the configuration's other scopes.
  virtual bool EditScope(CDHCPScope& scope, const std::vector<CIPRange>& others) = 0;
  // taken: the addresses other reservations hold; scopes: the ranges of every scope.
  virtual bool EditReservation(CDHCPReservation& reservation, const std::vector<CString>& taken,
                               const std::vector<CIPRange>& scopes) = 0;
};

// ---- Texts ----------------------------------------------------------------------------------------

inline constexpr const char* kTitleEditDHCPOption = "Edit DHCP Option";
inline constexpr const char* kTitleDHCPOptions = "DHCP Options";
inline constexpr const char* kTitleScopeProperties = "Scope Properties";
inline constexpr const char* kTitleReservation = "Reservation";
inline constexpr const char* kTextEnterAddress = "Please enter an IP address such as 192.168.0.1.";
inline constexpr const char* kTextTooManyAddresses = "A DHCP option holds at most 63 addresses.";
// "The text is %u bytes long; a DHCP option holds at most 252."
CString DHCPTextTooLongText(size_t bytes);
inline constexpr const char* kTextNoAddresses = "Please add at least one address.";
inline constexpr const char* kTextEnterText = "Please enter the option's text.";
inline constexpr const char* kTextChooseNodeType = "Please choose a node type.";
inline constexpr const char* kTextEnterSignedInteger = "Please enter an integer between -2147483648 and 2147483647.";
inline constexpr const char* kTextRangeOrder = "The first address of the range must not be above the last.";
inline constexpr const char* kTextRangeOutsideMask = "The range must lie within one network of the network mask.";
inline constexpr const char* kTextBadMask =
    "The network mask must be a run of ones followed by zeros, such as 255.255.255.0.";
inline constexpr const char* kTextZeroLease = "The lease must last at least one minute.";
inline constexpr const char* kTextExclusionOrder = "The first excluded address must not be above the last.";
inline constexpr const char* kTextReservedAddressRequired = "You must enter the IP address that is reserved.";
// "The address %s is already reserved."
CString DHCPAlreadyReservedText(const CString& address);
// The questions before a configuration that does nothing, or hands out one address twice, is kept.
CString DHCPScopeOverlapText(const CIPRange& other);
CString DHCPExclusionOutsideText(const CIPRange& exclusion);
CString DHCPReservationOutsideText(const CString& address);
inline constexpr const char* kTextMatchRequired = "You must enter the computer name or MAC address it is reserved for.";
inline constexpr const char* kTextBadMac =
    "Please enter the MAC address as pairs of hexadecimal digits, such as 00-11-22-33-44-55.";

// "00:11:22:aa:bb:cc", "00-11-22-AA-BB-CC" or "001122aabbcc" -> "001122AABBCC", the form the
// server compares; empty for anything else (odd digits, mixed groups, more than 16 bytes).
std::optional<CString> NormaliseMacAddress(const CString& text);
// "a.b.c.d - e.f.g.h", or the start alone for a range of one address.
CString DHCPRangeText(const CIPRange& range);

// ---- Option editors ("Edit DHCP Option") -----------------------------------------------------------

class DHCPOptionEditorLogic {
 public:
  // Control ids of the five editors.
  enum : int {
    NAME = 1500,
    FLAG = 1501,   // type 0
    VALUE = 1502,  // types 1-4 and 6
    LIST = 1503,   // type 5
    LIST_EDIT = 1504,
    LIST_ADD = 1505,
    LIST_REMOVE = 1506,
    LIST_UP = 1507,
    LIST_DOWN = 1508,
    B_NODE = 1511,  // type 7
    P_NODE = 1512,
    M_NODE = 1514,
    H_NODE = 1518,
  };

  explicit DHCPOptionEditorLogic(const CDHCPOption& option);

  uint8_t Code() const { return m_code; }
  int Type() const { return m_type; }
  CString Name() const { return DHCPOptionName(m_code); }
  // Code 2 (time offset) is a signed number of seconds.
  bool Signed() const { return m_code == 2; }
  ControlStates States() const;

  // The list editor: Add reads the edit (a bad address or a 64th one is refused and stays in the
  // edit); Remove puts the address back into the edit; Up and Down move the selected one.
  bool AddAddress(Prompter& prompter);
  void RemoveAddress();
  void MoveAddress(bool up);

  // Parses the controls' values into the option's bytes; false refuses: a field that does not
  // parse goes to *error, other refusals to the prompter.
  bool Validate(Prompter& prompter, FieldError* error);
  // Writes the bytes Validate made.
  void Apply(CDHCPOption& option) const;

  bool flag = false;
  CString value;              // types 1-4, 6
  std::vector<CString> list;  // type 5, dotted
  CString listEdit;
  std::optional<size_t> listSelected;
  uint8_t nodeType = 0;  // type 7: 1, 2, 4 or 8 (0: none chosen)

 private:
  uint8_t m_code;
  int m_type;
  std::vector<uint8_t> m_bytes;
};

// ---- "DHCP Options" --------------------------------------------------------------------------------

class DHCPOptionsLogic {
 public:
  enum : int { AVAILABLE = 1520, IN_USE = 1521, DESCRIPTION = 1522, ADD = 1523, REMOVE = 1524, EDIT = 1525 };

  // Works on options, the caller's copy.
  explicit DHCPOptionsLogic(CDHCPOptionsContainer& options);

  // Offered codes not held / held by the container, in code order. Codes that are never offered
  // are in neither, whatever the container holds.
  std::vector<uint8_t> Available() const;
  std::vector<uint8_t> InUse() const;
  static CString Description(uint8_t code);

  // Add opens the code's editor on a new option and adds it only on OK: an option with no value
  // is never put in use. Codes without an editor are added with no data, as the table offers none.
  bool Add(uint8_t code, DHCPDialogs& dialogs);
  bool Remove(uint8_t code);
  // The editor of the option's type on a copy, written back on OK.
  bool Edit(uint8_t code, DHCPDialogs& dialogs);

 private:
  CDHCPOptionsContainer& m_options;
};

// ---- "Scope Properties" ----------------------------------------------------------------------------

class ScopeDialogLogic {
 public:
  enum : int {
    DESCRIPTION = 1530,
    ENABLED = 1531,
    FROM = 1532,
    TO = 1533,
    MASK = 1534,
    DAYS = 1535,
    HOURS = 1536,
    MINUTES = 1537,
    EXCLUSIONS = 1538,
    EXCLUDE_FROM = 1539,
    EXCLUDE_TO = 1540,
    EXCLUDE_ADD = 1541,
    EXCLUDE_REMOVE = 1542,
    OPTIONS = 1543,
  };

  // others: the ranges of the configuration's other scopes.
  void Load(const CDHCPScope& scope, std::vector<CIPRange> others = {});
  ControlStates States() const;
  std::vector<CString> ExclusionRows() const;
  // Add reads both edits (the second may be empty: one address); Remove puts the range back into
  // them.
  bool AddExclusion(Prompter& prompter, FieldError* error);
  void RemoveExclusion();
  // "&Options...": the options dialog on the dialog's own copy of the scope's options.
  bool EditOptions(DHCPDialogs& dialogs);

  // Addresses parse, the range is in order and within one network of a contiguous mask, the lease
  // is not zero. A field that does not parse goes to *error; other refusals to the prompter. A
  // range that overlaps another scope's, and an exclusion outside the range (it excludes nothing),
  // are kept only when the operator answers Yes.
  bool Validate(Prompter& prompter, FieldError* error);
  void Apply(CDHCPScope& scope) const;

  CString description;
  bool enabled = true;
  CString from, to, mask;
  CString days, hours, minutes;
  CString excludeFrom, excludeTo;
  std::optional<size_t> exclusionSelected;

 private:
  std::vector<CIPRange> m_exclusions;
  std::vector<CIPRange> m_others;
  CDHCPOptionsContainer m_options;
  uint32_t m_start = 0, m_end = 0, m_mask = 0, m_lease = 0;
};

// ---- "Reservation" ----------------------------------------------------------------------------------

class ReservationDialogLogic {
 public:
  enum : int { ADDRESS = 1550, MATCH = 1551, BY_NAME = 1552, BY_MAC = 1553, OPTIONS = 1554 };

  // taken: the addresses other reservations hold (the configuration keys reservations by address);
  // scopes: the ranges of every scope.
  void Load(const CDHCPReservation& reservation, std::vector<CString> taken, std::vector<CIPRange> scopes = {});
  bool EditOptions(DHCPDialogs& dialogs);
  // The address is required, parses and is not taken; the match text is required and, for a MAC
  // address, is brought to the server's form. An address outside every scope (the reservation
  // would never be given out) is kept only when the operator answers Yes.
  bool Validate(Prompter& prompter, FieldError* error);
  void Apply(CDHCPReservation& reservation) const;

  CString address;
  CString match;
  uint32_t matchOn = CDHCPReservation::MATCH_HARDWARE_ADDRESS;

 private:
  std::vector<CString> m_taken;
  std::vector<CIPRange> m_scopes;
  CDHCPOptionsContainer m_options;
  CString m_address, m_match;
};
