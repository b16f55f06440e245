#include "console/dialogs/proxy/cache_sheets.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/dialogs/access/filter_tree.h"
#include "console/dialogs/access/filter_tree_page.h"
#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/model/list_images.h"
#include "console/model/tree_images.h"

namespace {

class GeneralWidget : public TabPage {
 public:
  GeneralWidget(CacheSheet& sheet, Prompter& prompter)
      : TabPage(QStringLiteral("General")), m_sheet(sheet), m_logic(sheet.general), m_prompter(prompter) {
    using P = CacheGeneralPage;
    auto* layout = new QVBoxLayout(this);
    auto* options = new QGroupBox(QStringLiteral("Cache Options"), this);
    auto* og = new QGridLayout(options);
    og->addWidget(m_lookups = Named(new QCheckBox(QStringLiteral("Enable cache lookups"), options), P::LOOKUPS), 0, 0,
                  1, 3);
    og->addWidget(
        m_additions = Named(new QCheckBox(QStringLiteral("Enable additions to cache"), options), P::ADDITIONS), 1, 0, 1,
        3);
    og->addWidget(m_limit = Named(new QCheckBox(QStringLiteral("Limit cache size to"), options), P::LIMIT), 2, 0);
    og->addWidget(m_size = Named(new QLineEdit(options), P::MAX_SIZE), 2, 1);
    og->addWidget(new QLabel(QStringLiteral("MB"), options), 2, 2);
    og->addWidget(m_purge = Named(new QCheckBox(QStringLiteral("Purge cache when full"), options), P::AUTO_PURGE), 3, 0,
                  1, 3);
    og->setColumnStretch(3, 1);
    layout->addWidget(options);

    auto* recheck = new QGroupBox(QStringLiteral("Re-checking"), this);
    auto* rg = new QGridLayout(recheck);
    rg->addWidget(new QLabel(QStringLiteral("Number of days before rechecking HTML files"), recheck), 0, 0);
    rg->addWidget(m_volatile = Named(new QLineEdit(recheck), P::DAYS_VOLATILE), 0, 1);
    rg->addWidget(new QLabel(QStringLiteral("Number of days before rechecking other files"), recheck), 1, 0);
    rg->addWidget(m_nonVolatile = Named(new QLineEdit(recheck), P::DAYS_NON_VOLATILE), 1, 1);
    layout->addWidget(recheck);

    auto* rebuild = Button(P::REBUILD_INDEX, "Rebuild Index", this);
    auto* row = new QHBoxLayout;
    row->addWidget(rebuild);
    row->addStretch(1);
    layout->addLayout(row);
    layout->addStretch(1);
    for (QLineEdit* e : {m_size, m_volatile, m_nonVolatile}) e->setMaximumWidth(fontMetrics().averageCharWidth() * 14);
    // Off-line nothing is sent and nothing said.
    connect(rebuild, &QPushButton::clicked, this, [this] { m_sheet.RebuildIndex(); });
  }

  void LoadControls() override {
    m_size->setText(Q(m_logic.maxSize));
    m_volatile->setText(Q(m_logic.daysVolatile));
    m_nonVolatile->setText(Q(m_logic.daysNonVolatile));
    m_limit->setChecked(m_logic.limit);
    m_lookups->setChecked(m_logic.lookups);
    m_additions->setChecked(m_logic.additions);
    m_purge->setChecked(m_logic.autoPurge);
  }

  bool StoreControls() override {
    m_logic.maxSize = S(m_size->text());
    m_logic.daysVolatile = S(m_volatile->text());
    m_logic.daysNonVolatile = S(m_nonVolatile->text());
    m_logic.limit = m_limit->isChecked();
    m_logic.lookups = m_lookups->isChecked();
    m_logic.additions = m_additions->isChecked();
    m_logic.autoPurge = m_purge->isChecked();
    uint32_t values[3];
    FieldError error;
    if (m_logic.Parse(values, &error)) return true;
    ShowFieldError(this, error, m_prompter);
    return false;
  }

 private:
  CacheSheet& m_sheet;
  CacheGeneralPage& m_logic;
  Prompter& m_prompter;
  QCheckBox *m_lookups, *m_additions, *m_limit, *m_purge;
  QLineEdit *m_size, *m_volatile, *m_nonVolatile;
};

class WhatToPurgeWidget : public TabPage {
 public:
  WhatToPurgeWidget(CacheSheet& sheet, WhatToPurgePage& logic) : TabPage(QStringLiteral("What to purge")) {
    using P = WhatToPurgePage;
    auto* layout = new QVBoxLayout(this);
    m_tree = Named(new FilterTreeWidget(logic.Tree(), this), P::TREE);
    layout->addWidget(m_tree, 1);
    auto* row = FilterTreeButtons(logic, m_tree, P::DELETE, this);
    auto* purge = Button(P::PURGE_NOW, "Purge Now", this);
    row->addWidget(purge);
    layout->addLayout(row);
    // The engine purges with the filters it holds: edits here take part only once applied.
    // Off-line nothing is sent and nothing said.
    connect(purge, &QPushButton::clicked, this, [&sheet] { sheet.PurgeNow(); });
  }
  void LoadControls() override { m_tree->Refill(m_tree->Selected()); }

 private:
  FilterTreeWidget* m_tree;
};

}  // namespace

CacheSheetDialog::CacheSheetDialog(CLookoutClient& client, Prompter& prompter,
                                   std::unique_ptr<CriterionDialogs> criteria, QWidget* parent)
    : QDialog(parent),
      m_criteria(std::move(criteria)),
      m_logic(client, *m_criteria),
      m_prompter(prompter),
      m_sheet(new TabSheet(this)) {
  setObjectName("CacheSheet");
  setWindowTitle(QString::fromLatin1(kCacheSheetTitle));
  setWindowIcon(TreeImages()[LIST_IMAGE_CACHE]);
  AddPage(new GeneralWidget(m_logic, prompter), CACHE_PAGE_GENERAL);
  using W = WhatToCachePage;
  AddPage(new FilterChoicePage<W>(m_logic.whatToCache, "What to cache", W::CACHE_EVERYTHING, "Cache everything",
                                  "Specify which requests will be cached", W::DELETE),
          CACHE_PAGE_WHAT_TO_CACHE);
  AddPage(new WhatToPurgeWidget(m_logic, m_logic.whatToPurge), CACHE_PAGE_WHAT_TO_PURGE);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_sheet, 1);
  layout->addLayout(OkCancelRow(this, "Apply", "IDAPPLY", [this] { ApplyNow(); }));
}

CacheSheetDialog::~CacheSheetDialog() = default;

void CacheSheetDialog::AddPage(TabPage* page, int id) {
  page->setObjectName(QStringLiteral("page%1").arg(id));
  m_sheet->AddPage(page);
  m_tabPages.push_back(id);
}

int CacheSheetDialog::TabOf(int pageId) const {
  for (size_t i = 0; i < m_tabPages.size(); ++i)
    if (m_tabPages[i] == pageId) return static_cast<int>(i);
  return -1;
}

bool CacheSheetDialog::ApplyNow() {
  // The shown page takes its controls (a number that does not parse keeps it, on that field).
  if (!m_sheet->Accept()) return false;
  const int refused = m_logic.Apply(m_prompter);
  if (refused > 0) {
    const int tab = TabOf(refused);
    if (tab >= 0 && tab != m_sheet->ActiveIndex()) m_sheet->SetActivePage(tab);
    if (refused == CACHE_PAGE_GENERAL && m_logic.general.lastError.control)
      if (QWidget* w = FindControl(this, m_logic.general.lastError.control)) w->setFocus();
    return false;
  }
  return refused == 0;
}

void CacheSheetDialog::accept() {
  if (ApplyNow()) QDialog::accept();
}

void CacheSheetDialog::Reload() {
  if (!m_logic.Reload()) return;
  ++m_reloads;
  // The shown page shows the new values now; the others take them when they are shown.
  if (TabPage* page = m_sheet->GetPage(m_sheet->ActiveIndex())) page->LoadControls();
}
