#pragma once
// The small makers every editor window builds its controls with: text both ways between our
// strings and Qt's, and controls named after their ids. A sheet's own layouts stay with the sheet.
#include <QString>
#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

#include "console/dialogs/common/editor_qt.h"

class QButtonGroup;
class QCheckBox;
class QDialog;
class QHBoxLayout;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;
struct Principal;

inline QString Q(const CString& s) { return QString::fromStdString(s); }
inline CString S(const QString& s) { return s.toStdString(); }

// A push button that Enter in a field never presses by accident.
QPushButton* Button(int id, const char* text, QWidget* parent);
// A radio button, joined to group with value as its id there.
QRadioButton* Radio(QButtonGroup* group, int id, int value, const char* text, QWidget* parent);
QCheckBox* Check(int id, const char* text, QWidget* parent);
// A line edit; a password one shows no characters.
QLineEdit* Edit(int id, QWidget* parent, bool password = false);
// Every dialog's OK and Cancel look alike: plain buttons (named "IDOK" and "IDCANCEL") in a
// right-aligned row, wired to accept and reject.
//
// The row as a widget. OK is the default button (Enter in a field presses it) only where
// enterAccepts says so: a small dialog whose fields are done with Enter; elsewhere Enter in a field
// never closes the dialog.
QWidget* OkCancel(QDialog* dlg, bool enterAccepts = false);
// The row as a layout, with an Apply button where applyText is given (named applyName, pressed:
// onApply); none is a default button, so Enter in a field never closes or applies the dialog.
QHBoxLayout* OkCancelRow(QDialog* dlg, const char* applyText = nullptr, const char* applyName = nullptr,
                         std::function<void()> onApply = {});
// The keyboard of a dialog: the tab order follows its layouts (rows top to bottom, each left to
// right; a grid by row and column; a sheet's tab bar, then its pages), and when nothing asked for
// the focus, its first field (an edit, a choice, a box to tick: not a button, a list or the tab
// bar) has it. Every dialog of the console
// gets this when it is first shown (an application-wide filter that this library installs); the
// message boxes keep their own (the focus on the default answer).
void FollowLayoutWithKeyboard(QWidget* dialog);
// The dialog's focusable widgets in layout order (what FollowLayoutWithKeyboard chains).
std::vector<QWidget*> WidgetsInLayoutOrder(QWidget* dialog);
// Puts the application-wide filter (again) in front of the application's other event filters;
// done at the application's start, and by tests that watch dialogs open after it.
void InstallDialogKeyboard();

// The list of a user and group picker: name and description, a picture telling users from groups.
// Each {column, width} given is at least that wide and never cuts a name short.
QTreeWidget* PrincipalList(int id, const std::vector<Principal>& principals,
                           std::initializer_list<std::pair<int, int>> minWidths, QWidget* parent);
