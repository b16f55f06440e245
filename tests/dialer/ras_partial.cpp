// A Remote Access library of an older version for the loader's tests: ten of the eleven entry
// points (RasGetProjectionInfoA is missing). None of them is ever called.
#include "engine/dialer/ras_api.h"

#define RAS_EXPORT extern "C" __attribute__((visibility("default")))

RAS_EXPORT DWORD RasDialA(RASDIALEXTENSIONS*, const char*, RASDIALPARAMSA*, DWORD, void*, HRASCONN*) { return 50; }
RAS_EXPORT DWORD RasEnumConnectionsA(RASCONNA*, DWORD*, DWORD*) { return 50; }
RAS_EXPORT DWORD RasEnumEntriesA(const char*, const char*, RASENTRYNAMEA*, DWORD*, DWORD*) { return 50; }
RAS_EXPORT DWORD RasGetConnectStatusA(HRASCONN, RASCONNSTATUSA*) { return 50; }
RAS_EXPORT DWORD RasGetErrorStringA(UINT, char*, DWORD) { return 50; }
RAS_EXPORT DWORD RasHangUpA(HRASCONN) { return 50; }
RAS_EXPORT DWORD RasCreatePhonebookEntryA(HWND, const char*) { return 50; }
RAS_EXPORT DWORD RasEditPhonebookEntryA(HWND, const char*, const char*) { return 50; }
RAS_EXPORT DWORD RasSetEntryDialParamsA(const char*, RASDIALPARAMSA*, BOOL) { return 50; }
RAS_EXPORT DWORD RasGetEntryDialParamsA(const char*, RASDIALPARAMSA*, BOOL*) { return 50; }
