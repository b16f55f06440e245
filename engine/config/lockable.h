#pragma once
// Containers that more than one thread touches, and the collection archive form in which whole
// tables travel between engine and console.
//
// Every container has one recursive mutex. Callers hold it (Lock/Unlock, CLockGuard, or any
// standard lock guard) around every walk and every change; single operations take it themselves.
// Lock orders between containers are written next to the containers' owners.
//
// Elements are std::shared_ptr<CObject>: objects held here are reached from other threads, so a
// container dropping an element only drops its own reference, and a "still valid" check is a
// weak_ptr lock. Elements a container lets go of (removal, replacement, a load that drops them) are
// released after its lock is given up, so their destructors never run under it.
//
// Loading from a stream never trusts the stream: every object container is given the base class
// its elements must derive from (SetElementClass; without one nothing is created), and a load
// that fails part-way keeps what it read completely, applies nothing half-read and deletes
// nothing. The outcome of the last load is kept for the caller to log (LastLoadComplete,
// LastLoadError).
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/config/archive.h"
#include "engine/config/object.h"

// Lock's time-out argument. Accepted for callers that pass one; every lock waits without limit.
inline constexpr uint32_t INFINITE = 0xFFFFFFFFu;

class CLockable {
 public:
  // Tries this many times, pausing in between, before it sleeps on a lock another thread holds.
  static constexpr int kSpinTries = 100;

  void Lock(uint32_t timeoutMs = INFINITE) const {
    (void)timeoutMs;
    lock();
  }
  void Unlock() const { m_mutex.unlock(); }
  // The standard names, so std::lock_guard, std::unique_lock and std::scoped_lock work too.
  // Containers are held for a few microseconds at a time, by many session threads at once (rights,
  // users, machines): sleeping on a taken lock and being woken costs two context switches, far more
  // than the wait, so a taker spins briefly first.
  void lock() const {
    for (int i = 0; i < kSpinTries; ++i) {
      if (m_mutex.try_lock()) return;
      Pause();
    }
    m_mutex.lock();
  }
  void unlock() const { m_mutex.unlock(); }
  bool try_lock() const { return m_mutex.try_lock(); }

 protected:
  CLockable() = default;
  // A copy gets a mutex of its own; lock state is never copied.
  CLockable(const CLockable&) {}
  CLockable& operator=(const CLockable&) { return *this; }
  ~CLockable() = default;

 private:
  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  mutable std::recursive_mutex m_mutex;
};

// Holds a container's lock for a scope.
class CLockGuard {
 public:
  explicit CLockGuard(const CLockable& l) : m_lockable(l) { m_lockable.Lock(); }
  ~CLockGuard() { m_lockable.Unlock(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  const CLockable& m_lockable;
};

// Base of records that live in the containers and are locked one by one. Copies (an editor's
// working copy) carry the values and a fresh mutex.
class CLockableObject : public CObject, public CLockable {
  TL_DECLARE_DYNAMIC(CLockableObject)

 public:
  CLockableObject() = default;
  CLockableObject(const CLockableObject&) = default;
  CLockableObject& operator=(const CLockableObject&) = default;
};

// What the containers share: the lock, the outcome of the last load and the archive entry points.
class CLockableCollection : public CObject, public CLockable {
 public:
  CLockableCollection() = default;
  CLockableCollection(const CLockableCollection&) = delete;
  CLockableCollection& operator=(const CLockableCollection&) = delete;

  // Stores or loads under the container's lock. Nothing is thrown: a failure is kept in the
  // load status (loading) or shows as false from Store.
  void Serialize(CArchive& ar) override;
  // The same, but a failure is thrown on after the container has settled, for classes that hold a
  // container inside their own Serialize and must not read on past a broken part.
  void SerializeChecked(CArchive& ar);
  bool Store(CArchive& ar);
  bool Load(CArchive& ar);

  bool LastLoadComplete() const;
  // Empty after a complete load; otherwise why the load stopped.
  CString LastLoadError() const;
  // Elements read (created, updated or replaced) by the last load, complete or not.
  size_t LastLoadCount() const;

 protected:
  ~CLockableCollection() override = default;
  // Both run with the lock held and throw on failure. A load counts its elements in *read.
  virtual void DoStore(CArchive& ar) = 0;
  virtual void DoLoad(CArchive& ar, size_t* read) = 0;
  // Elements a load lets go of; released once the lock is given up.
  void Retire(std::shared_ptr<CObject> obj);

 private:
  bool LoadGuarded(CArchive& ar, bool rethrow);
  bool StoreGuarded(CArchive& ar, bool rethrow);

  std::vector<std::shared_ptr<CObject>> m_retired;
  bool m_lastLoadComplete = true;
  CString m_lastLoadError;
  size_t m_lastLoadCount = 0;
};

// Object containers: loads create elements only of classes derived from the element class.
class CLockableObjectCollection : public CLockableCollection {
 public:
  using Ptr = std::shared_ptr<CObject>;

  // The base every element created by a load must derive from; null (the default) refuses
  // every creation.
  void SetElementClass(const CRuntimeClass* base);
  const CRuntimeClass* GetElementClass() const;

 protected:
  ~CLockableObjectCollection() override = default;
  // A new element of the class of that name, when it is allowed here; throws CArchiveException.
  Ptr CreateElement(const CString& className) const;

  const CRuntimeClass* m_elementClass = nullptr;
};

// String-keyed objects (keys case-sensitive, iteration in key order). Its collection archive form:
// u32 count, then per entry the key, the element's run-time class name (both strings) and the
// element's own Serialize output.
class CLockableMap : public CLockableObjectCollection {
  TL_DECLARE_DYNAMIC(CLockableMap)

 public:
  using Map = std::map<CString, Ptr>;
  using iterator = Map::iterator;
  using const_iterator = Map::const_iterator;

  CLockableMap() = default;

  size_t GetCount() const;
  bool IsEmpty() const;
  bool Lookup(const CString& key, Ptr& out) const;
  Ptr Lookup(const CString& key) const;
  template <class T>
  std::shared_ptr<T> LookupAs(const CString& key) const {
    return std::dynamic_pointer_cast<T>(Lookup(key));
  }
  // Enters or replaces; a null object is refused (std::invalid_argument), since the archive form
  // has no place for one.
  void SetAt(const CString& key, Ptr obj);
  // True when the key was present.
  bool RemoveKey(const CString& key);
  void RemoveAll();

  std::vector<CString> Keys() const;
  std::vector<std::pair<CString, Ptr>> Snapshot() const;
  // Calls f(key, element) for every entry under the lock.
  template <class F>
  void ForEach(F&& f) const {
    CLockGuard guard(*this);
    for (const auto& [key, obj] : m_map) f(key, obj);
  }
  // Direct walks: the caller holds the lock for the whole walk.
  iterator begin() { return m_map.begin(); }
  iterator end() { return m_map.end(); }
  const_iterator begin() const { return m_map.begin(); }
  const_iterator end() const { return m_map.end(); }

 protected:
  // Storing writes the entries in key order. Loading updates an entry in place when the stream
  // names the class of the object held under that key, otherwise creates a new object (of an
  // allowed class), reads it completely and only then enters it, replacing any old one; every
  // element with a key name must carry its key. After a complete load the entries absent from the
  // stream are removed. A failure keeps the entries read so far, restores an element that was
  // being updated in place to its state before, and removes nothing.
  void DoStore(CArchive& ar) override;
  void DoLoad(CArchive& ar, size_t* read) override;

 private:
  Map m_map;
};

// String to string. Archive form: count (u16/u32 count form), then key and value strings.
class CLockableStringMap : public CLockableCollection {
  TL_DECLARE_DYNAMIC(CLockableStringMap)

 public:
  using Map = std::map<CString, CString>;
  using iterator = Map::iterator;
  using const_iterator = Map::const_iterator;

  CLockableStringMap() = default;

  size_t GetCount() const;
  bool IsEmpty() const;
  bool Lookup(const CString& key, CString& out) const;
  void SetAt(const CString& key, const CString& value);
  bool RemoveKey(const CString& key);
  void RemoveAll();
  Map Snapshot() const;
  iterator begin() { return m_map.begin(); }
  iterator end() { return m_map.end(); }
  const_iterator begin() const { return m_map.begin(); }
  const_iterator end() const { return m_map.end(); }

 protected:
  // A load replaces the whole content once the stream has been read completely; a failed one
  // leaves the map as it was.
  void DoStore(CArchive& ar) override;
  void DoLoad(CArchive& ar, size_t* read) override;

 private:
  Map m_map;
};

// A list of objects. Archive form: count, then each element as a class-tagged object.
class CLockableList : public CLockableObjectCollection {
  TL_DECLARE_DYNAMIC(CLockableList)

 public:
  using List = std::list<Ptr>;
  using iterator = List::iterator;
  using const_iterator = List::const_iterator;

  CLockableList() = default;

  size_t GetCount() const;
  bool IsEmpty() const;
  void AddHead(Ptr obj);
  void AddTail(Ptr obj);
  Ptr GetHead() const;  // null when empty
  Ptr GetTail() const;
  Ptr RemoveHead();     // null when empty
  Ptr RemoveTail();
  // The position of that object, or end(); the caller holds the lock while using it.
  iterator Find(const CObject* obj);
  // Removes the element at a position found under the same lock.
  void RemoveAt(iterator pos);
  // Finds and removes in one step; true when it was there.
  bool Remove(const CObject* obj);
  bool Contains(const CObject* obj) const;
  void RemoveAll();
  std::vector<Ptr> Snapshot() const;
  template <class F>
  void ForEach(F&& f) const {
    CLockGuard guard(*this);
    for (const auto& obj : m_list) f(obj);
  }
  iterator begin() { return m_list.begin(); }
  iterator end() { return m_list.end(); }
  const_iterator begin() const { return m_list.begin(); }
  const_iterator end() const { return m_list.end(); }

 protected:
  // A load replaces the whole content once every element has been read; a failed one leaves the
  // list as it was.
  void DoStore(CArchive& ar) override;
  void DoLoad(CArchive& ar, size_t* read) override;

 private:
  List m_list;
};

// An array of objects. Archive form as the list's.
class CLockableArray : public CLockableObjectCollection {
  TL_DECLARE_DYNAMIC(CLockableArray)

 public:
  using Array = std::vector<Ptr>;
  using iterator = Array::iterator;
  using const_iterator = Array::const_iterator;

  CLockableArray() = default;

  size_t GetSize() const;
  size_t GetCount() const { return GetSize(); }
  bool IsEmpty() const;
  // Returns the new element's index.
  size_t Add(Ptr obj);
  // Index checks throw std::out_of_range.
  Ptr GetAt(size_t i) const;
  void SetAt(size_t i, Ptr obj);
  void InsertAt(size_t i, Ptr obj);  // i == GetSize() appends
  void RemoveAt(size_t i, size_t count = 1);
  void RemoveAll();
  std::vector<Ptr> Snapshot() const;
  template <class F>
  void ForEach(F&& f) const {
    CLockGuard guard(*this);
    for (const auto& obj : m_array) f(obj);
  }
  iterator begin() { return m_array.begin(); }
  iterator end() { return m_array.end(); }
  const_iterator begin() const { return m_array.begin(); }
  const_iterator end() const { return m_array.end(); }

 protected:
  void DoStore(CArchive& ar) override;
  void DoLoad(CArchive& ar, size_t* read) override;

 private:
  Array m_array;
};
