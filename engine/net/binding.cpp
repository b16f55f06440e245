#include "engine/net/binding.h"

TL_IMPLEMENT_SERIAL(CBinding, CObject, 1)

CBinding::CBinding() = default;

CBinding::CBinding(const CBinding& other) : CObject(other), m_state(other.m_state), m_interface(other.m_interface) {}

CBinding& CBinding::operator=(const CBinding& other) {
  if (this != &other) {
    m_state = other.m_state;
    m_interface = other.m_interface;
  }
  return *this;
}

CBinding::~CBinding() { CloseSocket(); }

void CBinding::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << m_state;
  } else {
    ar >> m_state;
  }
  m_interface.Serialize(ar);
}

X1Socket& CBinding::Socket() {
  if (!m_socket) m_socket = std::make_unique<X1Socket>();
  return *m_socket;
}

void CBinding::CloseSocket() {
  if (m_socket) m_socket->Close();
}
