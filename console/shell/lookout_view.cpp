#include "console/shell/lookout_view.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>

#include "console/model/console_texts.h"
#include "console/model/tree_entry.h"
#include "console/model/tree_images.h"
#include "console/shell/sorted_item.h"
#include "engine/remote/rc_codes.h"

LookoutView::LookoutView(ConsoleHost& host, QWidget* parent) : QTreeWidget(parent), m_host(host) {
  setObjectName("configurationTree");
  setHeaderHidden(true);
  setColumnCount(1);
  setSortingEnabled(true);
  sortByColumn(0, Qt::AscendingOrder);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  const int icon = fontMetrics().height();
  setIconSize(QSize(icon, icon));
  // Texts are never cut short: a column as wide as its longest entry, scrolled when wider than the
  // pane.
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    setCurrentItem(item);
    Properties();
  });
}

void LookoutView::Properties() {
  QTreeWidgetItem* item = currentItem();
  if (!item) return;
  const int kind = item->data(0, ROLE_KIND).toInt();
  if (kind == ENTRY_USER || kind == ENTRY_GROUP || kind == ENTRY_SERVICE)
    m_host.OpenProperties(kind, item->data(0, ROLE_KEY).toString().toStdString());
  else if (kind == ENTRY_ROOT)
    m_host.OpenRoot(item->data(0, ROLE_NUMBER).toInt());
  if (kind == ENTRY_ROOT && item->data(0, ROLE_NUMBER).toInt() == RC_REQ_GET_POLICIES) m_host.OpenSystemPolicies();
  if (IsSchedulerRoot(item)) m_host.OpenScheduler();
  if (kind == ENTRY_ROOT && item->data(0, ROLE_NUMBER).toInt() == RC_REQ_GET_ASSUMPTIONS) m_host.OpenAssumedUsers();
  if (IsDialerRoot(item)) m_host.OpenDialer();
}

bool LookoutView::IsSchedulerRoot(const QTreeWidgetItem* item) const {
  return item && item->data(0, ROLE_KIND).toInt() == ENTRY_ROOT &&
         item->data(0, ROLE_NUMBER).toInt() == RC_REQ_GET_SCHEDULER && m_host.Client().Mirrors().scheduler;
}

bool LookoutView::IsDialerRoot(const QTreeWidgetItem* item) {
  return item && item->data(0, ROLE_KIND).toInt() == ENTRY_ROOT &&
         item->data(0, ROLE_NUMBER).toInt() == RC_REQ_GET_DIALER;
}

QTreeWidgetItem* LookoutView::MakeRoot(int code, const char* text, int image) {
  // Building a root again replaces it: a second get never duplicates it.
  delete m_roots.take(code);
  auto* root = new SortedItem();
  root->setText(0, QString::fromLatin1(text));
  root->setIcon(0, TreeImages()[image]);
  root->setData(0, ROLE_KIND, ENTRY_ROOT);
  root->setData(0, ROLE_NUMBER, code);
  root->setData(0, ROLE_IMAGE, image);
  addTopLevelItem(root);
  m_roots.insert(code, root);
  return root;
}

QTreeWidgetItem* LookoutView::Entry(int kind, const QString& name) const {
  QTreeWidgetItem* root = nullptr;
  switch (kind) {
    case ENTRY_USER: root = Root(RC_REQ_GET_USERS); break;
    case ENTRY_GROUP: root = Root(kGroupsRoot); break;
    case ENTRY_SERVICE: root = Root(RC_REQ_GET_SERVICES); break;
    default: return nullptr;
  }
  if (!root) return nullptr;
  for (int i = 0; i < root->childCount(); ++i)
    if (root->child(i)->data(0, ROLE_KEY).toString() == name) return root->child(i);
  return nullptr;
}

QTreeWidgetItem* LookoutView::Put(QTreeWidgetItem* root, int kind, const QString& name, int image) {
  if (!root) return nullptr;
  QTreeWidgetItem* item = Entry(kind, name);
  if (!item) {
    item = new SortedItem(root);
    item->setData(0, ROLE_KIND, kind);
    item->setData(0, ROLE_KEY, name);
  }
  item->setText(0, name);
  item->setIcon(0, TreeImages()[image]);
  item->setData(0, ROLE_IMAGE, image);
  return item;
}

void LookoutView::BuildUsers() {
  QTreeWidgetItem* users = MakeRoot(RC_REQ_GET_USERS, "Users", IMAGE_USER);
  QTreeWidgetItem* groups = MakeRoot(kGroupsRoot, "Groups", IMAGE_GROUP);
  for (const auto& [name, obj] : m_host.Client().Mirrors().users->Snapshot()) {
    if (std::dynamic_pointer_cast<CUser>(obj))
      Put(users, ENTRY_USER, QS(name), IMAGE_USER);
    else if (std::dynamic_pointer_cast<CGroup>(obj))
      Put(groups, ENTRY_GROUP, QS(name), IMAGE_GROUP);
  }
}

void LookoutView::BuildServices() {
  QTreeWidgetItem* root = MakeRoot(RC_REQ_GET_SERVICES, "Services", IMAGE_SERVICE_RUNNING);
  for (const auto& [name, obj] : m_host.Client().Mirrors().services->Snapshot()) {
    auto svc = std::dynamic_pointer_cast<CServiceSettings>(obj);
    if (svc) Put(root, ENTRY_SERVICE, QS(name), ServiceImage(svc->GetReportedRunningState()));
  }
}

void LookoutView::Update(const ViewEvent& ev) {
  const QString name = QS(ev.name);
  switch (ev.code) {
    case kViewClear:
      clear();
      m_roots.clear();
      return;
    case RC_REQ_GET_USERS: BuildUsers(); return;
    case RC_REQ_GET_SERVICES: BuildServices(); return;
    case RC_REQ_GET_POLICIES: MakeRoot(ev.code, "System Policies", IMAGE_POLICIES); return;
    case RC_REQ_GET_ASSUMPTIONS: MakeRoot(ev.code, "Assumed Users", IMAGE_ASSUMED); return;
    case RC_REQ_GET_DIALER: MakeRoot(ev.code, "Dialing", IMAGE_DIALING); return;
    case RC_REQ_GET_CACHE: MakeRoot(ev.code, "Caching", IMAGE_CACHED); return;
    case RC_REQ_GET_SCHEDULER: MakeRoot(ev.code, "Scheduler", IMAGE_SCHEDULER); return;
    case RC_NOTIFY_USER_ADDED: Put(Root(RC_REQ_GET_USERS), ENTRY_USER, name, IMAGE_USER); return;
    case RC_NOTIFY_GROUP_ADDED: Put(Root(kGroupsRoot), ENTRY_GROUP, name, IMAGE_GROUP); return;
    case RC_NOTIFY_USER_DELETED: delete Entry(ENTRY_USER, name); return;
    case RC_NOTIFY_GROUP_DELETED: delete Entry(ENTRY_GROUP, name); return;
    case RC_NOTIFY_SERVICE_DELETED: delete Entry(ENTRY_SERVICE, name); return;
    case RC_NOTIFY_SERVICE_ADDED:
    case RC_NOTIFY_SERVICE_CHANGED: {
      auto svc = m_host.Client().Mirrors().services->LookupAs<CServiceSettings>(ev.name);
      const int image = ServiceImage(svc ? svc->GetReportedRunningState() : 0);
      if (ev.code == RC_NOTIFY_SERVICE_CHANGED && !Entry(ENTRY_SERVICE, name)) return;
      Put(Root(RC_REQ_GET_SERVICES), ENTRY_SERVICE, name, image);
      return;
    }
    case RC_NOTIFY_SERVICE_STATE:
      if (QTreeWidgetItem* item = Entry(ENTRY_SERVICE, name)) {
        const int image = ServiceImage(ev.runningState);
        item->setIcon(0, TreeImages()[image]);
        item->setData(0, ROLE_IMAGE, image);
      }
      return;
    default: return;
  }
}

bool LookoutView::CanDelete() const {
  QTreeWidgetItem* item = currentItem();
  if (!item || !m_host.Client().IsOnline()) return false;
  const int kind = item->data(0, ROLE_KIND).toInt();
  return kind == ENTRY_USER || kind == ENTRY_GROUP || kind == ENTRY_SERVICE;
}

bool LookoutView::IsServiceSelected() const {
  QTreeWidgetItem* item = currentItem();
  return item && item->data(0, ROLE_KIND).toInt() == ENTRY_SERVICE && m_host.Client().IsOnline();
}

void LookoutView::Delete() {
  if (!CanDelete()) return;
  QTreeWidgetItem* item = currentItem();
  const int kind = item->data(0, ROLE_KIND).toInt();
  const CString name = item->data(0, ROLE_KEY).toString().toStdString();
  const char* word = kind == ENTRY_USER ? "user" : kind == ENTRY_GROUP ? "group" : "service";
  const ConsoleWarnings& w = m_host.Settings().warnings;
  const bool ask = kind == ENTRY_SERVICE ? w.DeleteService != 0 : w.DeleteUserGroup != 0;
  if (ask && !m_host.Dialogs().AskYesNo(kTitleConfirmDeletion, DeleteConfirmationText(word, name), MB_EXCLAMATION))
    return;
  const uint16_t code = kind == ENTRY_USER    ? RC_REQ_DELETE_USER
                        : kind == ENTRY_GROUP ? RC_REQ_DELETE_GROUP
                                              : RC_REQ_DELETE_SERVICE;
  m_host.Client().Request(code, name);
}

void LookoutView::StartService(bool start) {
  if (!IsServiceSelected()) return;
  m_host.Client().Request(RC_REQ_START_STOP_SERVICE, currentItem()->data(0, ROLE_KEY).toString().toStdString(),
                          start ? "1" : "0");
}

QMenu* LookoutView::BuildMenu() {
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  if (IsServiceSelected()) {
    QAction* start = menu->addAction(QStringLiteral("Start service"));
    start->setObjectName("c32839");
    connect(start, &QAction::triggered, this, [this] { StartService(true); });
    QAction* stop = menu->addAction(QStringLiteral("Stop service"));
    stop->setObjectName("c32840");
    connect(stop, &QAction::triggered, this, [this] { StartService(false); });
    menu->addSeparator();
  }
  QTreeWidgetItem* item = currentItem();
  const int kind = item ? item->data(0, ROLE_KIND).toInt() : -1;
  if (kind == ENTRY_USER || kind == ENTRY_GROUP || kind == ENTRY_SERVICE || IsSchedulerRoot(item) ||
      IsDialerRoot(item)) {
    QAction* props = menu->addAction(QStringLiteral("Properties"));
    props->setObjectName("c32842");
    connect(props, &QAction::triggered, this, &LookoutView::Properties);
  }
  if (m_host.Client().Mirrors().users->GetCount() > 0) {
    QAction* user = menu->addAction(QStringLiteral("New User..."));
    user->setObjectName("c32846");
    connect(user, &QAction::triggered, this, [this] { m_host.NewUser(); });
    QAction* group = menu->addAction(QStringLiteral("New Group..."));
    group->setObjectName("c32847");
    connect(group, &QAction::triggered, this, [this] { m_host.NewGroup(); });
  }
  if (m_host.Client().Mirrors().services->GetCount() > 0) {
    // Every service class the engine runs, each on its own settings class's first values.
    const struct {
      int id;
      const char* text;
      const char* className;
    } kinds[] = {{32852, "New DNS Service...", "CDNSService"},
                 {32856, "New FTP Service...", "CFTPService"},
                 {32857, "New POP3 Service...", "CPOP3Service"},
                 {32855, "New RealAudio Service...", "CRealAudioService"},
                 {32853, "New SOCKS Service...", "CSOCKSService"},
                 {32860, "New TCP Mapping Service...", "CTCPMappingService"},
                 {32859, "New UDP Mapping Service...", "CUDPMappingService"},
                 {32854, "New VDOLive Service...", "CVDOLiveService"},
                 {32851, "New Remote Control Service...", "CRemoteControlService"},
                 {32858, "New WWW Service...", "CWWWService"},
                 {32863, "New Telnet Service...", "CTelnetService"},
                 {32878, "New XDMA Service...", "CXDMAService"},
                 {32879, "New DHCP Server...", "CDHCPService"}};
    for (const auto& k : kinds) {
      QAction* a = menu->addAction(QString::fromLatin1(k.text));
      a->setObjectName(QStringLiteral("c%1").arg(k.id));
      const CString className = k.className;
      connect(a, &QAction::triggered, this, [this, className] { m_host.NewService(className); });
    }
  }
  if (m_host.Client().Mirrors().users->GetCount() > 0 || m_host.Client().Mirrors().services->GetCount() > 0) {
    menu->addSeparator();
  }
  QAction* del = menu->addAction(QStringLiteral("Delete"));
  del->setObjectName("c32843");
  del->setEnabled(CanDelete());
  connect(del, &QAction::triggered, this, &LookoutView::Delete);
  return menu;
}

void LookoutView::contextMenuEvent(QContextMenuEvent* event) {
  QTreeWidgetItem* item = itemAt(event->pos());
  if (!item) return;
  setCurrentItem(item);
  BuildMenu()->popup(event->globalPos() + QPoint(5, 0));
}
