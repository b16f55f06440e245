#include "console/dialogs/common/log_options_qt.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/dialogs/common/controls_qt.h"

LogOptionsWidget::LogOptionsWidget(bool& on, uint32_t& options, std::function<ControlStates()> states,
                                   const LogOptionsForm& form)
    : TabPage(QStringLiteral("Logging")), m_on(on), m_options(options), m_states(std::move(states)) {
  auto* layout = new QVBoxLayout(this);
  m_group = new QButtonGroup(this);
  layout->addWidget(Radio(m_group, form.offId, 0, form.offText, this));
  layout->addWidget(Radio(m_group, form.onId, 1, form.onText, this));
  auto* box = new QGroupBox(this);
  auto* grid = new QGridLayout(box);
  int n = 0;
  for (const LogOptionCheck& c : form.checks) {
    auto* check = Check(c.id, c.text, box);
    grid->addWidget(check, n % form.rows, n / form.rows);
    m_checks.push_back({check, c.bit});
    ++n;
  }
  layout->addWidget(box);
  layout->addStretch(1);
  connect(m_group, &QButtonGroup::idClicked, this, [this](int value) {
    m_on = value == 1;
    ApplyStates(this, m_states());
  });
}

void LogOptionsWidget::LoadControls() {
  m_group->button(m_on ? 1 : 0)->setChecked(true);
  for (auto [c, bit] : m_checks) c->setChecked((m_options & bit) != 0);
  ApplyStates(this, m_states());
}

bool LogOptionsWidget::StoreControls() {
  m_on = m_group->checkedId() == 1;
  uint32_t options = 0;
  for (auto [c, bit] : m_checks)
    if (c->isChecked()) options |= bit;
  m_options = options;
  return true;
}
