#include "console/dialogs/access/system_policies.h"

#include "console/dialogs/access/recipient_editors.h"
#include "console/model/list_images.h"
#include "console/model/lookout_client.h"
#include "engine/remote/rc_codes.h"

SystemPolicies::SystemPolicies(CLookoutClient& client) : m_client(client) {
  const auto& rights = client.Mirrors().rights;
  if (rights.size() != static_cast<size_t>(kRCRightCount)) return;
  for (const auto& def : kEngineRights) {
    const auto code = static_cast<size_t>(def.code);
    if (!rights[code]) continue;
    auto copy = std::make_shared<CRight>();
    copy->CopyFrom(*rights[code]);
    m_codes.push_back(code);
    m_rights.push_back(std::move(copy));
  }
}

std::vector<CString> SystemPolicies::RightNames() const {
  std::vector<CString> out;
  for (const auto& r : m_rights) out.push_back(r->Description);
  return out;
}

int32_t SystemPolicies::SelectedType() const {
  return selected < m_codes.size() ? static_cast<int32_t>(m_codes[selected]) : kRightAccess;
}

ControlStates SystemPolicies::States() const {
  ControlStates st;
  st[ADD].enabled = selected < m_rights.size();
  st[REMOVE].enabled = !Rows().empty();
  return st;
}

std::vector<SystemPolicies::Row> SystemPolicies::Rows() const {
  std::vector<Row> out;
  if (selected >= m_rights.size()) return out;
  const auto& users = m_client.Mirrors().users;
  for (const auto& r : m_rights[selected]->GetRecipients())
    out.push_back({r->UserName, r->GetRestrictionDescription(),
                   users ? AccountImage(*users, r->UserName) : static_cast<int>(LIST_IMAGE_GROUP)});
  return out;
}

std::shared_ptr<const CRecipient> SystemPolicies::Recipient(size_t row) const {
  if (selected >= m_rights.size()) return nullptr;
  const auto recipients = m_rights[selected]->GetRecipients();
  return row < recipients.size() ? recipients[row] : nullptr;
}

void SystemPolicies::Add(std::shared_ptr<CRecipient> recipient) {
  if (selected < m_rights.size() && recipient) m_rights[selected]->AddRecipient(std::move(recipient));
}

void SystemPolicies::Replace(size_t row, std::shared_ptr<CRecipient> recipient) {
  if (selected >= m_rights.size() || !recipient) return;
  ReplaceRecipient(*m_rights[selected], row, std::move(recipient));
}

void SystemPolicies::Remove(size_t row) {
  if (auto r = Recipient(row)) m_rights[selected]->Recipients.Remove(r.get());
}

bool SystemPolicies::Ok(Prompter& prompter) {
  for (const auto& r : m_rights)
    if (r->GetRecipients().empty() &&
        !prompter.AskYesNo(r->Description, kTextNoRecipients, EDITOR_MB_STOP | EDITOR_MB_DEFAULT_NO))
      return false;
  const auto& mirror = m_client.Mirrors().rights;
  if (mirror.size() != static_cast<size_t>(kRCRightCount)) return true;  // gone off-line meanwhile
  // Every right the engine holds travels; the one it does not use goes back as it came.
  std::vector<std::shared_ptr<CRight>> next(mirror.begin(), mirror.end());
  for (size_t i = 0; i < m_rights.size(); ++i) next[m_codes[i]] = Clone(*m_rights[i]);
  std::vector<CObject*> objects;
  for (const auto& r : next) objects.push_back(r.get());
  if (m_client.IsOnline()) m_client.QueueObjects(RC_REQ_MODIFY_POLICIES, CString(), objects);
  m_client.CommitRights(std::move(next));
  return true;
}
