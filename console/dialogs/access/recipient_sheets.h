#pragma once
// The Qt windows of the recipient editors: the recipient sheet and its pages, the Time Slice
// dialog, the System Policies dialog, and the RecipientDialogs the console program gives the
// editors that list recipients. Each control's object name is its id; the values, rules and OK
// live in recipient_editors.h and system_policies.h.
#include <QDialog>
#include <memory>

#include "console/dialogs/access/recipient_dialogs.h"
#include "console/dialogs/access/recipient_editors.h"
#include "console/dialogs/access/system_policies.h"
#include "console/dialogs/common/tab_sheet.h"

class QButtonGroup;
class QComboBox;
class QTreeWidget;

// Time Slice (159) over a copy of a slice, or a new one; Result() after OK.
class TimeSliceDialog : public QDialog {
  Q_OBJECT

 public:
  TimeSliceDialog(const CTimeSlice* slice, Prompter& prompter, QWidget* parent = nullptr);
  TimeSliceEditor& Logic() { return m_logic; }
  std::shared_ptr<CTimeSlice> Result() const { return m_result; }
  void accept() override;

 private:
  void Store();
  void Update();
  TimeSliceEditor m_logic;
  Prompter& m_prompter;
  QButtonGroup *m_kind, *m_range;
  std::shared_ptr<CTimeSlice> m_result;
};

// The recipient sheet: the pages of RecipientPageSet that are built, in that order.
class RecipientSheetDialog : public SheetDialog {
  Q_OBJECT

 public:
  RecipientSheetDialog(const CRecipient* existing, uint32_t serviceKind, int32_t rightType, RecipientSheetContext ctx,
                       Prompter& prompter, QWidget* parent = nullptr);
  RecipientSheet& Logic() { return m_logic; }
  // The tab of a page template, or -1.
  int TabOf(int pageId) const;
  // The edited recipient after OK.
  std::shared_ptr<CRecipient> Result() const { return m_result; }
  void accept() override;

 private:
  RecipientSheet m_logic;
  Prompter& m_prompter;
  std::shared_ptr<CriterionDialogs> m_criteria;  // the Criterion dialog, over this sheet
  std::vector<int> m_tabPages;
  std::shared_ptr<CRecipient> m_result;
};

// The recipient sheet, modal, over the mirror's users and groups.
class QtRecipientDialogs : public RecipientDialogs {
 public:
  QtRecipientDialogs(const CLookoutClient& client, Prompter& prompter, QWidget* parent)
      : m_client(client), m_prompter(prompter), m_parent(parent) {}
  std::shared_ptr<CRecipient> EditRecipient(const CRecipient* existing, uint32_t serviceKind,
                                            int32_t rightType) override;

 private:
  const CLookoutClient& m_client;
  Prompter& m_prompter;
  QWidget* m_parent;
};

// System Policies (163).
class SystemPoliciesDialog : public QDialog {
  Q_OBJECT

 public:
  SystemPoliciesDialog(CLookoutClient& client, Prompter& prompter, RecipientDialogs& recipients,
                       QWidget* parent = nullptr);
  SystemPolicies& Logic() { return m_logic; }
  void accept() override;

 private:
  void Refill();
  void Edit(int row);
  SystemPolicies m_logic;
  Prompter& m_prompter;
  RecipientDialogs& m_recipients;
  QComboBox* m_right;
  QTreeWidget* m_list;
};
