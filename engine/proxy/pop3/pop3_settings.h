#pragma once
// The POP3 gateway's settings: the TCP service's and the log-in's delimiter. Stored as
// "CPOP3Service"; the engine runs it as CPOP3Service (pop3_service.h).
//
// Registry value (under the service's key, beside the TCP service's): Delimiter (DWORD, default 35,
// "#"). Archive form: the TCP service's fields, then Delimiter (u32).
#include <cstdint>

#include "engine/core/service_settings.h"

class CPOP3ServiceSettings : public CTCPServiceSettings {
  TL_DECLARE_SERIAL(CPOP3ServiceSettings)

 public:
  static constexpr uint32_t kDefaultPort = 110;
  static constexpr uint32_t kDefaultDelimiter = '#';

  CPOP3ServiceSettings();
  ~CPOP3ServiceSettings() override;

  uint32_t GetServiceKind() const override { return SERVICE_KIND_POP3; }
  bool SaveSettings(const CString& key) override;
  void LoadSettings(const CString& key) override;
  void Serialize(CArchive& ar) override;

  uint32_t GetDelimiter() const;

  uint32_t Delimiter = kDefaultDelimiter;
};
