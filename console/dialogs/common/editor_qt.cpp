#include "console/dialogs/common/editor_qt.h"

#include <QAbstractButton>
#include <QLineEdit>

QWidget* FindControl(const QWidget* root, int id) {
  return root->findChild<QWidget*>(QString::fromStdString(ControlName(id)));
}

void ApplyStates(const QWidget* root, const ControlStates& states) {
  for (const auto& [id, state] : states) {
    QWidget* w = FindControl(root, id);
    if (!w) continue;
    w->setEnabled(state.enabled);
    // setVisible on a page not shown yet would show the control as a window of its own.
    w->setHidden(!state.visible);
    if (state.checked)
      if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setChecked(*state.checked);
  }
}

void ShowFieldError(const QWidget* root, const FieldError& error, Prompter& prompter) {
  prompter.Message("Lookout", error.text, EDITOR_MB_EXCLAMATION);
  if (QWidget* w = FindControl(root, error.control)) {
    w->setFocus();
    if (auto* e = qobject_cast<QLineEdit*>(w)) e->selectAll();
  }
}
