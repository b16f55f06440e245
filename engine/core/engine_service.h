#pragma once
#include <memory>

#include "engine/core/ntservice.h"

class CEngineService : public CNTService {
 public:
  CEngineService();

  void Run() override;
  bool OnInit() override;
  void OnStop() override;
  void OnShutdown() override;
};
