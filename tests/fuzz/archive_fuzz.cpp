// Feeds arbitrary bytes to every reader of the archive codec: the collection forms of the
// containers and the class-tagged object form. Nothing may crash, leak or read out of bounds,
// and whatever loads completely must store back to bytes that load to the same content.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "engine/config/archive.h"
#include "engine/config/lockable.h"

// A keyed record with a bit of everything: numbers, text, a nested list and a child object.
class CFuzzElement : public CLockableObject {
  TL_DECLARE_SERIAL(CFuzzElement)

 public:
  CFuzzElement() { m_children.SetElementClass(TL_RUNTIME_CLASS(CFuzzElement)); }
  CString m_name;
  int64_t m_number = 0;
  double m_real = 0;
  CLockableList m_children;
  CLockableStringMap m_attributes;
  std::shared_ptr<CObject> m_child;

  const std::string* GetKeyName() const override { return &m_name; }
  void Serialize(CArchive& ar) override {
    if (ar.IsStoring()) {
      ar << m_name << m_number << m_real;
      m_children.SerializeChecked(ar);
      m_attributes.SerializeChecked(ar);
      ar.WriteObject(m_child.get());
    } else {
      ar >> m_name >> m_number >> m_real;
      m_children.SerializeChecked(ar);
      m_attributes.SerializeChecked(ar);
      m_child = ar.ReadObject(TL_RUNTIME_CLASS(CFuzzElement));
    }
  }
};

class CFuzzDerived : public CFuzzElement {
  TL_DECLARE_SERIAL(CFuzzDerived)

 public:
  uint16_t m_extra = 0;
  void Serialize(CArchive& ar) override {
    CFuzzElement::Serialize(ar);
    if (ar.IsStoring()) {
      ar << m_extra;
    } else {
      ar >> m_extra;
    }
  }
};

// Creatable, but outside the element base.
class CFuzzStranger : public CObject {
  TL_DECLARE_SERIAL(CFuzzStranger)
};

TL_IMPLEMENT_SERIAL(CFuzzElement, CLockableObject, 1)
TL_IMPLEMENT_SERIAL(CFuzzDerived, CFuzzElement, 2)
TL_IMPLEMENT_SERIAL(CFuzzStranger, CObject, 1)

namespace {

std::vector<uint8_t> StoreOf(CLockableCollection& c) {
  CArchive ar;
  if (!c.Store(ar)) abort();
  return ar.TakeBytes();
}

// A loaded collection stores to bytes that load again, completely, to the same bytes.
template <class C>
void CheckRoundTrip(C& loaded, const CRuntimeClass* elementClass) {
  const std::vector<uint8_t> first = StoreOf(loaded);
  C again;
  if (elementClass) again.SetElementClass(elementClass);
  CArchive in(first.data(), first.size());
  if (!again.Load(in) || in.BytesLeft() != 0) abort();
  if (StoreOf(again) != first) abort();
}

template <class C>
void CheckRoundTripStrings(C& loaded) {
  const std::vector<uint8_t> first = StoreOf(loaded);
  C again;
  CArchive in(first.data(), first.size());
  if (!again.Load(in) || StoreOf(again) != first) abort();
}

std::shared_ptr<CFuzzElement> Held(const char* name) {
  auto e = std::make_shared<CFuzzElement>();
  e->m_name = name;
  e->m_number = 7;
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0] % 5;
  const uint8_t* body = data + 1;
  const size_t n = size - 1;
  CArchive ar(body, n);

  switch (mode) {
    case 0: {
      // Present keys, so that loads also update in place and delete.
      CLockableMap map;
      map.SetElementClass(TL_RUNTIME_CLASS(CFuzzElement));
      map.SetAt("a", Held("a"));
      map.SetAt("b", Held("b"));
      if (map.Load(ar)) CheckRoundTrip(map, TL_RUNTIME_CLASS(CFuzzElement));
      break;
    }
    case 1: {
      CLockableStringMap map;
      if (map.Load(ar)) CheckRoundTripStrings(map);
      break;
    }
    case 2: {
      CLockableList list;
      list.SetElementClass(TL_RUNTIME_CLASS(CFuzzElement));
      if (list.Load(ar)) CheckRoundTrip(list, TL_RUNTIME_CLASS(CFuzzElement));
      break;
    }
    case 3: {
      CLockableArray array;
      array.SetElementClass(TL_RUNTIME_CLASS(CObject));
      if (array.Load(ar)) {
        // CObject allows the stranger too; every element is still of a registered class.
        CheckRoundTrip(array, TL_RUNTIME_CLASS(CObject));
      }
      break;
    }
    default: {
      // The object form and the primitives, one after another until the bytes run out.
      try {
        for (;;) {
          auto obj = ar.ReadObject(TL_RUNTIME_CLASS(CFuzzElement));
          if (obj && !obj->IsKindOf(TL_RUNTIME_CLASS(CFuzzElement))) abort();
          (void)ar.ReadString();
          (void)ar.ReadCount(1);
          double d;
          ar >> d;
        }
      } catch (const CArchiveException&) {
      }
      break;
    }
  }
  return 0;
}
