#pragma once
// How an editor that lists a right's recipients (a service's Policies page, the System Policies
// dialog, a dialer profile's Access page) opens the recipient sheet. The Qt program opens the
// real sheet; tests answer with scripted results.
//
// Threads: the user-interface thread.
#include <cstdint>
#include <memory>

#include "engine/access/right.h"

class RecipientDialogs {
 public:
  virtual ~RecipientDialogs() = default;
  // The recipient sheet over a copy of `existing` (null: a new recipient). `serviceKind` is the
  // GetServiceKind() of the right's owner (SERVICE_KIND_NONE when the right has no service, as a
  // dialer profile's), `rightType` the right's RightType: together they decide the sheet's pages.
  // Returns the edited copy, or null when the operator cancelled; `existing` is never touched.
  virtual std::shared_ptr<CRecipient> EditRecipient(const CRecipient* existing, uint32_t serviceKind,
                                                    int32_t rightType) = 0;
};
