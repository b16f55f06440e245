#include "console/shell/lookout_app.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QMetaObject>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>

#include "console/dialogs/access/assumed_sheets.h"
#include "console/dialogs/access/filter_tree.h"
#include "console/dialogs/access/recipient_sheets.h"
#include "console/dialogs/access/user_sheets.h"
#include "console/dialogs/core/service_sheet_qt.h"
#include "console/dialogs/dialer/dialer_sheets.h"
#include "console/dialogs/proxy/cache_sheets.h"
#include "console/dialogs/scheduler/scheduler_sheets.h"
#include "console/model/console_texts.h"
#include "console/model/tree_entry.h"
#include "console/model/tree_images.h"
#include "console/shell/activity_view.h"
#include "console/shell/lookout_view.h"
#include "console/shell/qt_dialogs.h"
#include "engine/remote/rc_codes.h"

namespace {

// The editors' message boxes go through the console's dialogs, which tests replace.
class DialogsPrompter : public Prompter {
 public:
  explicit DialogsPrompter(ConsoleDialogs& dialogs) : m_dialogs(dialogs) {}
  void Message(const CString& title, const CString& text, uint32_t style) override {
    m_dialogs.Inform(title, text, style);
  }
  bool AskYesNo(const CString& title, const CString& text, uint32_t style) override {
    return m_dialogs.AskYesNo(title, text, style);
  }
  void Beep() override { QApplication::beep(); }

 private:
  ConsoleDialogs& m_dialogs;
};

}  // namespace

// ---- Settings store -----------------------------------------------------------------------------

std::optional<CString> QtSettingsStore::Get(const CString& group, const CString& key) const {
  const QString path = QS(group) + "/" + QS(key);
  if (!m_settings.contains(path)) return std::nullopt;
  return m_settings.value(path).toString().toStdString();
}

void QtSettingsStore::Set(const CString& group, const CString& key, const CString& value) {
  m_settings.setValue(QS(group) + "/" + QS(key), QS(value));
}

// ---- Main window --------------------------------------------------------------------------------

MainFrame::MainFrame(LookoutApp& app) : m_app(app) {
  setObjectName("mainFrame");
  setWindowTitle(QS(WindowTitle(false, CString())));
  QStyle* st = style();

  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  Add(file, CMD_GO_ONLINE, QStringLiteral("&Go On-line"), &LookoutApp::GoOnline)->setShortcut(QKeySequence("Ctrl+G"));
  Add(file, CMD_GO_OFFLINE, QStringLiteral("Go &Off-line"), &LookoutApp::GoOffline);
  Add(file, CMD_SAVE, QStringLiteral("&Save changes"), &LookoutApp::SaveChanges);
  file->addSeparator();
  Add(file, CMD_CHANGE_PASSWORD, QStringLiteral("Change Password"), &LookoutApp::ChangePassword);
  Add(file, CMD_SHUTDOWN, QStringLiteral("Shutdown Trellis Engine"), &LookoutApp::ShutdownEngine);
  file->addSeparator();
  Add(file, CMD_EXIT, QStringLiteral("E&xit"), &LookoutApp::Exit);

  QMenu* activity = menuBar()->addMenu(QStringLiteral("&Activity"));
  // The Delete key terminates only while the activity view has the focus (ActivityView).
  Add(activity, CMD_TERMINATE, QStringLiteral("&Terminate\tDel"), &LookoutApp::Terminate);
  Add(activity, CMD_MACHINE_PROPERTIES, QStringLiteral("&Properties"), &LookoutApp::MachineProperties);
  Add(activity, CMD_SEND_MESSAGE, QStringLiteral("&Send Message"), &LookoutApp::SendMessage);
  Add(activity, CMD_COPY_LOCATION, QStringLiteral("&Copy Resource Location"), &LookoutApp::CopyLocation);

  QMenu* config = menuBar()->addMenu(QStringLiteral("&Configuration"));
  Add(config, CMD_DELETE, QStringLiteral("&Delete"), &LookoutApp::DeleteEntry);
  Add(config, CMD_START_SERVICE, QStringLiteral("S&tart service"), &LookoutApp::StartService);
  Add(config, CMD_STOP_SERVICE, QStringLiteral("St&op service"), &LookoutApp::StopService);

  QMenu* tools = menuBar()->addMenu(QStringLiteral("&Tools"));
  Add(tools, CMD_ONLINE_OPTIONS, QStringLiteral("&On-line options"), &LookoutApp::OnlineOptions);
  Add(tools, CMD_CONFIRMATION_OPTIONS, QStringLiteral("Con&firmation Options"), &LookoutApp::ConfirmationOptions);
  QAction* top = Add(tools, CMD_ALWAYS_ON_TOP, QStringLiteral("Always on top"), &LookoutApp::ToggleAlwaysOnTop);
  top->setCheckable(true);

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  Add(help, CMD_HELP, QStringLiteral("&Help Topics"), &LookoutApp::Help)->setShortcut(QKeySequence::HelpContents);
  Add(help, CMD_ABOUT, QStringLiteral("&About Lookout..."), &LookoutApp::About);
  for (QMenu* m : {file, activity, config, tools, help})
    connect(m, &QMenu::aboutToShow, this, [this] { m_app.UpdateActions(); });

  QToolBar* bar = addToolBar(QStringLiteral("Standard"));
  bar->setObjectName("toolBar");
  Action(CMD_GO_ONLINE)->setIcon(st->standardIcon(QStyle::SP_DriveNetIcon));
  Action(CMD_GO_OFFLINE)->setIcon(st->standardIcon(QStyle::SP_BrowserStop));
  Action(CMD_SAVE)->setIcon(st->standardIcon(QStyle::SP_DialogSaveButton));
  Action(CMD_TERMINATE)->setIcon(st->standardIcon(QStyle::SP_DialogDiscardButton));
  // The menu's text carries its key after a tab, which a tool button would show squeezed.
  Action(CMD_TERMINATE)->setIconText(QStringLiteral("Terminate"));
  Action(CMD_HELP)->setIcon(st->standardIcon(QStyle::SP_DialogHelpButton));
  for (int id : {CMD_GO_ONLINE, CMD_GO_OFFLINE, CMD_SAVE, CMD_TERMINATE, CMD_HELP}) bar->addAction(Action(id));
  bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);

  m_state = new QLabel;
  m_user = new QLabel;
  m_server = new QLabel;
  statusBar()->addPermanentWidget(m_state);
  statusBar()->addPermanentWidget(m_user);
  statusBar()->addPermanentWidget(m_server);
  statusBar()->showMessage(QStringLiteral("Ready"));

  m_splitter = new QSplitter(Qt::Horizontal);
  m_activity = new ActivityView(app, m_splitter);
  m_tree = new LookoutView(app, m_splitter);
  m_splitter->setChildrenCollapsible(false);
  m_splitter->setSizes({400, 200});
  m_splitter->setStretchFactor(0, 2);
  m_splitter->setStretchFactor(1, 1);
  setCentralWidget(m_splitter);
  m_activity->setFocus();
  connect(m_activity, &QTreeWidget::currentItemChanged, this, [this] { m_app.UpdateActions(); });
  connect(m_tree, &QTreeWidget::currentItemChanged, this, [this] { m_app.UpdateActions(); });
  connect(m_tree, &QTreeWidget::itemExpanded, this, [this] { FitTree(); });
}

QAction* MainFrame::Add(QMenu* menu, int id, const QString& text, void (LookoutApp::*slot)()) {
  QAction* a = menu->addAction(text);
  a->setObjectName(QStringLiteral("c%1").arg(id));
  LookoutApp* app = &m_app;
  connect(a, &QAction::triggered, this, [app, slot] { (app->*slot)(); });
  m_actions.insert(id, a);
  return a;
}

void MainFrame::FitTree() {
  const int want = m_tree->ContentWidth() + 2 * m_tree->frameWidth() + m_tree->verticalScrollBar()->sizeHint().width() +
                   m_tree->indentation();
  const QList<int> sizes = m_splitter->sizes();
  if (sizes.size() != 2 || sizes[1] >= want) return;
  const int total = sizes[0] + sizes[1];
  const int minActivity = 250;
  const int tree = std::min(want, total - minActivity);
  if (tree > sizes[1]) m_splitter->setSizes({total - tree, tree});
}

void MainFrame::SetStatus(bool online, const QString& user, const QString& server) {
  m_state->setText(online ? QStringLiteral("On-line") : QStringLiteral("Off-line"));
  m_user->setText(user);
  m_server->setText(server);
}

void MainFrame::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  // After the splitter has shared out the new width.
  QTimer::singleShot(0, this, [this] { FitTree(); });
}

void MainFrame::closeEvent(QCloseEvent* event) {
  if (m_app.CanClose())
    event->accept();
  else
    event->ignore();
}

// ---- Application --------------------------------------------------------------------------------

LookoutApp::LookoutApp(std::unique_ptr<KeyValueStore> store, std::unique_ptr<ConsoleDialogs> dialogs)
    : m_store(store ? std::move(store) : std::make_unique<QtSettingsStore>()), m_dialogs(std::move(dialogs)) {
  if (!m_dialogs) m_dialogs = std::make_unique<QtDialogs>(nullptr);
  m_prompter = std::make_unique<DialogsPrompter>(*m_dialogs);
  m_client = std::make_unique<CLookoutClient>(*this, [this](std::function<void()> fn) {
    // From the session thread to this (GUI) thread, in order.
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
  });
}

LookoutApp::~LookoutApp() {
  if (m_client) m_client->Stop(2000);
  m_window.reset();
}

bool LookoutApp::Start(bool goOnline) {
  m_settings.Load(*m_store);
  ConnectParams& login = m_client->Login();
  login.user = m_settings.Username;
  login.server = m_settings.TrellisServer;
  login.port = static_cast<uint16_t>(m_settings.TrellisPort);
  if (!m_client->Start()) return false;
  m_window = std::make_unique<MainFrame>(*this);
  if (auto* qd = dynamic_cast<QtDialogs*>(m_dialogs.get())) qd->SetParent(m_window.get());
  PlaceWindow();
  SetOnline(false, CString());
  if (m_settings.AlwaysOnTop) QTimer::singleShot(0, this, [this] { ToggleAlwaysOnTop(); });
  if (goOnline) QTimer::singleShot(0, this, [this] { GoOnline(); });
  return true;
}

bool LookoutApp::Stop(int waitMs) {
  const ConnectParams& login = m_client->Login();
  m_settings.Username = login.user;
  m_settings.TrellisServer = login.server;
  m_settings.TrellisPort = login.port;
  m_settings.SaveLogin(*m_store);
  if (auto* qs = dynamic_cast<QtSettingsStore*>(m_store.get())) qs->Sync();
  return m_client->Stop(waitMs);
}

void LookoutApp::PlaceWindow() {
  QRect rect;
  bool maximised = false;
  if (auto p = DecodePlacement(m_settings.Placement)) {
    rect = QRect(p->left, p->top, p->width, p->height);
    maximised = p->maximised;
    // A placement from a screen that is no longer there would put the window out of sight.
    bool visible = false;
    for (QScreen* s : QGuiApplication::screens())
      if (s->availableGeometry().intersected(rect).width() >= 50 &&
          s->availableGeometry().intersected(rect).height() >= 50)
        visible = true;
    if (!visible) rect = QRect();
  }
  if (rect.isNull()) {
    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry()
                                                          : QRect(0, 0, 1024, 768);
    rect = QRect(screen.x() + (screen.width() - 600) / 2, screen.y() + (screen.height() - 440) / 2, 600, 440);
    maximised = false;
  }
  m_window->setGeometry(rect);
  if (maximised) m_window->setWindowState(Qt::WindowMaximized);
}

bool LookoutApp::CanClose() {
  WindowPlacement p;
  const QRect r = m_window->normalGeometry().isValid() ? m_window->normalGeometry() : m_window->geometry();
  p.left = r.x();
  p.top = r.y();
  p.width = r.width();
  p.height = r.height();
  p.maximised = m_window->isMaximized();
  m_settings.Placement = EncodePlacement(p);
  m_settings.AlwaysOnTop = m_alwaysOnTop ? 1 : 0;
  m_settings.SaveWindow(*m_store);
  if (m_client->ConfigurationChanged() &&
      !m_dialogs->AskYesNo(kTitleConfigurationChanged, kTextGoOfflineChanged, MB_STOP))
    return false;
  return true;
}

void LookoutApp::UpdateActions() {
  if (!m_window) return;
  const bool online = m_client->IsOnline();
  auto set = [&](int id, bool on) {
    if (QAction* a = m_window->Action(id)) a->setEnabled(on);
  };
  set(CMD_GO_ONLINE, !online && !m_client->IsConnecting());
  for (int id : {CMD_GO_OFFLINE, CMD_SAVE, CMD_CHANGE_PASSWORD, CMD_SHUTDOWN}) set(id, online);
  ActivityView* act = m_window->Activity();
  set(CMD_TERMINATE, act->CanTerminate());
  set(CMD_SEND_MESSAGE, act->CanSendMessage());
  set(CMD_MACHINE_PROPERTIES, act->HasMachine());
  set(CMD_COPY_LOCATION, act->CanCopy());
  LookoutView* tree = m_window->Tree();
  set(CMD_DELETE, tree->CanDelete());
  set(CMD_START_SERVICE, tree->IsServiceSelected());
  set(CMD_STOP_SERVICE, tree->IsServiceSelected());
  m_window->Action(CMD_ALWAYS_ON_TOP)->setChecked(m_alwaysOnTop);
}

// ---- From the protocol state --------------------------------------------------------------------

void LookoutApp::ViewUpdate(int category, const ViewEvent& event) {
  if (!m_window) return;
  switch (category) {
    case VIEW_TREE:
    case VIEW_TREE_UPDATE:
      m_window->Tree()->Update(event);
      m_window->FitTree();
      // The dialer fetched again (after a reconnect): an open dialer sheet follows it as after 62.
      if (DialerSheetDialog* sheet = DialerSheet(); sheet && event.code == RC_REQ_GET_DIALER) {
        ViewEvent changed;
        changed.code = RC_NOTIFY_DIALER_CHANGED;
        sheet->DialerUpdate(changed);
      }
      break;
    case VIEW_ACTIVITY: m_window->Activity()->Update(event); break;
    case VIEW_BOTH:
      m_window->Activity()->Update(event);
      m_window->Tree()->Update(event);
      break;
    case VIEW_USER_SHEET:
      // The open Edit User sheet showing that user takes its new figures.
      if (EditUserDialog* sheet = UserSheet();
          sheet && sheet->Logic().Existing() && sheet->Logic().UserName() == event.name)
        sheet->CountersChanged();
      break;
    case VIEW_DIALER:
      // Names and values only: the sheet finds its row by the profile's name.
      if (DialerSheetDialog* sheet = DialerSheet()) sheet->DialerUpdate(event);
      break;
    case VIEW_CACHE:
      // The open cache sheet follows the engine's settings (131); other codes are not for it.
      if (CacheSheetDialog* sheet = CacheSheet(); sheet && event.code == RC_NOTIFY_CACHE_CHANGED) sheet->Reload();
      break;
    default:
      // Every view category has its window above: nothing else to tell.
      break;
  }
  UpdateActions();
}

void LookoutApp::MessageBox(const CString& title, const CString& text, uint32_t style) {
  m_dialogs->ShowMessage(title, text, style);
}

void LookoutApp::SetOnline(bool online, const CString& server) {
  if (!m_window) return;
  m_window->setWindowTitle(QS(WindowTitle(online, server)));
  const ConnectParams& login = m_client->Login();
  m_window->SetStatus(online, QS(login.user), QStringLiteral("%1:%2").arg(QS(login.server)).arg(login.port));
  if (DialerSheetDialog* sheet = DialerSheet()) sheet->OnlineChanged();
  UpdateActions();
}

void LookoutApp::Popup(int kind, const CString& title, const CString& text, const CString& address) {
  if (kind == 2) {
    m_dialogs->ShowReceivedMessage(title, text, address, [this, address](const CString& answer) {
      m_client->Request(RC_REQ_SEND_MESSAGE, address, answer);
    });
  } else {
    m_dialogs->ShowMessage(title, text, MB_EXCLAMATION);
  }
}

void LookoutApp::Command(uint32_t id) {
  // Posted, as a command message would be.
  if (id == kCommandChangePassword) QTimer::singleShot(0, this, [this] { ChangePassword(); });
}

void LookoutApp::PasswordMustChange() {
  // The notice, modal, then the dialog once it is closed: shown together, their stacking was the
  // window manager's choice, and a dialog left behind held the whole program out of reach.
  QTimer::singleShot(0, this, [this] {
    if (m_changingPassword || !m_client->MustChangePassword()) return;
    m_dialogs->Inform(kTitleAuthentication, kTextMustChangePassword, MB_STOP);
    if (m_client->MustChangePassword()) ChangePassword();
  });
}

// ---- Commands -----------------------------------------------------------------------------------

void LookoutApp::GoOnline() {
  if (m_client->IsOnline()) {
    m_client->GoOffline();
    return;
  }
  if (!m_client->CredentialsAccepted()) {
    ConnectParams params = m_client->Login();
    if (!m_dialogs->OnlineOptions(params, [this](ConnectParams& p) { return AcceptOnlineOptions(p, *m_dialogs); }))
      return;
    m_client->Login() = params;
  }
  m_client->GoOnline();
  UpdateActions();
}

void LookoutApp::GoOffline() {
  if (m_client->ConfigurationChanged() &&
      !m_dialogs->AskYesNo(kTitleConfigurationChanged, kTextGoOfflineChanged, MB_STOP))
    return;
  m_client->GoOffline();
  UpdateActions();
}

void LookoutApp::SaveChanges() { m_client->Request(RC_REQ_SAVE_CONFIGURATION); }

void LookoutApp::ChangePassword() {
  if (m_changingPassword) return;
  m_changingPassword = true;
  CString oldPassword, newPassword;
  const bool ok = m_dialogs->ChangePassword(m_client->MustChangePassword(), &oldPassword, &newPassword);
  m_changingPassword = false;
  if (!ok) return;
  // Off-line nothing is sent and the stored password stays (the client changes it only when the
  // engine has done the change).
  m_client->ChangePassword(oldPassword, newPassword);
}

void LookoutApp::OnlineOptions() {
  ConnectParams params = m_client->Login();
  if (!m_dialogs->OnlineOptions(params, [this](ConnectParams& p) { return AcceptOnlineOptions(p, *m_dialogs); }))
    return;
  m_client->Login() = params;
  m_settings.Username = params.user;
  m_settings.TrellisServer = params.server;
  m_settings.TrellisPort = params.port;
  SetOnline(m_client->IsOnline(), params.server);
}

void LookoutApp::ShutdownEngine() {
  if (m_client->ConfigurationChanged() &&
      !m_dialogs->AskYesNo(kTitleConfigurationChanged, kTextShutdownChanged, MB_STOP))
    return;
  m_client->SetConfigurationChanged(false);
  m_client->Request(RC_REQ_SHUTDOWN);
}

void LookoutApp::ConfirmationOptions() { m_dialogs->ConfirmationOptions(m_settings.warnings); }

void LookoutApp::About() { m_dialogs->About(); }

void LookoutApp::Help() {
  if (!m_dialogs->OpenHelp())
    m_dialogs->Inform(kTitleLookout, "The help could not be opened: no web browser is set up on this desktop.",
                      MB_EXCLAMATION);
}

void LookoutApp::Exit() { m_window->close(); }

void LookoutApp::ToggleAlwaysOnTop() {
  m_alwaysOnTop = !m_alwaysOnTop;
  // Keeps position and size; a window manager may ignore the hint.
  const QRect g = m_window->geometry();
  const bool visible = m_window->isVisible();
  m_window->setWindowFlag(Qt::WindowStaysOnTopHint, m_alwaysOnTop);
  m_window->setGeometry(g);
  if (visible) m_window->show();
  UpdateActions();
}

void LookoutApp::Terminate() { m_window->Activity()->Terminate(); }
void LookoutApp::SendMessage() { m_window->Activity()->SendMessage(); }
void LookoutApp::MachineProperties() { m_window->Activity()->Properties(); }
void LookoutApp::CopyLocation() { m_window->Activity()->CopyResourceLocation(); }
void LookoutApp::DeleteEntry() { m_window->Tree()->Delete(); }
void LookoutApp::StartService() { m_window->Tree()->StartService(true); }
void LookoutApp::StopService() { m_window->Tree()->StartService(false); }

// ---- Editors --------------------------------------------------------------------------------------

EditUserDialog* LookoutApp::UserSheet() const {
  return m_window ? m_window->findChild<EditUserDialog*>(QStringLiteral("EditUserSheet")) : nullptr;
}

void LookoutApp::OpenProperties(int kind, const CString& name) {
  if (!m_window) return;
  if (!m_userDialogs) m_userDialogs = std::make_unique<QtUserDialogs>(*m_prompter, m_window.get());
  if (!m_recipientDialogs)
    m_recipientDialogs = std::make_unique<QtRecipientDialogs>(*m_client, *m_prompter, m_window.get());
  QDialog* dlg = nullptr;
  if (kind == ENTRY_USER) {
    // One Edit User sheet at a time: the counter updates go to the one that is open.
    if (EditUserDialog* open = UserSheet()) {
      open->raise();
      open->activateWindow();
      return;
    }
    dlg = new EditUserDialog(*m_client, name, *m_prompter, *m_userDialogs, m_window.get());
  } else if (kind == ENTRY_GROUP) {
    dlg = new GroupEditDialog(*m_client, name, *m_prompter, m_window.get());
  } else if (kind == ENTRY_SERVICE) {
    if (!m_client->Mirrors().services->Lookup(name)) return;
    dlg = new EditServiceDialog(
        std::make_unique<EditServiceSheet>(*m_client, name, m_settings.warnings.BindExternal != 0), *m_prompter,
        m_window.get(), m_recipientDialogs.get());
  } else {
    return;
  }
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->open();
}

DialerSheetDialog* LookoutApp::DialerSheet() const {
  if (!m_window) return nullptr;
  // A sheet that was closed waits for its deletion hidden; it is not the open one.
  for (DialerSheetDialog* d : m_window->findChildren<DialerSheetDialog*>(QStringLiteral("DialerSheet")))
    if (d->isVisible()) return d;
  return nullptr;
}

void LookoutApp::OpenDialer() {
  if (!m_window || !m_client->Mirrors().dialer) return;
  // One dialer sheet at a time: the dialer's notifications go to the one that is open.
  if (DialerSheetDialog* open = DialerSheet()) {
    open->raise();
    open->activateWindow();
    return;
  }
  if (!m_recipientDialogs)
    m_recipientDialogs = std::make_unique<QtRecipientDialogs>(*m_client, *m_prompter, m_window.get());
  auto* dlg = new DialerSheetDialog(
      *m_client, *m_prompter, m_recipientDialogs.get(),
      [](int n) { return n >= 0 && n < IMAGE_COUNT ? TreeImages()[n] : QIcon(); }, m_window.get());
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->open();
}

void LookoutApp::OpenSystemPolicies() {
  // Nothing to edit before the engine has sent its rights.
  if (!m_window || m_client->Mirrors().rights.empty()) return;
  if (auto* open = m_window->findChild<SystemPoliciesDialog*>(QStringLiteral("SystemPolicies"))) {
    open->raise();
    open->activateWindow();
    return;
  }
  if (!m_recipientDialogs)
    m_recipientDialogs = std::make_unique<QtRecipientDialogs>(*m_client, *m_prompter, m_window.get());
  auto* dlg = new SystemPoliciesDialog(*m_client, *m_prompter, *m_recipientDialogs, m_window.get());
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->open();
}

CacheSheetDialog* LookoutApp::CacheSheet() const {
  // A closed sheet waits for its deletion hidden: it is no longer the open one.
  for (auto* sheet : m_window ? m_window->findChildren<CacheSheetDialog*>(QStringLiteral("CacheSheet"))
                              : QList<CacheSheetDialog*>())
    if (sheet->isVisible()) return sheet;
  return nullptr;
}

void LookoutApp::OpenRoot(int code) {
  if (!m_window || code != RC_REQ_GET_CACHE) return;
  // One cache sheet at a time: notification 131 goes to the one that is open.
  if (CacheSheetDialog* open = CacheSheet()) {
    open->raise();
    open->activateWindow();
    return;
  }
  // The root shows only once the engine answered with its settings; without them nothing opens.
  if (!::CacheSheet::Available(*m_client)) return;
  auto* dlg = new CacheSheetDialog(*m_client, *m_prompter,
                                   std::make_unique<QtCriterionDialogs>(*m_prompter, m_window.get()), m_window.get());
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->open();
}

void LookoutApp::NewUser() { OpenProperties(ENTRY_USER, CString()); }
void LookoutApp::NewGroup() { OpenProperties(ENTRY_GROUP, CString()); }

void LookoutApp::NewService(const CString& className) {
  if (!m_window) return;
  const CRuntimeClass* cls = CRuntimeClass::FromName(className);
  auto service = cls ? std::dynamic_pointer_cast<CServiceSettings>(cls->CreateObject()) : nullptr;
  if (!service) return;
  if (!m_recipientDialogs)
    m_recipientDialogs = std::make_unique<QtRecipientDialogs>(*m_client, *m_prompter, m_window.get());
  auto* dlg = new EditServiceDialog(
      std::make_unique<EditServiceSheet>(*m_client, service, m_settings.warnings.BindExternal != 0), *m_prompter,
      m_window.get(), m_recipientDialogs.get());
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->open();
}

void LookoutApp::OpenScheduler() {
  if (!m_window || !m_client->Mirrors().scheduler) return;
  // One scheduler sheet at a time: its OK replaces the whole scheduler.
  if (auto* open = m_window->findChild<SchedulerSheetDialog*>(QStringLiteral("SchedulerSheet"))) {
    open->raise();
    open->activateWindow();
    return;
  }
  auto* dlg = new SchedulerSheetDialog(*m_client, *m_prompter, m_window.get());
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->open();
}

void LookoutApp::OpenAssumedUsers() {
  if (!m_window) return;
  // One sheet at a time: two would each send their own copy of the same two tables.
  if (auto* open = m_window->findChild<AssumedUsersDialog*>(QStringLiteral("AssumedUsersSheet"))) {
    open->raise();
    open->activateWindow();
    return;
  }
  auto* dlg = new AssumedUsersDialog(*m_client, *m_prompter, nullptr, m_window.get());
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->open();
}
