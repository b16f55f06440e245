#pragma once
// The dialer's Qt windows: the "Trellis Dialer Properties" sheet (Phonebook, Local sites,
// Settings; OK, Cancel, Apply) and the "Edit Profile" sheet (General, Access). Each control's
// object name is its id (dialer_editors.h); values, rules and commits are in the logic.
//
// Threads: the GUI thread. The console hands the open dialer sheet its notifications (62, 63) as
// values (DialerUpdate); nothing here is reached from the session thread.
#include <QDialog>
#include <QIcon>
#include <functional>
#include <memory>

#include "console/dialogs/common/tab_sheet.h"
#include "console/dialogs/dialer/dialer_editors.h"

struct ViewEvent;
class PhonebookWidget;
class LocalSitesWidget;
class DialerSettingsWidget;

// The console's pictures by number (7 a dial-up entry, 1 a known user or group, 4 another name);
// empty: no pictures.
using DialerImages = std::function<QIcon(int)>;

class EditProfileDialog : public SheetDialog {
  Q_OBJECT

 public:
  // dialogs: the recipient sheet; null leaves Add and double click on the Access page disabled.
  EditProfileDialog(std::unique_ptr<EditProfileSheet> logic, Prompter& prompter, RecipientDialogs* dialogs,
                    DialerImages images, QWidget* parent = nullptr);
  EditProfileSheet& Logic() { return *m_logic; }
  // The edited copy after OK, else null.
  std::shared_ptr<CDialerProfileSettings> Result() const { return m_result; }
  void accept() override;

 private:
  std::unique_ptr<EditProfileSheet> m_logic;
  Prompter& m_prompter;
  std::shared_ptr<CDialerProfileSettings> m_result;
};

class DialerSheetDialog : public QDialog {
  Q_OBJECT

 public:
  DialerSheetDialog(CLookoutClient& client, Prompter& prompter, RecipientDialogs* dialogs, DialerImages images,
                    QWidget* parent = nullptr);
  DialerSheet& Logic() { return m_logic; }
  TabSheet* Sheet() const { return m_sheet; }

  // Notification 62 (the lists follow the mirror) or 63 (one profile's status cell, by name).
  void DialerUpdate(const ViewEvent& event);
  // The console went on or off line: Dial and Reset follow.
  void OnlineChanged();
  // Apply: every page stores and validates, the dialer is committed and sent; the sheet stays.
  // False when a page refused.
  bool ApplyChanges();
  void accept() override;

  // How an Edit Profile sheet is run (modal); tests may drive it another way.
  std::function<int(EditProfileDialog&)> runProfileSheet = [](EditProfileDialog& d) { return d.exec(); };
  // Opens Edit Profile for a new profile (Add) or the row's (double click); true after its OK.
  bool AddProfile();
  bool EditProfile(int row);

 private:
  void RefreshPages();
  DialerSheet m_logic;
  Prompter& m_prompter;
  RecipientDialogs* m_dialogs;
  DialerImages m_images;
  TabSheet* m_sheet;
  PhonebookWidget* m_phonebook = nullptr;
  LocalSitesWidget* m_sites = nullptr;
  DialerSettingsWidget* m_settings = nullptr;
};
