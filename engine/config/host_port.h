#pragma once
// A host name (or address text) with a port, as services keep their upstream servers.
#include <cstdint>

#include "engine/config/archive.h"  // CString
#include "engine/config/object.h"

class CHostPort : public CObject {
  TL_DECLARE_DYNAMIC(CHostPort)

 public:
  CHostPort() = default;
  CHostPort(CString host, uint32_t port) : Host(std::move(host)), Port(port) {}

  // Writes Host (string) and Port (DWORD) to the key at path (relative to the registry root);
  // false when a write failed.
  virtual bool Save(const CString& path);
  // Reads them back; a missing value gives "" and 0.
  virtual void Load(const CString& path);

  bool operator==(const CHostPort& other) const { return Host == other.Host && Port == other.Port; }

  CString Host;
  uint32_t Port = 0;
};
