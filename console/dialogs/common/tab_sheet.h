#pragma once
// The framework of the console's property sheets: a tab bar over a stack of pages, where the page
// being left stores its controls into its values and can refuse the change (a value out of range:
// the page says why and keeps the focus), and the page being shown loads its values into its
// controls each time it is shown. A sheet dialog's OK asks every page to validate, then every page
// to apply.
//
// QTabWidget changes the page before anyone could refuse, hence a bar and a stack. No button of a
// sheet is a default button, so Enter in a page's field never closes the sheet; Escape cancels it.
#include <QDialog>
#include <QString>
#include <QWidget>
#include <vector>

class QStackedWidget;
class QTabBar;

class TabPage : public QWidget {
  Q_OBJECT

 public:
  // title: the tab's text; empty takes the page's window title (its "caption").
  explicit TabPage(const QString& title = QString(), int image = -1, QWidget* parent = nullptr);

  QString Title() const { return m_title.isEmpty() ? windowTitle() : m_title; }
  int Image() const { return m_image; }

  // Values into controls, each time the page is shown.
  virtual void LoadControls() {}
  // Controls into values, when the page is left or the sheet's OK is pressed; false (after the
  // page's own message) keeps the page.
  virtual bool StoreControls() { return true; }
  // The sheet's OK: every page validates first, then every page applies.
  virtual bool Validate() { return true; }
  virtual void Apply() {}

 private:
  QString m_title;
  int m_image;
};

class TabSheet : public QWidget {
  Q_OBJECT

 public:
  explicit TabSheet(QWidget* parent = nullptr);

  // Adds a page (the sheet owns it) and returns its index. The first page added is shown.
  int AddPage(TabPage* page);
  TabPage* GetPage(int index) const;
  // -1 when the page is not one of this sheet's.
  int PageIndex(const TabPage* page) const;
  int PageCount() const { return static_cast<int>(m_pages.size()); }
  int ActiveIndex() const { return m_active; }
  // Shows the page (after the shown one stored its controls); false when it refused or the index
  // is not a page.
  bool SetActivePage(int index);
  // The page whose check refused the sheet's OK: shown, or, when it is the shown one already,
  // loaded again so its controls show what the check left. No page for -1.
  void ShowRefused(int index);
  QTabBar* Bar() const { return m_bar; }

  // The sheet's OK: the shown page stores, every page validates, then every page applies. False
  // when a page refused (that page is then shown).
  bool Accept();

  // At least as wide as its whole tab row: no tab is ever hidden behind scroll arrows.
  QSize minimumSizeHint() const override;
  QSize sizeHint() const override;

 private:
  void OnCurrentChanged(int index);
  void Show(int index);

  QTabBar* m_bar;
  QStackedWidget* m_stack;
  std::vector<TabPage*> m_pages;
  int m_active = -1;
};

// A sheet in a dialog with OK and Cancel.
class SheetDialog : public QDialog {
  Q_OBJECT

 public:
  explicit SheetDialog(const QString& title, QWidget* parent = nullptr);
  TabSheet* Sheet() const { return m_sheet; }
  void accept() override;

 private:
  TabSheet* m_sheet;
};
