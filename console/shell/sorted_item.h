#pragma once
// Tree items kept in case-insensitive order of their text (the trees insert sorted).
#include <QTreeWidgetItem>

class SortedItem : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    const int c = text(0).compare(other.text(0), Qt::CaseInsensitive);
    return c != 0 ? c < 0 : text(0) < other.text(0);
  }
};

// Item data roles of both trees.
enum : int {
  ROLE_KIND = Qt::UserRole,  // tree_entry.h ENTRY_...
  ROLE_KEY,                  // name, or a machine's address
  ROLE_NUMBER,               // a session's number; a root's code
  ROLE_IMAGE,                // the picture number shown
  ROLE_USER,                 // machines and sessions: the user name
  ROLE_LEVEL,                // machines and sessions: the security level
};
