#pragma once
// The System Policies dialog without a toolkit: the engine's own rights, each edited on a working
// copy for as long as the dialog is open, whose recipients the recipient sheet adds and changes.
//
// OK asks every question before anything is written: an empty right is asked about, and "No"
// keeps the dialog open with every working copy intact and the mirror untouched. Only then do
// clones of the working copies replace the mirror's rights and, on-line, go to the engine (42).
//
// Threads: the user-interface thread, which owns the mirrors.
#include <memory>
#include <vector>

#include "console/dialogs/common/editor.h"
#include "engine/access/right.h"

class CLookoutClient;

inline constexpr const char* kSystemPoliciesTitle = "System Policies";

class SystemPolicies {
 public:
  enum : int { RIGHT = 1097, LIST = 1043, ADD = 1098, REMOVE = 1099 };
  // The mirror's rights in code order, without the unused code 11; empty before the engine sent
  // them.
  explicit SystemPolicies(CLookoutClient& client);

  bool Available() const { return !m_rights.empty(); }
  std::vector<CString> RightNames() const;
  int32_t SelectedType() const;
  ControlStates States() const;

  struct Row {
    CString recipient, rights;
  };
  std::vector<Row> Rows() const;
  // The selected right's recipient at row (for the sheet to copy), or null.
  std::shared_ptr<const CRecipient> Recipient(size_t row) const;
  // The recipient sheet's result joins the selected right, or replaces the row in place.
  void Add(std::shared_ptr<CRecipient> recipient);
  void Replace(size_t row, std::shared_ptr<CRecipient> recipient);
  // No question.
  void Remove(size_t row);

  // True when done (the dialog closes); false when an answer kept it open.
  bool Ok(Prompter& prompter);

  size_t selected = 0;

 private:
  CLookoutClient& m_client;
  std::vector<size_t> m_codes;                    // the mirror index of each combo entry
  std::vector<std::shared_ptr<CRight>> m_rights;  // working copies, combo order
};
