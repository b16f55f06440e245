#pragma once
// The Remote Access layer the dialer dials through: C declarations shaped like the host system's
// published Remote Access interface (ANSI forms), and the table of the eleven entry points the
// dialer binds from a shared library loaded by name.
//
// Layout rule: structure sizes are whatever the compiler makes of these declarations on this
// platform (a handle is pointer-sized, so sizes differ from the 32-bit host's). Every caller and
// every implementation of the layer uses sizeof, never a number: the dwSize a caller sets is
// sizeof of the structure it passes, and an implementation refuses any other (ERROR_INVALID_SIZE).
//
// Contract of an implementation (the simulator and any real backend):
//   - every entry point may be called from many threads at once;
//   - the notifier of an asynchronous dial is called on a thread of the layer, never inside the
//     RasDialA call on the caller's thread, but possibly before RasDialA has returned;
//   - connection handles are unique, never 0, never reused within the process;
//   - the byte-size protocol of the enumerations: a buffer too small gives ERROR_BUFFER_TOO_SMALL
//     with the size needed;
//   - RasGetConnectStatusA answers ERROR_INVALID_HANDLE only once the connection is fully down;
//   - RasGetErrorStringA has a text for every code the layer returns.
#include <cstdint>

extern "C" {

typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef void* HWND;
struct RasConnHandle;
typedef RasConnHandle* HRASCONN;

enum : uint32_t {
  RAS_MaxEntryName = 256,
  RAS_MaxDeviceType = 16,
  RAS_MaxDeviceName = 128,
  RAS_MaxPhoneNumber = 128,
  RAS_MaxCallbackNumber = 128,
  RAS_MaxIpAddress = 15,
  RAS_UNLEN = 256,
  RAS_PWLEN = 256,
  RAS_DNLEN = 15,
};

// Connection states (RASCONNSTATE) the dialer tells apart.
enum : uint32_t {
  RASCS_OpenPort = 0,
  RASCS_PortOpened = 1,
  RASCS_ConnectDevice = 2,
  RASCS_DeviceConnected = 3,
  RASCS_AllDevicesConnected = 4,
  RASCS_Authenticate = 5,
  RASCS_AuthRetry = 7,
  RASCS_AuthChangePassword = 9,
  RASCS_AuthProject = 10,
  RASCS_AuthLinkSpeed = 11,
  RASCS_ReAuthenticate = 13,
  RASCS_Connected = 0x2000,
  RASCS_Disconnected = 0x2001,
};
typedef uint32_t RASCONNSTATE;

// Codes of the layer.
enum : uint32_t {
  RAS_OK = 0,
  RAS_ERROR_INVALID_HANDLE = 6,
  RAS_ERROR_NOT_ENOUGH_MEMORY = 8,
  RAS_ERROR_NOT_SUPPORTED = 50,
  RAS_PENDING = 600,
  RAS_ERROR_BUFFER_TOO_SMALL = 603,
  RAS_ERROR_OUT_OF_BUFFERS = 614,
  RAS_ERROR_CANNOT_LOAD_PHONEBOOK = 622,
  RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY = 623,
  RAS_ERROR_CORRUPT_PHONEBOOK = 625,
  RAS_ERROR_INVALID_SIZE = 632,
  RAS_ERROR_NO_ANSWER = 678,
  RAS_ERROR_AUTHENTICATION_FAILURE = 691,
};

// RASDIALEXTENSIONS options the dialer sets: use prefix and suffix, no connected and no reconnect
// user interface, no reconnect, no user.
enum : uint32_t {
  RDEOPT_UsePrefixSuffix = 0x00000001,
  RDEOPT_NoUser = 0x00000040,
  RDEOPT_DisableConnectedUI = 0x00000080,
  RDEOPT_DisableReconnectUI = 0x00000100,
  RDEOPT_DisableReconnect = 0x00000200,
  RAS_DIAL_OPTIONS = RDEOPT_UsePrefixSuffix | RDEOPT_NoUser | RDEOPT_DisableConnectedUI | RDEOPT_DisableReconnectUI |
                     RDEOPT_DisableReconnect,
};

// RasGetProjectionInfoA: the PPP IP projection.
enum : uint32_t { RASP_PppIp = 0x8021 };

struct RASCONNA {
  DWORD dwSize;
  HRASCONN hrasconn;
  char szEntryName[RAS_MaxEntryName + 1];
  char szDeviceType[RAS_MaxDeviceType + 1];
  char szDeviceName[RAS_MaxDeviceName + 1];
};

struct RASENTRYNAMEA {
  DWORD dwSize;
  char szEntryName[RAS_MaxEntryName + 1];
};

struct RASCONNSTATUSA {
  DWORD dwSize;
  RASCONNSTATE rasconnstate;
  DWORD dwError;
  char szDeviceType[RAS_MaxDeviceType + 1];
  char szDeviceName[RAS_MaxDeviceName + 1];
};

struct RASDIALPARAMSA {
  DWORD dwSize;
  char szEntryName[RAS_MaxEntryName + 1];
  char szPhoneNumber[RAS_MaxPhoneNumber + 1];
  char szCallbackNumber[RAS_MaxCallbackNumber + 1];
  char szUserName[RAS_UNLEN + 1];
  char szPassword[RAS_PWLEN + 1];
  char szDomain[RAS_DNLEN + 1];
};

struct RASPPPIPA {
  DWORD dwSize;
  DWORD dwError;
  char szIpAddress[RAS_MaxIpAddress + 1];
  char szServerIpAddress[RAS_MaxIpAddress + 1];
};

struct RASDIALEXTENSIONS {
  DWORD dwSize;
  DWORD dwfOptions;
  HWND hwndParent;
  uintptr_t reserved;
};

// The notifier of an asynchronous dial (notifier type 1).
typedef void (*RASDIALFUNC1)(HRASCONN hrasconn, UINT unMsg, RASCONNSTATE state, DWORD dwError, DWORD dwExtendedError);

typedef DWORD (*PFN_RasDialA)(RASDIALEXTENSIONS*, const char* phonebook, RASDIALPARAMSA*, DWORD notifierType,
                              void* notifier, HRASCONN* out);
typedef DWORD (*PFN_RasEnumConnectionsA)(RASCONNA*, DWORD* cb, DWORD* count);
typedef DWORD (*PFN_RasEnumEntriesA)(const char* reserved, const char* phonebook, RASENTRYNAMEA*, DWORD* cb,
                                     DWORD* count);
typedef DWORD (*PFN_RasGetConnectStatusA)(HRASCONN, RASCONNSTATUSA*);
typedef DWORD (*PFN_RasGetErrorStringA)(UINT code, char* buffer, DWORD size);
typedef DWORD (*PFN_RasHangUpA)(HRASCONN);
typedef DWORD (*PFN_RasGetProjectionInfoA)(HRASCONN, DWORD projection, void* info, DWORD* cb);
typedef DWORD (*PFN_RasCreatePhonebookEntryA)(HWND, const char* phonebook);
typedef DWORD (*PFN_RasEditPhonebookEntryA)(HWND, const char* phonebook, const char* entry);
typedef DWORD (*PFN_RasSetEntryDialParamsA)(const char* phonebook, RASDIALPARAMSA*, BOOL removePassword);
typedef DWORD (*PFN_RasGetEntryDialParamsA)(const char* phonebook, RASDIALPARAMSA*, BOOL* hasPassword);

}  // extern "C"

#ifdef __cplusplus
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// What a layer's RasGetErrorStringA does with its text (null: a code it has no text for): the
// whole text or 603, never a cut one.
inline DWORD RasCopyErrorText(UINT code, const char* text, char* buffer, DWORD size) {
  char fallback[32];
  if (!text) {
    snprintf(fallback, sizeof(fallback), "RAS error %u", code);
    text = fallback;
  }
  if (strlen(text) + 1 > size) return RAS_ERROR_BUFFER_TOO_SMALL;
  snprintf(buffer, size, "%s", text);
  return 0;
}

// What a layer's RasEnumConnectionsA and RasEnumEntriesA do with the caller's buffer: the first
// record's size must be this layout's and the byte count must hold at least one record; too small
// a buffer gives 603 and the size needed.
template <class T>
DWORD RasEnumerate(T* array, DWORD* cb, DWORD* count, const std::vector<T>& records) {
  if (!cb || !count) return RAS_ERROR_INVALID_SIZE;
  if (!array || *cb < sizeof(T) || array[0].dwSize != sizeof(T)) return RAS_ERROR_INVALID_SIZE;
  const DWORD needed = static_cast<DWORD>(records.size() * sizeof(T));
  if (*cb < needed) {
    *cb = needed;
    *count = 0;
    return RAS_ERROR_BUFFER_TOO_SMALL;
  }
  for (size_t i = 0; i < records.size(); ++i) array[i] = records[i];
  *cb = needed;
  *count = static_cast<DWORD>(records.size());
  return 0;
}

// The bound entry points. A table is complete when every pointer is set; the dialer is active
// only with a complete one. Tests may fill one in-process.
struct RasApi {
  PFN_RasDialA RasDialA = nullptr;
  PFN_RasEnumConnectionsA RasEnumConnectionsA = nullptr;
  PFN_RasEnumEntriesA RasEnumEntriesA = nullptr;
  PFN_RasGetConnectStatusA RasGetConnectStatusA = nullptr;
  PFN_RasGetErrorStringA RasGetErrorStringA = nullptr;
  PFN_RasHangUpA RasHangUpA = nullptr;
  PFN_RasGetProjectionInfoA RasGetProjectionInfoA = nullptr;
  PFN_RasCreatePhonebookEntryA RasCreatePhonebookEntryA = nullptr;
  PFN_RasEditPhonebookEntryA RasEditPhonebookEntryA = nullptr;
  PFN_RasSetEntryDialParamsA RasSetEntryDialParamsA = nullptr;
  PFN_RasGetEntryDialParamsA RasGetEntryDialParamsA = nullptr;

  bool IsComplete() const;
};

// The log lines of a library that cannot be used.
inline constexpr const char* kRasNotInstalledText = "could not load library RASAPI32 - RAS is not installed";
inline constexpr const char* kRasBadVersionText =
    "Error getting process addresses in RASAPI32 - check the version of this DLL";

// Where the library is looked for: TRELLIS_RASAPI32 when set (a path), else librasapi32.so beside
// the program, else the system's search path.
std::string RasLibraryPath();

// Loads the library at path and binds the eleven entry points. Null, with *error set to one of the
// two texts above, when the library cannot be loaded or an entry point is missing (the library is
// then let go again). A loaded library is never unloaded: calls may be in flight on any thread
// until the process ends.
std::shared_ptr<const RasApi> LoadRasApi(const std::string& path, std::string* error);
#endif
