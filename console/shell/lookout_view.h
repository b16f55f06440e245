#pragma once
// The configuration tree: one root per part of the engine's configuration that the console has
// fetched, and the users, groups and services under their roots, kept current by the replies and
// notifications of the protocol state. Entries are keyed by (kind, name): a notification that
// replaces an object updates its entry, and building a root again replaces it whole.
#include <QMap>
#include <QTreeWidget>

#include "console/shell/console_host.h"

class QMenu;

class LookoutView : public QTreeWidget {
  Q_OBJECT

 public:
  LookoutView(ConsoleHost& host, QWidget* parent = nullptr);

  void Update(const ViewEvent& event);

  // The root of a get's code (20 gives Users, 21 stands for Groups), or null.
  QTreeWidgetItem* Root(int code) const { return m_roots.value(code); }
  QTreeWidgetItem* Entry(int kind, const QString& name) const;
  QMenu* BuildMenu();
  // The width the longest visible entry needs.
  int ContentWidth() const { return sizeHintForColumn(0); }

  // Commands on the selected entry.
  void Delete();
  void StartService(bool start);
  bool CanDelete() const;
  bool IsServiceSelected() const;
  // Properties of the selected user, group or service, or the scheduler sheet on the Scheduler
  // root (also a double click).
  void Properties();
  // The Dialing root, whose properties are the dialer's sheet.
  static bool IsDialerRoot(const QTreeWidgetItem* item);
  // The Scheduler root, once the scheduler has been fetched.
  bool IsSchedulerRoot(const QTreeWidgetItem* item) const;

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  QTreeWidgetItem* MakeRoot(int code, const char* text, int image);
  QTreeWidgetItem* Put(QTreeWidgetItem* root, int kind, const QString& name, int image);
  void BuildUsers();
  void BuildServices();

  ConsoleHost& m_host;
  QMap<int, QTreeWidgetItem*> m_roots;
};

// The root code that stands for the Groups root (the Users root has 20).
inline constexpr int kGroupsRoot = 21;
