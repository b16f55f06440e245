#include "engine/config/object.h"

namespace {

// Head of the registration list. Constant-initialised, so registrations from static constructors
// of any translation unit find it ready. Registration only happens during static initialisation,
// before any thread starts, so lookups need no lock.
CRuntimeClass* g_firstClass = nullptr;

}  // namespace

CRuntimeClass CObject::classCObject = {"CObject", 0xFFFF, nullptr, nullptr, nullptr, nullptr};
static CClassRegistration tl_register_CObject(&CObject::classCObject);

CClassRegistration::CClassRegistration(CRuntimeClass* cls) {
  if (cls == nullptr) return;
  for (const CRuntimeClass* c = g_firstClass; c != nullptr; c = c->m_nextClass) {
    if (c == cls) return;  // registered already
  }
  cls->m_nextClass = g_firstClass;
  g_firstClass = cls;
}

CProgramFactory::CProgramFactory(CRuntimeClass* cls, std::shared_ptr<CObject> (*create)()) {
  if (cls != nullptr && cls->m_createObject != nullptr) cls->m_programFactory = create;
}

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
  if (base == nullptr) return false;
  for (const CRuntimeClass* c = this; c != nullptr; c = c->m_baseClass) {
    if (c == base) return true;
  }
  return false;
}

std::shared_ptr<CObject> CRuntimeClass::CreateObject() const {
  if (m_createObject == nullptr) return nullptr;
  return m_programFactory != nullptr ? m_programFactory() : m_createObject();
}

const CRuntimeClass* CRuntimeClass::FromName(std::string_view name) {
  for (const CRuntimeClass* c = g_firstClass; c != nullptr; c = c->m_nextClass) {
    if (c->m_className != nullptr && name == c->m_className) return c;
  }
  return nullptr;
}

std::vector<const CRuntimeClass*> CRuntimeClass::All() {
  std::vector<const CRuntimeClass*> all;
  for (const CRuntimeClass* c = g_firstClass; c != nullptr; c = c->m_nextClass) all.push_back(c);
  return all;
}

const CRuntimeClass* CObject::GetRuntimeClass() const { return &CObject::classCObject; }

void CObject::Serialize(CArchive&) {}

bool CObject::IsKindOf(const CRuntimeClass* cls) const {
  const CRuntimeClass* mine = GetRuntimeClass();
  return mine != nullptr && mine->IsDerivedFrom(cls);
}
