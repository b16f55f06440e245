// The service wrapper's own state: what a failed start leaves as the process's exit code.
#include "engine/core/nt_service.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

class CFailingStart : public CNTService {
 public:
  CFailingStart() : CNTService("TrellisTestService", "Trellis Test Service") {}
  bool OnInit() override {
    errno = EACCES;
    return false;
  }
};

TEST(NTService, FailedInitialisationLeavesTheSystemErrorAsExitCode) {
  CFailingStart service;
  EXPECT_FALSE(service.Initialize());
  EXPECT_EQ(service.ExitCode(), static_cast<uint32_t>(EACCES));
}

}  // namespace
