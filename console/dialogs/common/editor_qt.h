#pragma once
// The Qt side of the editor framework: controls are found by their object name, the control id
// ("c1066"), so page logic rules (ControlStates) and field errors reach them without a table, and
// tests drive a sheet by the same ids.
#include <QString>
#include <QWidget>

#include "console/dialogs/common/editor.h"

// The control of that id under root, or null.
QWidget* FindControl(const QWidget* root, int id);
// Names a widget after its control id and returns it.
template <class W>
W* Named(W* widget, int id) {
  widget->setObjectName(QString::fromStdString(ControlName(id)));
  return widget;
}
// Enables, shows and (where a rule forces it) checks the controls the states name.
void ApplyStates(const QWidget* root, const ControlStates& states);
// A field that did not parse: says so and puts the focus on it.
void ShowFieldError(const QWidget* root, const FieldError& error, Prompter& prompter);
