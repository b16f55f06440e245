#include "engine/config/lockable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Test classes live at namespace scope: their names are registered process-wide.
// A keyed record, as users, groups and services are.
class CLockTestElement : public CLockableObject {
  TL_DECLARE_SERIAL(CLockTestElement)

 public:
  CString m_name;
  uint32_t m_value = 0;
  const std::string* GetKeyName() const override { return &m_name; }
  void Serialize(CArchive& ar) override {
    if (ar.IsStoring()) {
      ar << m_name << m_value;
    } else {
      ar >> m_name >> m_value;
    }
  }
};

class CLockTestDerived : public CLockTestElement {
  TL_DECLARE_SERIAL(CLockTestDerived)

 public:
  CString m_extra;
  void Serialize(CArchive& ar) override {
    CLockTestElement::Serialize(ar);
    if (ar.IsStoring()) {
      ar << m_extra;
    } else {
      ar >> m_extra;
    }
  }
};

// A creatable class outside the element base.
class CLockTestStranger : public CLockableObject {
  TL_DECLARE_SERIAL(CLockTestStranger)

 public:
  CString m_name;
  void Serialize(CArchive& ar) override {
    if (ar.IsStoring()) {
      ar << m_name;
    } else {
      ar >> m_name;
    }
  }
};

// Derived from the element base, but not creatable by name.
class CLockTestAbstract : public CLockTestElement {
  TL_DECLARE_DYNAMIC(CLockTestAbstract)
};

// Reports whether the container it watches was unlocked while it was being destroyed.
class CLockTestProbe : public CLockTestElement {
  TL_DECLARE_SERIAL(CLockTestProbe)

 public:
  static inline const CLockable* s_watch = nullptr;
  static inline int s_destroyedUnlocked = 0;
  static inline int s_destroyedLocked = 0;
  ~CLockTestProbe() override {
    if (s_watch == nullptr) return;
    bool free = false;
    std::thread([&] {
      free = s_watch->try_lock();
      if (free) s_watch->unlock();
    }).join();
    ++(free ? s_destroyedUnlocked : s_destroyedLocked);
  }
};

TL_IMPLEMENT_SERIAL(CLockTestElement, CLockableObject, 1)
TL_IMPLEMENT_SERIAL(CLockTestDerived, CLockTestElement, 1)
TL_IMPLEMENT_SERIAL(CLockTestStranger, CLockableObject, 1)
TL_IMPLEMENT_DYNAMIC(CLockTestAbstract, CLockTestElement)
TL_IMPLEMENT_SERIAL(CLockTestProbe, CLockTestElement, 1)

namespace {

std::shared_ptr<CLockTestElement> Element(const std::string& name, uint32_t value) {
  auto e = std::make_shared<CLockTestElement>();
  e->m_name = name;
  e->m_value = value;
  return e;
}

// Hand-built map streams: the byte form as the other end writes it.
class MapStream {
 public:
  explicit MapStream(uint32_t count) { m_ar << count; }
  MapStream& Entry(const std::string& key, const std::string& cls, const std::string& name, uint32_t value) {
    m_ar << key << cls << name << value;
    return *this;
  }
  MapStream& Extra(const std::string& s) {
    m_ar << s;
    return *this;
  }
  const Bytes& bytes() const { return m_ar.Bytes(); }

 private:
  CArchive m_ar;
};

bool LoadMap(CLockableCollection& c, const Bytes& b) {
  CArchive ar(b.data(), b.size());
  return c.Load(ar);
}

Bytes Store(CLockableCollection& c) {
  CArchive ar;
  EXPECT_TRUE(c.Store(ar));
  return ar.Bytes();
}

uint32_t ValueOf(const CLockableMap& m, const std::string& key) {
  auto e = m.LookupAs<CLockTestElement>(key);
  return e ? e->m_value : 0xDEADu;
}

class LockableMapTest : public ::testing::Test {
 protected:
  void SetUp() override { map.SetElementClass(TL_RUNTIME_CLASS(CLockTestElement)); }
  CLockableMap map;
};

TEST_F(LockableMapTest, EmptyMapStoresOnlyAZeroCount) {
  EXPECT_EQ(Store(map), (Bytes{0x00, 0x00, 0x00, 0x00}));
}

TEST_F(LockableMapTest, OneEntryGolden) {
  map.SetAt("k", Element("k", 0x01020304));
  Bytes expected = {0x01, 0x00, 0x00, 0x00, 0x01, 'k', 16};
  for (char c : std::string("CLockTestElement")) expected.push_back(static_cast<uint8_t>(c));
  for (uint8_t b : Bytes{0x01, 'k', 0x04, 0x03, 0x02, 0x01}) expected.push_back(b);
  EXPECT_EQ(Store(map), expected);
}

TEST_F(LockableMapTest, RoundTripKeepsClassesValuesAndKeyOrder) {
  auto d = std::make_shared<CLockTestDerived>();
  d->m_name = "beta";
  d->m_value = 2;
  d->m_extra = std::string(300, 'e');
  map.SetAt("gamma", Element("gamma", 3));
  map.SetAt("beta", d);
  map.SetAt("Alpha", Element("Alpha", 1));
  const Bytes bytes = Store(map);

  CLockableMap copy;
  copy.SetElementClass(TL_RUNTIME_CLASS(CLockTestElement));
  ASSERT_TRUE(LoadMap(copy, bytes));
  EXPECT_TRUE(copy.LastLoadComplete());
  EXPECT_EQ(copy.LastLoadCount(), 3u);
  EXPECT_EQ(copy.Keys(), (std::vector<CString>{"Alpha", "beta", "gamma"}));
  auto back = copy.LookupAs<CLockTestDerived>("beta");
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->m_extra, d->m_extra);
  EXPECT_EQ(ValueOf(copy, "gamma"), 3u);
  EXPECT_EQ(Store(copy), bytes);
}

TEST_F(LockableMapTest, CountZeroEmptiesTheMapAndReleasesTheObjects) {
  auto a = Element("a", 1);
  std::weak_ptr<CLockTestElement> watch = a;
  map.SetAt("a", std::move(a));
  map.SetAt("b", Element("b", 2));
  ASSERT_TRUE(LoadMap(map, MapStream(0).bytes()));
  EXPECT_EQ(map.GetCount(), 0u);
  EXPECT_TRUE(watch.expired());
}

TEST_F(LockableMapTest, PresentKeyUpdatedInPlaceAbsentKeyDeletedNewKeyCreated) {
  auto a = Element("a", 1);
  auto z = Element("z", 26);
  CLockTestElement* held = a.get();
  std::weak_ptr<CLockTestElement> zWatch = z;
  map.SetAt("a", a);
  map.SetAt("z", std::move(z));
  a.reset();

  MapStream s(2);
  s.Entry("a", "CLockTestElement", "a", 100).Entry("n", "CLockTestElement", "n", 14);
  ASSERT_TRUE(LoadMap(map, s.bytes()));
  EXPECT_EQ(map.Lookup("a").get(), held);
  EXPECT_EQ(held->m_value, 100u);
  EXPECT_EQ(ValueOf(map, "n"), 14u);
  EXPECT_EQ(map.Lookup("z"), nullptr);
  EXPECT_TRUE(zWatch.expired());
  EXPECT_EQ(map.GetCount(), 2u);
}

TEST_F(LockableMapTest, KeysAreCaseSensitive) {
  map.SetAt("a", Element("a", 1));
  MapStream s(1);
  s.Entry("A", "CLockTestElement", "A", 2);
  ASSERT_TRUE(LoadMap(map, s.bytes()));
  EXPECT_EQ(map.Keys(), (std::vector<CString>{"A"}));
}

TEST_F(LockableMapTest, UnknownClassStopsTheLoadAndDeletesNothing) {
  auto a = Element("a", 1);
  map.SetAt("a", a);
  map.SetAt("z", Element("z", 26));
  MapStream s(3);
  s.Entry("a", "CLockTestElement", "a", 2).Entry("b", "CNoSuchClass", "b", 3).Entry("c", "CLockTestElement", "c", 4);
  EXPECT_FALSE(LoadMap(map, s.bytes()));
  EXPECT_FALSE(map.LastLoadComplete());
  EXPECT_NE(map.LastLoadError().find("CNoSuchClass"), std::string::npos);
  EXPECT_EQ(map.LastLoadCount(), 1u);
  EXPECT_EQ(a->m_value, 2u);  // read before the failure: kept
  EXPECT_EQ(map.Keys(), (std::vector<CString>{"a", "z"}));
}

TEST_F(LockableMapTest, ClassOutsideTheElementBaseIsNotCreated) {
  map.SetAt("z", Element("z", 26));
  CArchive ar;
  ar << uint32_t{1} << CString("s") << CString("CLockTestStranger") << CString("s");
  EXPECT_FALSE(LoadMap(map, ar.Bytes()));
  EXPECT_EQ(map.Keys(), (std::vector<CString>{"z"}));

  // The base class itself of the containers is not allowed either.
  CArchive ar2;
  ar2 << uint32_t{1} << CString("m") << CString("CLockableMap") << uint32_t{0};
  EXPECT_FALSE(LoadMap(map, ar2.Bytes()));
  EXPECT_EQ(map.Keys(), (std::vector<CString>{"z"}));
}

TEST_F(LockableMapTest, ClassWithoutFactoryIsNotCreated) {
  MapStream s(1);
  s.Entry("x", "CLockTestAbstract", "x", 1);
  EXPECT_FALSE(LoadMap(map, s.bytes()));
  EXPECT_TRUE(map.IsEmpty());
}

TEST_F(LockableMapTest, WithoutAnElementClassNothingIsCreated) {
  CLockableMap bare;
  MapStream s(1);
  s.Entry("x", "CLockTestElement", "x", 1);
  EXPECT_FALSE(LoadMap(bare, s.bytes()));
  EXPECT_TRUE(bare.IsEmpty());
}

TEST_F(LockableMapTest, NewElementWhoseNameDiffersFromItsKeyIsNotEntered) {
  MapStream s(2);
  s.Entry("x", "CLockTestElement", "x", 1).Entry("y", "CLockTestElement", "not-y", 2);
  EXPECT_FALSE(LoadMap(map, s.bytes()));
  EXPECT_EQ(map.Keys(), (std::vector<CString>{"x"}));
}

TEST_F(LockableMapTest, InPlaceElementRenamedByTheStreamIsPutBack) {
  auto a = Element("a", 1);
  map.SetAt("a", a);
  MapStream s(1);
  s.Entry("a", "CLockTestElement", "b", 2);
  EXPECT_FALSE(LoadMap(map, s.bytes()));
  EXPECT_EQ(map.Lookup("a"), a);
  EXPECT_EQ(a->m_name, "a");
  EXPECT_EQ(a->m_value, 1u);
}

TEST_F(LockableMapTest, AnotherClassUnderAPresentKeyReplacesTheObject) {
  auto a = Element("a", 1);
  std::weak_ptr<CLockTestElement> old = a;
  map.SetAt("a", std::move(a));
  MapStream s(1);
  s.Entry("a", "CLockTestDerived", "a", 5).Extra("more");
  ASSERT_TRUE(LoadMap(map, s.bytes()));
  auto d = map.LookupAs<CLockTestDerived>("a");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->m_value, 5u);
  EXPECT_EQ(d->m_extra, "more");
  EXPECT_TRUE(old.expired());
}

TEST_F(LockableMapTest, EveryTruncationLeavesNoHalfReadElementAndDeletesNothing) {
  MapStream s(2);
  s.Entry("a", "CLockTestElement", "a", 2).Entry("b", "CLockTestElement", "b", 3);
  const Bytes& full = s.bytes();
  const size_t endOfA = 4 + 2 + 17 + 2 + 4;
  for (size_t n = 0; n < full.size(); ++n) {
    CLockableMap m;
    m.SetElementClass(TL_RUNTIME_CLASS(CLockTestElement));
    auto a = Element("a", 1);
    m.SetAt("a", a);
    m.SetAt("z", Element("z", 26));
    std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
    if (n) std::memcpy(buf.get(), full.data(), n);
    CArchive ar(buf.get(), n);
    EXPECT_FALSE(m.Load(ar)) << n;
    EXPECT_EQ(m.Lookup("a"), a) << n;
    EXPECT_EQ(a->m_name, "a") << n;
    EXPECT_EQ(a->m_value, n >= endOfA ? 2u : 1u) << n;
    EXPECT_EQ(m.Keys(), (std::vector<CString>{"a", "z"})) << n;
  }
}

TEST_F(LockableMapTest, HugeCountIsRefusedUpFront) {
  map.SetAt("z", Element("z", 26));
  const Bytes b = {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'a', 0x00};
  EXPECT_FALSE(LoadMap(map, b));
  EXPECT_EQ(map.LastLoadCount(), 0u);
  EXPECT_NE(map.LastLoadError().find("count"), std::string::npos);
  EXPECT_EQ(map.GetCount(), 1u);
}

TEST_F(LockableMapTest, SerializeSwallowsAndSerializeCheckedThrows) {
  map.SetAt("z", Element("z", 26));
  const Bytes b = {0x01, 0x00};
  CArchive ar(b.data(), b.size());
  EXPECT_NO_THROW(map.Serialize(ar));
  EXPECT_FALSE(map.LastLoadComplete());
  CArchive ar2(b.data(), b.size());
  EXPECT_THROW(map.SerializeChecked(ar2), CArchiveException);
  EXPECT_EQ(map.GetCount(), 1u);
  // The lock is free again after both.
  bool free = false;
  std::thread([&] {
    free = map.try_lock();
    if (free) map.unlock();
  }).join();
  EXPECT_TRUE(free);
}

TEST_F(LockableMapTest, NullElementIsRefused) {
  EXPECT_THROW(map.SetAt("x", nullptr), std::invalid_argument);
  EXPECT_TRUE(map.IsEmpty());
}

TEST_F(LockableMapTest, DroppedElementsAreReleasedOutsideTheLock) {
  CLockTestProbe::s_watch = &map;
  CLockTestProbe::s_destroyedUnlocked = CLockTestProbe::s_destroyedLocked = 0;
  auto probe = [] {
    auto p = std::make_shared<CLockTestProbe>();
    p->m_name = "p";
    return p;
  };
  map.SetAt("p", probe());
  map.RemoveKey("p");
  map.SetAt("p", probe());
  map.SetAt("p", probe());  // replaces
  map.RemoveAll();
  map.SetAt("p", probe());
  ASSERT_TRUE(LoadMap(map, MapStream(0).bytes()));
  CLockTestProbe::s_watch = nullptr;
  EXPECT_EQ(CLockTestProbe::s_destroyedUnlocked, 4);
  EXPECT_EQ(CLockTestProbe::s_destroyedLocked, 0);
}

TEST(LockableStringMap, GoldenRoundTripAndReplacement) {
  CLockableStringMap m;
  m.SetAt("b", "2");
  m.SetAt("a", "1");
  const Bytes expected = {0x02, 0x00, 0x01, 'a', 0x01, '1', 0x01, 'b', 0x01, '2'};
  EXPECT_EQ(Store(m), expected);

  CLockableStringMap other;
  other.SetAt("old", "x");
  ASSERT_TRUE(LoadMap(other, expected));
  EXPECT_EQ(other.Snapshot(), m.Snapshot());
  CString v;
  EXPECT_FALSE(other.Lookup("old", v));
  EXPECT_TRUE(other.Lookup("b", v));
  EXPECT_EQ(v, "2");
}

TEST(LockableStringMap, FailedLoadLeavesTheMapAsItWas) {
  CLockableStringMap m;
  m.SetAt("keep", "me");
  const Bytes full = {0x02, 0x00, 0x01, 'a', 0x01, '1', 0x01, 'b', 0x01, '2'};
  for (size_t n = 0; n < full.size(); ++n) {
    const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(LoadMap(m, cut)) << n;
    EXPECT_EQ(m.Snapshot(), (CLockableStringMap::Map{{"keep", "me"}})) << n;
  }
  const Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00};
  EXPECT_FALSE(LoadMap(m, huge));
  EXPECT_EQ(m.GetCount(), 1u);
}

class LockableListTest : public ::testing::Test {
 protected:
  void SetUp() override { list.SetElementClass(TL_RUNTIME_CLASS(CLockTestElement)); }
  CLockableList list;
};

TEST_F(LockableListTest, RoundTripWithTaggedElements) {
  list.AddTail(Element("one", 1));
  auto d = std::make_shared<CLockTestDerived>();
  d->m_name = "two";
  d->m_extra = "x";
  list.AddTail(d);
  list.AddTail(Element("three", 3));
  const Bytes bytes = Store(list);
  // Count 3, then the first object with its class name, ... the third refers to class 1.
  ASSERT_GE(bytes.size(), 6u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), (Bytes{0x03, 0x00, 0xFF, 0xFF}));

  CLockableList back;
  back.SetElementClass(TL_RUNTIME_CLASS(CLockTestElement));
  ASSERT_TRUE(LoadMap(back, bytes));
  auto items = back.Snapshot();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(std::static_pointer_cast<CLockTestElement>(items[0])->m_name, "one");
  auto d2 = std::dynamic_pointer_cast<CLockTestDerived>(items[1]);
  ASSERT_NE(d2, nullptr);
  EXPECT_EQ(d2->m_extra, "x");
  EXPECT_EQ(std::static_pointer_cast<CLockTestElement>(items[2])->m_value, 3u);
  EXPECT_EQ(Store(back), bytes);
}

TEST_F(LockableListTest, LoadReplacesElementsAndReleasesTheOldOnes) {
  auto old = Element("old", 0);
  std::weak_ptr<CLockTestElement> watch = old;
  list.AddTail(std::move(old));
  const Bytes empty = {0x00, 0x00};
  ASSERT_TRUE(LoadMap(list, empty));
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_TRUE(watch.expired());
}

TEST_F(LockableListTest, RefusedOrTruncatedLoadLeavesTheListAsItWas) {
  CLockableList src;
  src.AddTail(Element("a", 1));
  src.AddTail(std::make_shared<CLockTestStranger>());
  const Bytes withStranger = Store(src);
  auto keep = Element("keep", 7);
  list.AddTail(keep);
  EXPECT_FALSE(LoadMap(list, withStranger));
  EXPECT_NE(list.LastLoadError().find("CLockTestStranger"), std::string::npos);
  ASSERT_EQ(list.GetCount(), 1u);
  EXPECT_EQ(list.GetHead(), keep);

  CLockableList good;
  good.AddTail(Element("a", 1));
  good.AddTail(Element("b", 2));
  const Bytes full = Store(good);
  for (size_t n = 0; n < full.size(); ++n) {
    const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(LoadMap(list, cut)) << n;
    ASSERT_EQ(list.GetCount(), 1u) << n;
    EXPECT_EQ(list.GetHead(), keep) << n;
  }
  const Bytes huge = {0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
  EXPECT_FALSE(LoadMap(list, huge));
  EXPECT_EQ(list.GetCount(), 1u);
}

TEST_F(LockableListTest, FindRemoveAndEnds) {
  auto a = Element("a", 1), b = Element("b", 2), c = Element("c", 3);
  list.AddTail(b);
  list.AddHead(a);
  list.AddTail(c);
  EXPECT_EQ(list.GetHead(), a);
  EXPECT_EQ(list.GetTail(), c);
  EXPECT_TRUE(list.Contains(b.get()));
  {
    CLockGuard guard(list);
    auto pos = list.Find(b.get());
    ASSERT_NE(pos, list.end());
    list.RemoveAt(pos);
  }
  EXPECT_FALSE(list.Contains(b.get()));
  EXPECT_FALSE(list.Remove(b.get()));
  EXPECT_TRUE(list.Remove(c.get()));
  EXPECT_EQ(list.RemoveTail(), a);
  EXPECT_EQ(list.RemoveHead(), nullptr);
  EXPECT_EQ(list.GetHead(), nullptr);
}

TEST(LockableArray, RoundTripKeepsOrderAndNulls) {
  CLockableArray arr;
  arr.SetElementClass(TL_RUNTIME_CLASS(CLockTestElement));
  arr.Add(Element("a", 1));
  arr.Add(nullptr);
  EXPECT_EQ(arr.Add(Element("c", 3)), 2u);
  const Bytes bytes = Store(arr);
  CLockableArray back;
  back.SetElementClass(TL_RUNTIME_CLASS(CLockTestElement));
  ASSERT_TRUE(LoadMap(back, bytes));
  ASSERT_EQ(back.GetSize(), 3u);
  EXPECT_EQ(back.GetAt(1), nullptr);
  EXPECT_EQ(std::static_pointer_cast<CLockTestElement>(back.GetAt(2))->m_value, 3u);

  // Without an element class nothing is created, and the array stays as it was.
  CLockableArray bare;
  bare.Add(Element("keep", 0));
  EXPECT_FALSE(LoadMap(bare, bytes));
  EXPECT_EQ(bare.GetSize(), 1u);
}

TEST(LockableArray, IndexChecks) {
  CLockableArray arr;
  EXPECT_THROW(arr.GetAt(0), std::out_of_range);
  arr.Add(Element("a", 1));
  arr.InsertAt(0, Element("z", 0));
  arr.InsertAt(2, Element("end", 2));
  EXPECT_THROW(arr.InsertAt(4, nullptr), std::out_of_range);
  EXPECT_THROW(arr.RemoveAt(2, 2), std::out_of_range);
  EXPECT_THROW(arr.SetAt(3, nullptr), std::out_of_range);
  arr.RemoveAt(0, 2);
  ASSERT_EQ(arr.GetSize(), 1u);
  EXPECT_EQ(std::static_pointer_cast<CLockTestElement>(arr.GetAt(0))->m_name, "end");
}

TEST(LockableLocking, RecursiveForItsOwnerExclusiveForOthers) {
  CLockableMap map;
  map.Lock();
  map.Lock(5000);  // the time-out is accepted and ignored
  map.SetAt("a", Element("a", 1));  // takes the lock again on this thread
  bool otherGotIt = true;
  std::thread([&] { otherGotIt = map.try_lock(); }).join();
  EXPECT_FALSE(otherGotIt);
  map.Unlock();
  map.Unlock();
  std::thread([&] {
    otherGotIt = map.try_lock();
    if (otherGotIt) map.unlock();
  }).join();
  EXPECT_TRUE(otherGotIt);
}

TEST(LockableLocking, ConcurrentWritersLoseNothing) {
  CLockableMap map;
  CLockableList list;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 250; ++i) {
        const std::string key = std::to_string(t) + "-" + std::to_string(i);
        map.SetAt(key, Element(key, 0));
        list.AddTail(Element(key, 0));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(map.GetCount(), 1000u);
  EXPECT_EQ(list.GetCount(), 1000u);
}

TEST(LockableObject, CopyCarriesValuesAndGetsItsOwnMutex) {
  CLockTestElement original;
  original.m_name = "n";
  original.m_value = 4;
  original.Lock();
  CLockTestElement copy(original);
  bool copyFree = false;
  std::thread([&] {
    copyFree = copy.try_lock();
    if (copyFree) copy.unlock();
  }).join();
  original.Unlock();
  EXPECT_TRUE(copyFree);
  EXPECT_EQ(copy.m_name, "n");
  EXPECT_EQ(copy.m_value, 4u);
  EXPECT_TRUE(copy.IsKindOf(TL_RUNTIME_CLASS(CLockableObject)));
}

}  // namespace
