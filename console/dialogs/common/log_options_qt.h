#pragma once
// The Logging page of the service sheet and of the scheduler: "do not log" or "log these events",
// and a check for each kind of event, one bit of the options each.
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "console/dialogs/common/editor.h"
#include "console/dialogs/common/tab_sheet.h"

class QButtonGroup;
class QCheckBox;

struct LogOptionCheck {
  int id;
  uint32_t bit;
  const char* text;
};

struct LogOptionsForm {
  int offId;
  const char* offText;
  int onId;
  const char* onText;
  std::vector<LogOptionCheck> checks;
  int rows;  // the checks stand in columns of this many
};

class LogOptionsWidget : public TabPage {
 public:
  // on, options: the page's values, kept alive by the caller; states: the page's rules.
  LogOptionsWidget(bool& on, uint32_t& options, std::function<ControlStates()> states, const LogOptionsForm& form);
  void LoadControls() override;
  bool StoreControls() override;

 private:
  bool& m_on;
  uint32_t& m_options;
  std::function<ControlStates()> m_states;
  QButtonGroup* m_group;
  std::vector<std::pair<QCheckBox*, uint32_t>> m_checks;
};
