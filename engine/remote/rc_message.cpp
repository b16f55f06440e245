#include "engine/remote/rc_message.h"

#include <utility>

#include "engine/config/reg_helpers.h"

TL_IMPLEMENT_SERIAL(CTLRCPMessage, CObject, 1)

// ---- CTLRCPMessage ----------------------------------------------------------------------------

CTLRCPMessage::CTLRCPMessage(uint16_t code, CString text1, CString text2, CString text3)
    : m_code(code), m_text1(std::move(text1)), m_text2(std::move(text2)), m_text3(std::move(text3)) {}

void CTLRCPMessage::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << m_code << m_text1 << m_text2 << m_text3;
  } else {
    // Read into locals first so a short stream leaves the message as it was.
    uint16_t code = 0;
    CString t1, t2, t3;
    ar >> code >> t1 >> t2 >> t3;
    m_code = code;
    m_text1 = std::move(t1);
    m_text2 = std::move(t2);
    m_text3 = std::move(t3);
  }
}

