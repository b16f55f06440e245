#include "console/dialogs/common/location_lists.h"

ControlStates LocationLists::ListStates() const {
  ControlStates st;
  for (int id = INCLUDED; id <= EXCLUDED_REMOVE; ++id) st[id].enabled = specify;
  return st;
}

bool LocationLists::CheckPatterns(Prompter& prompter) const {
  for (const auto* list : {&included, &excluded})
    for (const CString& p : *list)
      if (!CheckLocationPattern(p, prompter)) return false;
  return true;
}

void LocationLists::SetSpecify(bool value) {
  specify = value;
  Touched();
}

bool LocationLists::Add(bool ex, Prompter& prompter) {
  CString& edit = ex ? excludedEdit : includedEdit;
  if (edit.empty()) return false;
  if (!CheckLocationPattern(edit, prompter)) return false;
  (ex ? excluded : included).push_back(edit);
  edit.clear();
  Touched();
  return true;
}

void LocationLists::Remove(bool ex, size_t row) {
  auto& list = ex ? excluded : included;
  if (row >= list.size()) return;
  (ex ? excludedEdit : includedEdit) = list[row];
  list.erase(list.begin() + static_cast<std::ptrdiff_t>(row));
  Touched();
}
