#include "engine/config/lockable.h"

#include <algorithm>
#include <set>
#include <stdexcept>

TL_IMPLEMENT_DYNAMIC(CLockableObject, CObject)
TL_IMPLEMENT_DYNAMIC(CLockableMap, CObject)
TL_IMPLEMENT_DYNAMIC(CLockableStringMap, CObject)
TL_IMPLEMENT_DYNAMIC(CLockableList, CObject)
TL_IMPLEMENT_DYNAMIC(CLockableArray, CObject)

namespace {

// Smallest encodings, used to refuse counts the remaining bytes cannot hold: a map entry is at
// least two empty strings; a string-map entry likewise; a tagged object at least its u16 tag.
constexpr size_t kMinMapEntry = 2;
constexpr size_t kMinStringMapEntry = 2;
constexpr size_t kMinTaggedObject = 2;

void RequireObject(const std::shared_ptr<CObject>& obj) {
  if (!obj) throw std::invalid_argument("a null object cannot be held in a map");
}

const char* ClassNameOf(const CObject& obj) {
  const CRuntimeClass* cls = obj.GetRuntimeClass();
  return cls && cls->m_className ? cls->m_className : "";
}

void CheckKeyName(const CObject& obj, const CString& key) {
  const std::string* name = obj.GetKeyName();
  if (name != nullptr && *name != key) {
    throw CArchiveException(CArchiveException::badLength, "element named \"" + *name + "\" under key \"" + key + "\"");
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CLockableCollection

void CLockableCollection::Retire(std::shared_ptr<CObject> obj) {
  if (obj) m_retired.push_back(std::move(obj));
}

bool CLockableCollection::LoadGuarded(CArchive& ar, bool rethrow) {
  std::vector<std::shared_ptr<CObject>> released;  // destroyed after the lock is given up
  std::exception_ptr failure;
  {
    CLockGuard guard(*this);
    size_t read = 0;
    m_lastLoadComplete = false;
    m_lastLoadError.clear();
    try {
      if (!ar.IsLoading()) throw CArchiveException(CArchiveException::wrongMode, "load from a storing archive");
      DoLoad(ar, &read);
      m_lastLoadComplete = true;
    } catch (const std::exception& e) {
      m_lastLoadError = e.what();
      failure = std::current_exception();
    } catch (...) {
      m_lastLoadError = "unknown exception";
      failure = std::current_exception();
    }
    m_lastLoadCount = read;
    released.swap(m_retired);
  }
  released.clear();
  if (failure && rethrow) std::rethrow_exception(failure);
  return !failure;
}

bool CLockableCollection::StoreGuarded(CArchive& ar, bool rethrow) {
  CLockGuard guard(*this);
  try {
    if (!ar.IsStoring()) throw CArchiveException(CArchiveException::wrongMode, "store into a loading archive");
    DoStore(ar);
    return true;
  } catch (...) {
    if (rethrow) throw;
    return false;
  }
}

void CLockableCollection::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    StoreGuarded(ar, false);
  } else {
    LoadGuarded(ar, false);
  }
}

void CLockableCollection::SerializeChecked(CArchive& ar) {
  if (ar.IsStoring()) {
    StoreGuarded(ar, true);
  } else {
    LoadGuarded(ar, true);
  }
}

bool CLockableCollection::Store(CArchive& ar) { return StoreGuarded(ar, false); }
bool CLockableCollection::Load(CArchive& ar) { return LoadGuarded(ar, false); }

bool CLockableCollection::LastLoadComplete() const {
  CLockGuard guard(*this);
  return m_lastLoadComplete;
}

CString CLockableCollection::LastLoadError() const {
  CLockGuard guard(*this);
  return m_lastLoadError;
}

size_t CLockableCollection::LastLoadCount() const {
  CLockGuard guard(*this);
  return m_lastLoadCount;
}

// ---------------------------------------------------------------------------------------------
// CLockableObjectCollection

void CLockableObjectCollection::SetElementClass(const CRuntimeClass* base) {
  CLockGuard guard(*this);
  m_elementClass = base;
}

const CRuntimeClass* CLockableObjectCollection::GetElementClass() const {
  CLockGuard guard(*this);
  return m_elementClass;
}

CLockableObjectCollection::Ptr CLockableObjectCollection::CreateElement(const CString& className) const {
  if (m_elementClass == nullptr) {
    throw CArchiveException(CArchiveException::badClass, "no element class set; " + className + " not created");
  }
  const CRuntimeClass* cls = CRuntimeClass::FromName(className);
  if (cls == nullptr) throw CArchiveException(CArchiveException::badClass, "unknown class " + className);
  if (!cls->IsDerivedFrom(m_elementClass)) {
    throw CArchiveException(CArchiveException::badClass, "class " + className + " not allowed here");
  }
  Ptr obj = cls->CreateObject();
  if (!obj) throw CArchiveException(CArchiveException::badClass, "class " + className + " cannot be created by name");
  return obj;
}

// ---------------------------------------------------------------------------------------------
// CLockableMap

size_t CLockableMap::GetCount() const {
  CLockGuard guard(*this);
  return m_map.size();
}

bool CLockableMap::IsEmpty() const { return GetCount() == 0; }

bool CLockableMap::Lookup(const CString& key, Ptr& out) const {
  CLockGuard guard(*this);
  auto it = m_map.find(key);
  if (it == m_map.end()) return false;
  out = it->second;
  return true;
}

CLockableMap::Ptr CLockableMap::Lookup(const CString& key) const {
  Ptr out;
  Lookup(key, out);
  return out;
}

void CLockableMap::SetAt(const CString& key, Ptr obj) {
  RequireObject(obj);
  Ptr old;
  CLockGuard guard(*this);
  Ptr& slot = m_map[key];
  old.swap(slot);
  slot = std::move(obj);
}

bool CLockableMap::RemoveKey(const CString& key) {
  Ptr old;
  CLockGuard guard(*this);
  auto it = m_map.find(key);
  if (it == m_map.end()) return false;
  old = std::move(it->second);
  m_map.erase(it);
  return true;
}

void CLockableMap::RemoveAll() {
  Map old;
  CLockGuard guard(*this);
  old.swap(m_map);
}

std::vector<CString> CLockableMap::Keys() const {
  CLockGuard guard(*this);
  std::vector<CString> keys;
  keys.reserve(m_map.size());
  for (const auto& entry : m_map) keys.push_back(entry.first);
  return keys;
}

std::vector<std::pair<CString, CLockableMap::Ptr>> CLockableMap::Snapshot() const {
  CLockGuard guard(*this);
  return {m_map.begin(), m_map.end()};
}

void CLockableMap::DoStore(CArchive& ar) {
  if (m_map.size() > 0xFFFFFFFFu) throw CArchiveException(CArchiveException::tooLarge, "map too large");
  ar << static_cast<uint32_t>(m_map.size());
  for (const auto& [key, obj] : m_map) {
    if (!obj) throw CArchiveException(CArchiveException::badClass, "null element under key " + key);
    ar.WriteString(key);
    ar.WriteString(ClassNameOf(*obj));
    obj->Serialize(ar);
  }
}

void CLockableMap::DoLoad(CArchive& ar, size_t* read) {
  uint32_t count = 0;
  ar >> count;
  ar.CheckAvailable(count, kMinMapEntry);

  std::set<CString> seen;
  for (uint32_t i = 0; i < count; ++i) {
    CString key = ar.ReadString();
    const CString className = ar.ReadString();
    CArchive::NestingGuard nesting(ar);
    auto it = m_map.find(key);
    if (it != m_map.end() && className == ClassNameOf(*it->second)) {
      // Update in place, so pointers held elsewhere stay valid. The element's state before is
      // kept so that a read that breaks off part-way applies nothing.
      CObject& obj = *it->second;
      CArchive before(CArchive::store);
      obj.Serialize(before);
      try {
        obj.Serialize(ar);
        CheckKeyName(obj, key);
      } catch (...) {
        try {
          CArchive back(before.Bytes().data(), before.Bytes().size());
          obj.Serialize(back);
        } catch (...) {
          // It cannot be put back: an object in an unknown state is not left in the table.
          Retire(std::move(it->second));
          m_map.erase(it);
        }
        throw;
      }
    } else {
      Ptr obj = CreateElement(className);
      obj->Serialize(ar);
      CheckKeyName(*obj, key);
      if (it != m_map.end()) {
        // Another class under the same key: the new object takes the old one's place.
        Retire(std::move(it->second));
        it->second = std::move(obj);
      } else {
        m_map.emplace(key, std::move(obj));
      }
    }
    seen.insert(std::move(key));
    ++*read;
  }

  for (auto it = m_map.begin(); it != m_map.end();) {
    if (seen.count(it->first) == 0) {
      Retire(std::move(it->second));
      it = m_map.erase(it);
    } else {
      ++it;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// CLockableStringMap

size_t CLockableStringMap::GetCount() const {
  CLockGuard guard(*this);
  return m_map.size();
}

bool CLockableStringMap::IsEmpty() const { return GetCount() == 0; }

bool CLockableStringMap::Lookup(const CString& key, CString& out) const {
  CLockGuard guard(*this);
  auto it = m_map.find(key);
  if (it == m_map.end()) return false;
  out = it->second;
  return true;
}

void CLockableStringMap::SetAt(const CString& key, const CString& value) {
  CLockGuard guard(*this);
  m_map[key] = value;
}

bool CLockableStringMap::RemoveKey(const CString& key) {
  CLockGuard guard(*this);
  return m_map.erase(key) != 0;
}

void CLockableStringMap::RemoveAll() {
  CLockGuard guard(*this);
  m_map.clear();
}

CLockableStringMap::Map CLockableStringMap::Snapshot() const {
  CLockGuard guard(*this);
  return m_map;
}

void CLockableStringMap::DoStore(CArchive& ar) {
  ar.WriteCount(m_map.size());
  for (const auto& [key, value] : m_map) {
    ar.WriteString(key);
    ar.WriteString(value);
  }
}

void CLockableStringMap::DoLoad(CArchive& ar, size_t* read) {
  const size_t count = ar.ReadCount(kMinStringMapEntry);
  Map loaded;
  for (size_t i = 0; i < count; ++i) {
    CString key = ar.ReadString();
    CString value = ar.ReadString();
    loaded[std::move(key)] = std::move(value);
    ++*read;
  }
  m_map.swap(loaded);
}

// ---------------------------------------------------------------------------------------------
// CLockableList

size_t CLockableList::GetCount() const {
  CLockGuard guard(*this);
  return m_list.size();
}

bool CLockableList::IsEmpty() const { return GetCount() == 0; }

void CLockableList::AddHead(Ptr obj) {
  CLockGuard guard(*this);
  m_list.push_front(std::move(obj));
}

void CLockableList::AddTail(Ptr obj) {
  CLockGuard guard(*this);
  m_list.push_back(std::move(obj));
}

CLockableList::Ptr CLockableList::GetHead() const {
  CLockGuard guard(*this);
  return m_list.empty() ? nullptr : m_list.front();
}

CLockableList::Ptr CLockableList::GetTail() const {
  CLockGuard guard(*this);
  return m_list.empty() ? nullptr : m_list.back();
}

CLockableList::Ptr CLockableList::RemoveHead() {
  CLockGuard guard(*this);
  if (m_list.empty()) return nullptr;
  Ptr obj = std::move(m_list.front());
  m_list.pop_front();
  return obj;
}

CLockableList::Ptr CLockableList::RemoveTail() {
  CLockGuard guard(*this);
  if (m_list.empty()) return nullptr;
  Ptr obj = std::move(m_list.back());
  m_list.pop_back();
  return obj;
}

CLockableList::iterator CLockableList::Find(const CObject* obj) {
  CLockGuard guard(*this);
  return std::find_if(m_list.begin(), m_list.end(), [obj](const Ptr& p) { return p.get() == obj; });
}

void CLockableList::RemoveAt(iterator pos) {
  Ptr old;
  CLockGuard guard(*this);
  if (pos == m_list.end()) return;
  old = std::move(*pos);
  m_list.erase(pos);
}

bool CLockableList::Remove(const CObject* obj) {
  CLockGuard guard(*this);
  auto it = Find(obj);
  if (it == m_list.end()) return false;
  RemoveAt(it);
  return true;
}

bool CLockableList::Contains(const CObject* obj) const {
  CLockGuard guard(*this);
  return std::any_of(m_list.begin(), m_list.end(), [obj](const Ptr& p) { return p.get() == obj; });
}

void CLockableList::RemoveAll() {
  List old;
  CLockGuard guard(*this);
  old.swap(m_list);
}

std::vector<CLockableList::Ptr> CLockableList::Snapshot() const {
  CLockGuard guard(*this);
  return {m_list.begin(), m_list.end()};
}

void CLockableList::DoStore(CArchive& ar) {
  ar.WriteCount(m_list.size());
  for (const auto& obj : m_list) ar.WriteObject(obj.get());
}

void CLockableList::DoLoad(CArchive& ar, size_t* read) {
  const size_t count = ar.ReadCount(kMinTaggedObject);
  List loaded;
  for (size_t i = 0; i < count; ++i) {
    loaded.push_back(ar.ReadObject(m_elementClass));
    ++*read;
  }
  m_list.swap(loaded);
  for (auto& old : loaded) Retire(std::move(old));
}

// ---------------------------------------------------------------------------------------------
// CLockableArray

size_t CLockableArray::GetSize() const {
  CLockGuard guard(*this);
  return m_array.size();
}

bool CLockableArray::IsEmpty() const { return GetSize() == 0; }

size_t CLockableArray::Add(Ptr obj) {
  CLockGuard guard(*this);
  m_array.push_back(std::move(obj));
  return m_array.size() - 1;
}

CLockableArray::Ptr CLockableArray::GetAt(size_t i) const {
  CLockGuard guard(*this);
  return m_array.at(i);
}

void CLockableArray::SetAt(size_t i, Ptr obj) {
  Ptr old;
  CLockGuard guard(*this);
  Ptr& slot = m_array.at(i);
  old.swap(slot);
  slot = std::move(obj);
}

void CLockableArray::InsertAt(size_t i, Ptr obj) {
  CLockGuard guard(*this);
  if (i > m_array.size()) throw std::out_of_range("CLockableArray::InsertAt");
  m_array.insert(m_array.begin() + static_cast<std::ptrdiff_t>(i), std::move(obj));
}

void CLockableArray::RemoveAt(size_t i, size_t count) {
  Array old;
  CLockGuard guard(*this);
  if (i > m_array.size() || count > m_array.size() - i) throw std::out_of_range("CLockableArray::RemoveAt");
  auto first = m_array.begin() + static_cast<std::ptrdiff_t>(i);
  auto last = first + static_cast<std::ptrdiff_t>(count);
  old.assign(std::make_move_iterator(first), std::make_move_iterator(last));
  m_array.erase(first, last);
}

void CLockableArray::RemoveAll() {
  Array old;
  CLockGuard guard(*this);
  old.swap(m_array);
}

std::vector<CLockableArray::Ptr> CLockableArray::Snapshot() const {
  CLockGuard guard(*this);
  return m_array;
}

void CLockableArray::DoStore(CArchive& ar) {
  ar.WriteCount(m_array.size());
  for (const auto& obj : m_array) ar.WriteObject(obj.get());
}

void CLockableArray::DoLoad(CArchive& ar, size_t* read) {
  const size_t count = ar.ReadCount(kMinTaggedObject);
  Array loaded;
  for (size_t i = 0; i < count; ++i) {
    loaded.push_back(ar.ReadObject(m_elementClass));
    ++*read;
  }
  m_array.swap(loaded);
  for (auto& old : loaded) Retire(std::move(old));
}
