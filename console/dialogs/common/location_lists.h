#pragma once
// The Location page that rights and mappings share: "from everywhere" or "specify", and the two
// client address pattern lists, each with its edit, Add and Remove. The page of each sheet adds
// how it loads, checks and writes its object.
#include <cstddef>
#include <vector>

#include "console/dialogs/common/editor.h"

class LocationLists {
 public:
  enum : int {
    EVERYWHERE = 1111,
    SPECIFY = 1110,
    INCLUDED = 1112,
    INCLUDED_EDIT = 1113,
    INCLUDED_ADD = 1114,
    INCLUDED_REMOVE = 1115,
    EXCLUDED = 1116,
    EXCLUDED_EDIT = 1117,
    EXCLUDED_ADD = 1118,
    EXCLUDED_REMOVE = 1119
  };
  virtual ~LocationLists() = default;

  // The lists and their buttons follow "Specify locations".
  ControlStates ListStates() const;
  // Every pattern of both lists compiles; the first one that does not is said and refused.
  bool CheckPatterns(Prompter& prompter) const;

  // The operator's changes. Add: the edit's text, when not empty and a valid pattern, joins the
  // list and the edit is cleared; an invalid one is refused and stays in the edit. Remove: the
  // entry goes back into the edit for correction.
  void SetSpecify(bool value);
  bool Add(bool excluded, Prompter& prompter);
  void Remove(bool excluded, size_t row);

  bool specify = false;
  std::vector<CString> included, excluded;
  CString includedEdit, excludedEdit;

 protected:
  // Called after every change the operator makes.
  virtual void Touched() {}
};
