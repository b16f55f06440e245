#pragma once
#include <memory>

#include "engine/core/nt_service.h"

class CEngineService : public CNTService {
 public:
  CEngineService();

  void Run() override;
  bool OnInit() override;
  void OnStop() override;
  void OnShutdown() override;
};
