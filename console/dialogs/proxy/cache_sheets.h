#pragma once
// The cache sheet's Qt window: the tab sheet with the General, What to cache and What to purge
// pages, and OK, Cancel and Apply. Values, rules and the requests are in cache_editors.h; every
// control's object name is its id, the buttons are "IDOK", "IDCANCEL" and "IDAPPLY".
//
// Threads: the user-interface thread.
#include <QDialog>
#include <memory>
#include <vector>

#include "console/dialogs/common/tab_sheet.h"
#include "console/dialogs/proxy/cache_editors.h"

class CacheSheetDialog : public QDialog {
  Q_OBJECT

 public:
  // criteria: how the filter trees open the Criterion dialog (the sheet keeps it).
  CacheSheetDialog(CLookoutClient& client, Prompter& prompter, std::unique_ptr<CriterionDialogs> criteria,
                   QWidget* parent = nullptr);
  ~CacheSheetDialog() override;

  CacheSheet& Logic() { return m_logic; }
  TabSheet* Sheet() const { return m_sheet; }
  // The tab of a page template, or -1.
  int TabOf(int pageId) const;

  // Apply: the shown page takes its controls, every page validates and writes, the settings go to
  // the engine. A refusal shows the refusing page with the focus on its field. True when applied.
  bool ApplyNow();
  // OK: Apply, and close when it was applied; a refusal keeps the sheet open.
  void accept() override;
  // The engine's settings changed (notification 131): every page again from the mirror.
  void Reload();
  // How many times that has happened while open. The engine echoes an Apply back as 131 after its
  // reply, and the echo drops what was edited since, so whoever edits on after an Apply (a test
  // driving the sheet) waits for it first.
  int Reloads() const { return m_reloads; }

 private:
  void AddPage(TabPage* page, int id);

  std::unique_ptr<CriterionDialogs> m_criteria;
  CacheSheet m_logic;
  Prompter& m_prompter;
  TabSheet* m_sheet;
  std::vector<int> m_tabPages;  // page template of each tab
  int m_reloads = 0;
};
