#pragma once
// The remote-control protocol unit and the typed value of request criteria.
//
// CTLRCPMessage travels as a frame of its own (engine/remote/frame.h) ahead of the configuration
// objects of a request; CTLDataObject travels inside the archives of criteria and is stored in the
// registry next to them.
//
// Archive forms (schema 1, archive.h for the primitives):
//   CTLRCPMessage   u16 code; string text1; string text2; string text3
//   CTLDataObject   u32 DataType; u32 dwData; i32 nData; double dData; string strData
//                   (all five whatever the type, so a reader never depends on the type to stay
//                   in step)
#include <cstdint>
#include <memory>
#include <string_view>

#include "engine/config/archive.h"
#include "engine/config/data_object.h"
#include "engine/config/object.h"

class CTLRCPMessage : public CObject {
  TL_DECLARE_SERIAL(CTLRCPMessage)

 public:
  CTLRCPMessage() = default;
  explicit CTLRCPMessage(uint16_t code, CString text1 = CString(), CString text2 = CString(),
                         CString text3 = CString());

  void Serialize(CArchive& ar) override;

  uint16_t m_code = 0;
  CString m_text1;
  CString m_text2;
  CString m_text3;
  // An object queued with the request (the console's uploads). Never archived: it goes in a
  // frame of its own after the message.
  std::shared_ptr<CObject> m_object;
};
