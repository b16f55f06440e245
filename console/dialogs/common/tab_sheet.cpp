#include "console/dialogs/common/tab_sheet.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QTabBar>
#include <QVBoxLayout>
#include <algorithm>

#include "console/dialogs/common/controls_qt.h"

TabPage::TabPage(const QString& title, int image, QWidget* parent) : QWidget(parent), m_title(title), m_image(image) {}

TabSheet::TabSheet(QWidget* parent) : QWidget(parent), m_bar(new QTabBar(this)), m_stack(new QStackedWidget(this)) {
  setObjectName("tabSheet");
  m_bar->setObjectName("tabBar");
  m_bar->setExpanding(false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(m_bar);
  layout->addWidget(m_stack, 1);
  connect(m_bar, &QTabBar::currentChanged, this, &TabSheet::OnCurrentChanged);
}

int TabSheet::AddPage(TabPage* page) {
  m_pages.push_back(page);
  m_stack->addWidget(page);
  const int index = static_cast<int>(m_pages.size()) - 1;
  {
    // The first tab added becomes current inside addTab; it is shown below, once.
    QSignalBlocker block(m_bar);
    m_bar->addTab(page->Title());
  }
  if (m_active < 0) Show(index);
  return index;
}

TabPage* TabSheet::GetPage(int index) const {
  return index >= 0 && index < PageCount() ? m_pages[static_cast<size_t>(index)] : nullptr;
}

int TabSheet::PageIndex(const TabPage* page) const {
  for (int i = 0; i < PageCount(); ++i)
    if (m_pages[static_cast<size_t>(i)] == page) return i;
  return -1;
}

void TabSheet::Show(int index) {
  m_active = index;
  TabPage* page = GetPage(index);
  page->LoadControls();
  m_stack->setCurrentWidget(page);
  QSignalBlocker block(m_bar);
  m_bar->setCurrentIndex(index);
}

void TabSheet::ShowRefused(int index) {
  if (index < 0 || index >= PageCount()) return;
  if (index != m_active)
    SetActivePage(index);
  else
    GetPage(index)->LoadControls();
}

bool TabSheet::SetActivePage(int index) {
  if (!GetPage(index)) return false;
  if (index == m_active) return true;
  if (TabPage* current = GetPage(m_active); current && !current->StoreControls()) {
    QSignalBlocker block(m_bar);
    m_bar->setCurrentIndex(m_active);
    return false;
  }
  Show(index);
  return true;
}

void TabSheet::OnCurrentChanged(int index) {
  // The bar has moved already. It goes back to the shown page first: the page being left may say
  // why it refuses in a box, and the bar must not show the new tab meanwhile. Show moves it on.
  {
    QSignalBlocker block(m_bar);
    m_bar->setCurrentIndex(m_active);
  }
  SetActivePage(index);
}

QSize TabSheet::minimumSizeHint() const {
  QSize size = QWidget::minimumSizeHint();
  size.setWidth(std::max(size.width(), m_bar->sizeHint().width()));
  return size;
}

QSize TabSheet::sizeHint() const {
  QSize size = QWidget::sizeHint();
  size.setWidth(std::max(size.width(), m_bar->sizeHint().width()));
  return size;
}

bool TabSheet::Accept() {
  if (TabPage* current = GetPage(m_active); current && !current->StoreControls()) return false;
  for (int i = 0; i < PageCount(); ++i) {
    if (!m_pages[static_cast<size_t>(i)]->Validate()) {
      if (i != m_active) Show(i);
      return false;
    }
  }
  for (TabPage* page : m_pages) page->Apply();
  return true;
}

SheetDialog::SheetDialog(const QString& title, QWidget* parent) : QDialog(parent), m_sheet(new TabSheet(this)) {
  setWindowTitle(title);
  // Plain buttons: a button box makes its first accept button the default when shown, and Enter in
  // a page's field would then close the sheet.
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_sheet, 1);
  layout->addLayout(OkCancelRow(this));
}

void SheetDialog::accept() {
  if (m_sheet->Accept()) QDialog::accept();
}
