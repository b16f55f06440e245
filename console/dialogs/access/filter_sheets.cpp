#include "console/dialogs/access/filter_sheets.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <functional>

#include "console/dialogs/access/filter_tree.h"
#include "console/dialogs/access/filter_tree_page.h"
#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/model/list_images.h"
#include "console/model/tree_images.h"

namespace {

// Calls back for Insert and Delete pressed in a watched widget.
class KeyFilter : public QObject {
 public:
  KeyFilter(QObject* parent, std::function<void()> insert, std::function<void()> remove)
      : QObject(parent), m_insert(std::move(insert)), m_remove(std::move(remove)) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Insert) {
        m_insert();
        return true;
      }
      if (key == Qt::Key_Delete) {
        m_remove();
        return true;
      }
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> m_insert, m_remove;
};

class BanListWidget : public TabPage {
 public:
  explicit BanListWidget(BanListPage& logic) : TabPage(QStringLiteral("Ban list")), m_logic(logic) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_enable = Named(new QCheckBox(QStringLiteral("E&nable ban list"), this), BanListPage::ENABLE));
    auto* note = new QLabel(
        QStringLiteral("A match on any of these criteria will result in the right not being granted to this recipient"),
        this);
    note->setWordWrap(true);
    layout->addWidget(note);
    m_list = Named(new QTreeWidget(this), BanListPage::LIST);
    m_list->setRootIsDecorated(false);
    m_list->setHeaderLabels({QStringLiteral("Banned criteria")});
    m_list->setColumnWidth(0, 290);
    layout->addWidget(m_list, 1);
    auto* buttons = new QHBoxLayout;
    auto* add = Button(BanListPage::ADD, "&Add", this);
    auto* edit = Button(BanListPage::EDIT, "&Edit", this);
    auto* remove = Button(BanListPage::REMOVE, "&Delete", this);
    buttons->addWidget(add);
    buttons->addWidget(edit);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    connect(m_enable, &QCheckBox::toggled, this, [this](bool on) {
      m_logic.enabled = on;
      ApplyStates(this, m_logic.States());
    });
    connect(add, &QPushButton::clicked, this, [this] { Add(); });
    connect(edit, &QPushButton::clicked, this, [this] { Edit(); });
    connect(remove, &QPushButton::clicked, this, [this] { Remove(); });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this] { Edit(); });
    m_list->installEventFilter(new KeyFilter(
        this, [this] { Add(); }, [this] { Remove(); }));
  }
  void LoadControls() override {
    m_enable->setChecked(m_logic.enabled);
    Refill(-1);
  }
  bool StoreControls() override {
    m_logic.enabled = m_enable->isChecked();
    return true;
  }

 private:
  int Row() const {
    QTreeWidgetItem* item = m_list->currentItem();
    return item ? m_list->indexOfTopLevelItem(item) : -1;
  }
  void Add() {
    if (m_logic.Add()) Refill(static_cast<int>(m_logic.Rows().size()) - 1);
  }
  void Edit() {
    const int row = Row();
    if (row >= 0 && m_logic.Edit(static_cast<size_t>(row))) Refill(row);
  }
  void Remove() {
    const int row = Row();
    if (row >= 0 && m_logic.Remove(static_cast<size_t>(row))) Refill(-1);
  }
  void Refill(int select) {
    m_list->clear();
    const QIcon& icon = TreeImages()[LIST_IMAGE_CRITERION];
    for (const CString& text : m_logic.Rows()) new QTreeWidgetItem(m_list, {Q(text)});
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) m_list->topLevelItem(i)->setIcon(0, icon);
    if (select >= 0 && select < m_list->topLevelItemCount()) m_list->setCurrentItem(m_list->topLevelItem(select));
    ApplyStates(this, m_logic.States());
  }
  BanListPage& m_logic;
  QCheckBox* m_enable;
  QTreeWidget* m_list;
};

}  // namespace

TabPage* NewBanListWidget(BanListPage& logic) { return new BanListWidget(logic); }
TabPage* NewRecipientAdvancedWidget(RecipientAdvancedPage& logic) {
  using P = RecipientAdvancedPage;
  return new FilterChoicePage<P>(logic, "Advanced", P::ALL, "Recipient has rights for all requests",
                                 "Specify which requests this recipient has rights for", P::REMOVE);
}
