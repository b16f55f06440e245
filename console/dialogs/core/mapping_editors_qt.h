#pragma once
// The mapping editors' Qt pages: the service sheet's Mappings page and the Mapping sheet. Each
// control's object name is its id; values, rules and OK are in mapping_editors.h.
#include <memory>

#include "console/dialogs/common/tab_sheet.h"
#include "console/dialogs/core/mapping_editors.h"

// "Mapping Properties": Mapping, User and Location over the sheet's copy of one rule.
class MappingSheetDialog : public SheetDialog {
  Q_OBJECT

 public:
  MappingSheetDialog(const CMapping& mapping, bool existing, MappingSheetContext ctx, Prompter& prompter,
                     QWidget* parent = nullptr);
  MappingSheet& Logic() { return m_logic; }
  // The edited rule after OK, else null.
  std::shared_ptr<CMapping> Result() const { return m_result; }
  void accept() override;

 private:
  MappingSheet m_logic;
  Prompter& m_prompter;
  std::shared_ptr<CMapping> m_result;
};

// The Mappings page (165); Add and a double click open the Mapping sheet, modal.
TabPage* NewMappingsWidget(MappingsPage& logic, MappingSheetContext ctx, Prompter& prompter);
