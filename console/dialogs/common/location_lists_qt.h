#pragma once
// The Location page of rights and mappings: the two radios over the two pattern lists, each with
// its edit, Add and Remove. Each control's object name is its id (LocationLists).
#include "console/dialogs/common/location_lists.h"
#include "console/dialogs/common/tab_sheet.h"

class QButtonGroup;
class QGroupBox;
class QLineEdit;
class QListWidget;

class LocationListsWidget : public TabPage {
 public:
  // everywhere, specify: the texts of the two radios, which name what the lists decide.
  LocationListsWidget(LocationLists& logic, Prompter& prompter, const char* everywhere, const char* specify);
  void LoadControls() override;
  bool StoreControls() override;

 private:
  // One side: list box, edit, Add and Remove (ids base .. base + 3).
  QGroupBox* Side(bool ex, const char* title, int base);
  void Refill();

  LocationLists& m_logic;
  Prompter& m_prompter;
  QButtonGroup* m_group;
  QListWidget* m_list[2];
  QLineEdit* m_edit[2];
};
