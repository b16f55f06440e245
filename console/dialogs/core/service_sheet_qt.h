#pragma once
// The service property sheet's Qt pages (General, Bindings, Interfaces, Sessions, Mappings, Non-proxy
// Requests with the Web Server Settings dialog, Connection, Logging; SOCKS Advanced and Encryption
// in service_pages_qt.h). Each control's object name is its id; values, rules and OK are in
// service_sheet.h.
#include <QDialog>
#include <memory>

#include "console/dialogs/access/recipient_dialogs.h"
#include "console/dialogs/common/tab_sheet.h"
#include "console/dialogs/core/service_sheet.h"

class QCheckBox;
class QLineEdit;

// Web Server Settings (185), on the Non-proxy page's values; OK copies them back.
class WebServerSettingsDialog : public QDialog {
  Q_OBJECT

 public:
  WebServerSettingsDialog(NonProxyPage& page, QWidget* parent = nullptr);
  void accept() override;

 private:
  NonProxyPage& m_page;
  QLineEdit *m_root, *m_file, *m_cgiRoot, *m_cgiLabel;
  QCheckBox *m_browse, *m_cgi;
};

class EditServiceDialog : public SheetDialog {
  Q_OBJECT

 public:
  // recipients: how the Policies page opens the recipient sheet (null: Add and Edit do nothing).
  EditServiceDialog(std::unique_ptr<EditServiceSheet> logic, Prompter& prompter, QWidget* parent = nullptr,
                    RecipientDialogs* recipients = nullptr);
  ~EditServiceDialog() override;
  EditServiceSheet& Logic() { return *m_logic; }
  // The tab of a page template, or -1.
  int TabOf(int pageId) const;
  void accept() override;

 private:
  std::unique_ptr<EditServiceSheet> m_logic;
  Prompter& m_prompter;
  std::vector<int> m_tabPages;  // page template of each tab
};
