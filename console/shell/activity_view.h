#pragma once
// The activity view: the engine's client machines and, under each, its user line and its open
// sessions, live from the notifications 71-76 (and 4, which clears it). Entries are keyed by the
// machine's address and by (address, session number), never by pointers, so a removed machine
// takes its sessions with it and a reused number finds the live entry.
#include <QMap>
#include <QPair>
#include <QTreeWidget>

#include "console/shell/console_host.h"

class QAction;
class QMenu;

class ActivityView : public QTreeWidget {
  Q_OBJECT

 public:
  ActivityView(ConsoleHost& host, QWidget* parent = nullptr);

  void Update(const ViewEvent& event);

  QTreeWidgetItem* MachineItem(const QString& address) const { return m_machines.value(address); }
  QTreeWidgetItem* SessionItem(const QString& address, uint32_t number) const {
    return m_sessions.value({address, number});
  }
  // The context menu for the selected item, its entries enabled by the rules (tests look at it).
  QMenu* BuildMenu();

  // The view's commands on the selected item.
  void Terminate();
  void SendMessage();
  void Properties();
  void CopyResourceLocation();
  // Whether each command applies to the selection now.
  bool CanTerminate() const;
  bool CanSendMessage() const;
  bool CanCopy() const;
  bool HasMachine() const;

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Clear();
  void SetMachine(QTreeWidgetItem* item, const CMachineRecord& machine);
  QTreeWidgetItem* Selected() const;
  QString SelectedAddress() const;
  // Before item goes: when the selection is on it or under it, it moves to a neighbour of the same
  // kind (the next, else the one before), a session's else to its machine, or else to nothing; the
  // tree's own choice could be any entry, the console's own log-in among them, which the next
  // Terminate would then end.
  void SelectNeighbourOf(QTreeWidgetItem* item);

  ConsoleHost& m_host;
  QMap<QString, QTreeWidgetItem*> m_machines;
  QMap<QPair<QString, uint32_t>, QTreeWidgetItem*> m_sessions;
};
