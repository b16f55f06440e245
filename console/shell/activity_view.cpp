#include "console/shell/activity_view.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>

#include "console/model/console_texts.h"
#include "console/model/tree_entry.h"
#include "console/model/tree_images.h"
#include "console/shell/sorted_item.h"
#include "engine/config/util.h"
#include "engine/remote/rc_codes.h"

ActivityView::ActivityView(ConsoleHost& host, QWidget* parent) : QTreeWidget(parent), m_host(host) {
  setObjectName("activityView");
  setHeaderHidden(true);
  setColumnCount(1);
  setSortingEnabled(true);
  sortByColumn(0, Qt::AscendingOrder);
  setRootIsDecorated(true);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  const int icon = fontMetrics().height();
  setIconSize(QSize(icon, icon));
  // Texts are never cut short: a column as wide as its longest entry, scrolled when wider than the
  // pane.
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
}

void ActivityView::Clear() {
  // The whole model goes: no item of a session can outlive the entries it stood for.
  clear();
  m_machines.clear();
  m_sessions.clear();
}

void ActivityView::SetMachine(QTreeWidgetItem* item, const CMachineRecord& m) {
  item->setText(0, QS(MachineEntryText(m.ComputerName, m.Address)));
  item->setIcon(0, TreeImages()[IMAGE_MACHINE]);
  item->setData(0, ROLE_IMAGE, IMAGE_MACHINE);
  item->setData(0, ROLE_USER, QS(m.UserName));
  item->setData(0, ROLE_LEVEL, m.SecurityLevel);
  for (int i = 0; i < item->childCount(); ++i) {
    QTreeWidgetItem* child = item->child(i);
    if (child->data(0, ROLE_KIND).toInt() == ENTRY_USER_LINE) {
      child->setText(0, QS(UserLineText(m.UserName, m.SecurityLevel)));
      child->setIcon(0, TreeImages()[UserLineImage(m.SecurityLevel)]);
    } else {
      child->setData(0, ROLE_USER, QS(m.UserName));
      child->setData(0, ROLE_LEVEL, m.SecurityLevel);
    }
  }
}

void ActivityView::Update(const ViewEvent& ev) {
  const QString address = QS(ev.name);
  switch (ev.code) {
    case kViewClear: Clear(); return;
    case RC_NOTIFY_MACHINE_ADDED:
    case RC_NOTIFY_MACHINE_CHANGED: {
      QTreeWidgetItem* item = m_machines.value(address);
      if (!item) {
        if (ev.code == RC_NOTIFY_MACHINE_CHANGED) return;
        item = new SortedItem();
        item->setData(0, ROLE_KIND, ENTRY_MACHINE);
        item->setData(0, ROLE_KEY, address);
        auto* line = new SortedItem(item);
        line->setData(0, ROLE_KIND, ENTRY_USER_LINE);
        line->setData(0, ROLE_KEY, address);
        addTopLevelItem(item);
        m_machines.insert(address, item);
        // Sessions announced before their machine sat at the top; they move under it now.
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
          if (it.key().first != address || it.value()->parent()) continue;
          QTreeWidgetItem* orphan = takeTopLevelItem(indexOfTopLevelItem(it.value()));
          if (orphan) item->addChild(orphan);
        }
      }
      SetMachine(item, ev.machine);
      item->setExpanded(true);
      return;
    }
    case RC_NOTIFY_MACHINE_REMOVED: {
      for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (it.key().first == address) {
          if (!it.value()->parent()) delete it.value();  // an orphan at the top
          it = m_sessions.erase(it);
        } else {
          ++it;
        }
      }
      SelectNeighbourOf(m_machines.value(address));
      delete m_machines.take(address);  // its children go with it
      return;
    }
    case RC_NOTIFY_SESSION_ADDED:
    case RC_NOTIFY_SESSION_CHANGED: {
      const QPair<QString, uint32_t> key{address, ev.session.number};
      QTreeWidgetItem* item = m_sessions.value(key);
      if (!item) {
        item = new SortedItem();
        item->setData(0, ROLE_KIND, ENTRY_SESSION);
        item->setData(0, ROLE_KEY, address);
        item->setData(0, ROLE_NUMBER, ev.session.number);
        if (QTreeWidgetItem* machine = m_machines.value(address)) {
          machine->addChild(item);
          machine->setExpanded(true);
        } else {
          addTopLevelItem(item);
        }
        m_sessions.insert(key, item);
        item->setText(0, QS(ev.session.description));
        const int image = SessionImage(ev.session.description);
        item->setIcon(0, TreeImages()[image]);
        item->setData(0, ROLE_IMAGE, image);
      } else {
        const SessionLook look = UpdatedSessionLook(ev.session.description, item->data(0, ROLE_IMAGE).toInt());
        item->setText(0, QS(look.text));
        item->setIcon(0, TreeImages()[look.image]);
        item->setData(0, ROLE_IMAGE, look.image);
      }
      item->setData(0, ROLE_USER, QS(ev.session.userName));
      item->setData(0, ROLE_LEVEL, ev.session.level);
      return;
    }
    case RC_NOTIFY_SESSION_ENDED:
      SelectNeighbourOf(m_sessions.value({address, ev.session.number}));
      delete m_sessions.take({address, ev.session.number});
      return;
    default: return;
  }
}

void ActivityView::SelectNeighbourOf(QTreeWidgetItem* item) {
  if (!item) return;
  QTreeWidgetItem* current = currentItem();
  bool inside = false;
  for (QTreeWidgetItem* i = current; i && !inside; i = i->parent()) inside = i == item;
  if (!inside) return;
  const int kind = item->data(0, ROLE_KIND).toInt();
  QTreeWidgetItem* parent = item->parent();
  auto at = [&](int i) { return parent ? parent->child(i) : topLevelItem(i); };
  const int count = parent ? parent->childCount() : topLevelItemCount();
  const int index = parent ? parent->indexOfChild(item) : indexOfTopLevelItem(item);
  QTreeWidgetItem* next = nullptr;
  for (int i = index + 1; i < count && !next; ++i)
    if (at(i)->data(0, ROLE_KIND).toInt() == kind) next = at(i);
  for (int i = index - 1; i >= 0 && !next; --i)
    if (at(i)->data(0, ROLE_KIND).toInt() == kind) next = at(i);
  if (!next) next = parent;
  if (next) {
    setCurrentItem(next);
  } else {
    setCurrentItem(nullptr);
    clearSelection();
  }
}

QTreeWidgetItem* ActivityView::Selected() const {
  QTreeWidgetItem* item = currentItem();
  if (item && item->data(0, ROLE_KIND).toInt() == ENTRY_USER_LINE) item = item->parent();
  return item;
}

QString ActivityView::SelectedAddress() const {
  QTreeWidgetItem* item = Selected();
  return item ? item->data(0, ROLE_KEY).toString() : QString();
}

bool ActivityView::HasMachine() const { return Selected() != nullptr; }

bool ActivityView::CanTerminate() const { return Selected() && m_host.Client().IsOnline(); }

bool ActivityView::CanSendMessage() const {
  QTreeWidgetItem* item = Selected();
  return item && m_host.Client().IsOnline() && CanSendMessageTo(item->data(0, ROLE_LEVEL).toUInt());
}

bool ActivityView::CanCopy() const {
  QTreeWidgetItem* item = Selected();
  return item && item->data(0, ROLE_KIND).toInt() == ENTRY_SESSION && IsResourceLocation(item->text(0).toStdString());
}

void ActivityView::Terminate() {
  QTreeWidgetItem* item = Selected();
  if (!item || !m_host.Client().IsOnline()) return;
  const CString address = item->data(0, ROLE_KEY).toString().toStdString();
  const bool session = item->data(0, ROLE_KIND).toInt() == ENTRY_SESSION;
  const uint32_t number = item->data(0, ROLE_NUMBER).toUInt();
  if (m_host.Settings().warnings.DeleteSession &&
      !m_host.Dialogs().AskYesNo(kTitleConfirmTermination, kTextConfirmTermination, MB_EXCLAMATION))
    return;
  if (session)
    m_host.Client().Request(RC_REQ_TERMINATE_SESSION, address, FormatString("%u", number));
  else
    m_host.Client().Request(RC_REQ_TERMINATE_MACHINE, address);
}

void ActivityView::SendMessage() {
  QTreeWidgetItem* item = Selected();
  if (!CanSendMessage()) return;
  const CString address = item->data(0, ROLE_KEY).toString().toStdString();
  const CString user = item->data(0, ROLE_USER).toString().toStdString();
  CString text;
  if (m_host.Dialogs().WriteMessage("Message to " + user + " on " + address, &text))
    m_host.Client().Request(RC_REQ_SEND_MESSAGE, address, text);
}

void ActivityView::Properties() {
  const CString address = SelectedAddress().toStdString();
  const auto& machines = m_host.Client().Mirrors().machines;
  auto it = machines.find(address);
  if (it != machines.end()) m_host.Dialogs().MachineProperties(it->second.record);
}

void ActivityView::CopyResourceLocation() {
  if (!CanCopy()) return;
  QGuiApplication::clipboard()->setText(Selected()->text(0));
}

QMenu* ActivityView::BuildMenu() {
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  QTreeWidgetItem* item = Selected();
  const bool session = item && item->data(0, ROLE_KIND).toInt() == ENTRY_SESSION;
  const QString address = SelectedAddress();
  const QString user = item ? item->data(0, ROLE_USER).toString() : QString();
  QAction* terminate = menu->addAction(session ? QStringLiteral("Terminate session")
                                               : QStringLiteral("Terminate all sessions on %1").arg(address));
  terminate->setObjectName("c32799");
  terminate->setEnabled(CanTerminate());
  connect(terminate, &QAction::triggered, this, &ActivityView::Terminate);
  QAction* props = menu->addAction(QStringLiteral("Properties"));
  props->setObjectName("c32800");
  props->setEnabled(HasMachine());
  connect(props, &QAction::triggered, this, &ActivityView::Properties);
  QAction* send = menu->addAction(QStringLiteral("Send Message to %1").arg(user));
  send->setObjectName("c32801");
  send->setEnabled(CanSendMessage());
  connect(send, &QAction::triggered, this, &ActivityView::SendMessage);
  QAction* copy = menu->addAction(QStringLiteral("Copy Resource Location"));
  copy->setObjectName("c32886");
  copy->setEnabled(CanCopy());
  connect(copy, &QAction::triggered, this, &ActivityView::CopyResourceLocation);
  return menu;
}

void ActivityView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier) {
    Terminate();
    return;
  }
  QTreeWidget::keyPressEvent(event);
}

void ActivityView::contextMenuEvent(QContextMenuEvent* event) {
  QTreeWidgetItem* item = itemAt(event->pos());
  if (!item) return;
  setCurrentItem(item);
  BuildMenu()->popup(event->globalPos() + QPoint(5, 0));
}
