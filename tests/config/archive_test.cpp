#include "engine/config/archive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Test classes live at namespace scope: their names are registered process-wide.
class CArchTestItem : public CObject {
  TL_DECLARE_SERIAL(CArchTestItem)

 public:
  CString m_text;
  uint32_t m_value = 0;
  void Serialize(CArchive& ar) override {
    if (ar.IsStoring()) {
      ar << m_text << m_value;
    } else {
      ar >> m_text >> m_value;
    }
  }
};

class CArchTestDerived : public CArchTestItem {
  TL_DECLARE_SERIAL(CArchTestDerived)
};

// Not related to CArchTestItem.
class CArchTestOther : public CObject {
  TL_DECLARE_SERIAL(CArchTestOther)

 public:
  void Serialize(CArchive&) override {}
};

// Known by name but not creatable from a stream.
class CArchTestAbstract : public CArchTestItem {
  TL_DECLARE_DYNAMIC(CArchTestAbstract)
};

// Holds one more of itself, to build streams that nest without end.
class CArchTestNode : public CObject {
  TL_DECLARE_SERIAL(CArchTestNode)

 public:
  std::shared_ptr<CObject> m_child;
  void Serialize(CArchive& ar) override {
    if (ar.IsStoring()) {
      ar.WriteObject(m_child.get());
    } else {
      m_child = ar.ReadObject(TL_RUNTIME_CLASS(CArchTestNode));
    }
  }
};

// Writes a different schema than the one registered under the same name is read with.
class CArchTestSchema : public CObject {
  TL_DECLARE_SERIAL(CArchTestSchema)
};

TL_IMPLEMENT_SERIAL(CArchTestItem, CObject, 1)
TL_IMPLEMENT_SERIAL(CArchTestDerived, CArchTestItem, 1)
TL_IMPLEMENT_SERIAL(CArchTestOther, CObject, 1)
TL_IMPLEMENT_DYNAMIC(CArchTestAbstract, CArchTestItem)
TL_IMPLEMENT_SERIAL(CArchTestNode, CObject, 1)
TL_IMPLEMENT_SERIAL(CArchTestSchema, CObject, 3)

namespace {

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

constexpr auto kNoError = static_cast<CArchiveException::Cause>(0);

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

CArchiveException::Cause CauseOf(const Bytes& bytes, const CRuntimeClass* base) {
  CArchive ar(bytes.data(), bytes.size());
  try {
    ar.ReadObject(base);
  } catch (const CArchiveException& e) {
    return e.GetCause();
  }
  return kNoError;
}

TEST(ArchiveString, LengthFormsAreExact) {
  struct Case {
    size_t length;
    Bytes prefix;
  };
  const Case cases[] = {
      {0, {0x00}},
      {254, {0xFE}},
      {255, {0xFF, 0xFF, 0x00}},
      {65533, {0xFF, 0xFD, 0xFF}},
      {65534, {0xFF, 0xFE, 0xFF}},
      {65535, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}},
      {70000, {0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}},
  };
  for (const auto& c : cases) {
    const std::string s(c.length, 'x');
    CArchive out;
    out << s;
    const Bytes& b = out.Bytes();
    ASSERT_EQ(b.size(), c.prefix.size() + c.length) << c.length;
    EXPECT_EQ(Bytes(b.begin(), b.begin() + c.prefix.size()), c.prefix) << c.length;

    CArchive in(b.data(), b.size());
    CString back;
    in >> back;
    EXPECT_EQ(back, s);
    EXPECT_EQ(in.BytesLeft(), 0u);
  }
}

TEST(ArchiveString, BytesArePassedUnchanged) {
  const std::string s("a\0b\xff\x80z", 6);
  CArchive out;
  out.WriteString(s);
  CArchive in(out.Bytes().data(), out.Bytes().size());
  EXPECT_EQ(in.ReadString(), s);
}

TEST(ArchiveString, LongFormOfShortLengthIsAccepted) {
  const Bytes b = {0xFF, 0x03, 0x00, 'a', 'b', 'c'};
  CArchive in(b.data(), b.size());
  EXPECT_EQ(in.ReadString(), "abc");
}

TEST(ArchiveString, A65534LengthBeyondTheDataIsRefused) {
  // 0xFF 0xFFFE announces 65534 bytes; with only four behind it the read must fail cleanly.
  const Bytes b = {0xFF, 0xFE, 0xFF, 0x02, 'a', 0, 'b', 0};
  CArchive in(b.data(), b.size());
  try {
    in.ReadString();
    FAIL() << "short string accepted";
  } catch (const CArchiveException& e) {
    EXPECT_EQ(e.GetCause(), CArchiveException::endOfFile);
  }
}

TEST(ArchiveString, LengthBeyondDataIsRefusedBeforeReading) {
  // A 4 GiB length with three bytes behind it: refused by the length check, not by running
  // out while copying.
  const Bytes b = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c'};
  CArchive in(b.data(), b.size());
  try {
    in.ReadString();
    FAIL();
  } catch (const CArchiveException& e) {
    EXPECT_EQ(e.GetCause(), CArchiveException::endOfFile);
  }
}

TEST(ArchiveIntegers, LittleEndianGoldenAndRoundTrip) {
  CArchive out;
  out << uint8_t{0xAB} << uint16_t{0x1234} << uint32_t{0x89ABCDEFu} << int32_t{-2}
      << uint64_t{0x0102030405060708ull} << int64_t{std::numeric_limits<int64_t>::min()} << 1.5;
  const Bytes expected = {0xAB, 0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 0xFE, 0xFF, 0xFF, 0xFF, 0x08, 0x07,
                          0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F};
  EXPECT_EQ(out.Bytes(), expected);

  CArchive in(out.Bytes().data(), out.Bytes().size());
  uint8_t a;
  uint16_t b;
  uint32_t c;
  int32_t d;
  uint64_t e;
  int64_t f;
  double g;
  in >> a >> b >> c >> d >> e >> f >> g;
  EXPECT_EQ(a, 0xAB);
  EXPECT_EQ(b, 0x1234);
  EXPECT_EQ(c, 0x89ABCDEFu);
  EXPECT_EQ(d, -2);
  EXPECT_EQ(e, 0x0102030405060708ull);
  EXPECT_EQ(f, std::numeric_limits<int64_t>::min());
  EXPECT_EQ(g, 1.5);
  EXPECT_EQ(in.BytesLeft(), 0u);
}

TEST(ArchiveIntegers, DoublesKeepEveryBit) {
  const double values[] = {0.0, -0.0, 36526.75, -1e308, std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
  for (double v : values) {
    CArchive out;
    out << v;
    ASSERT_EQ(out.Bytes().size(), 8u);
    CArchive in(out.Bytes().data(), out.Bytes().size());
    double back;
    in >> back;
    EXPECT_EQ(std::memcmp(&back, &v, sizeof v), 0) << v;
  }
}

TEST(ArchiveIntegers, ShortReadThrowsAndConsumesNothing) {
  const Bytes b = {0x01, 0x02, 0x03};
  CArchive in(b.data(), b.size());
  uint32_t v = 7;
  EXPECT_THROW(in >> v, CArchiveException);
  EXPECT_EQ(v, 7u);
  EXPECT_EQ(in.BytesLeft(), 3u);
  uint16_t w;
  in >> w;
  EXPECT_EQ(w, 0x0201);
}

TEST(ArchiveMode, ReadingAStoringArchiveAndWritingALoadingOneAreRefused) {
  CArchive out;
  uint8_t v;
  EXPECT_THROW(out >> v, CArchiveException);
  const Bytes b = {1};
  CArchive in(b.data(), b.size());
  try {
    in << uint8_t{1};
    FAIL();
  } catch (const CArchiveException& e) {
    EXPECT_EQ(e.GetCause(), CArchiveException::wrongMode);
  }
}

TEST(ArchiveCount, ShortAndEscapedForms) {
  CArchive out;
  out.WriteCount(0);
  out.WriteCount(0xFFFE);
  out.WriteCount(0xFFFF);
  out.WriteCount(0x12345678);
  const Bytes expected = {0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(out.Bytes(), expected);

  CArchive in(out.Bytes().data(), out.Bytes().size());
  EXPECT_EQ(in.ReadCount(0), 0u);
  EXPECT_EQ(in.ReadCount(0), 0xFFFEu);
  EXPECT_EQ(in.ReadCount(0), 0xFFFFu);
  EXPECT_EQ(in.ReadCount(0), 0x12345678u);
}

TEST(ArchiveCount, CountsBeyondTheRemainingBytesAreRefused) {
  // Three elements announced, five bytes left, two bytes each at least.
  const Bytes b = {0x03, 0x00, 1, 2, 3, 4, 5};
  CArchive in(b.data(), b.size());
  try {
    in.ReadCount(2);
    FAIL();
  } catch (const CArchiveException& e) {
    EXPECT_EQ(e.GetCause(), CArchiveException::badLength);
  }
  const Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  CArchive in2(huge.data(), huge.size());
  EXPECT_THROW(in2.ReadCount(1), CArchiveException);
  CArchive in3(b.data(), b.size());
  EXPECT_EQ(in3.ReadCount(1), 3u);
}

TEST(ArchiveObject, TwoObjectsOfOneClassUseTheClassIndex) {
  CArchTestItem a, b;
  a.m_text = "x";
  a.m_value = 1;
  b.m_value = 2;
  CArchive out;
  out.WriteObject(&a);
  out.WriteObject(nullptr);
  out.WriteObject(&b);
  const Bytes expected = Concat({
      {0xFF, 0xFF, 0x01, 0x00, 13, 0x00},
      Text("CArchTestItem"),
      {0x01, 'x', 0x01, 0x00, 0x00, 0x00},
      {0x00, 0x00},
      {0x01, 0x80},
      {0x00, 0x02, 0x00, 0x00, 0x00},
  });
  EXPECT_EQ(out.Bytes(), expected);

  CArchive in(out.Bytes().data(), out.Bytes().size());
  auto ra = in.ReadObjectAs<CArchTestItem>();
  auto rn = in.ReadObject(TL_RUNTIME_CLASS(CArchTestItem));
  auto rb = in.ReadObjectAs<CArchTestItem>();
  ASSERT_TRUE(ra && rb);
  EXPECT_EQ(rn, nullptr);
  EXPECT_EQ(ra->m_text, "x");
  EXPECT_EQ(ra->m_value, 1u);
  EXPECT_EQ(rb->m_value, 2u);
  EXPECT_NE(ra, rb);
  EXPECT_EQ(in.BytesLeft(), 0u);
}

TEST(ArchiveObject, ClassesAndObjectsShareOneCounter) {
  // Item class 1, its object 2, derived class 3, its object 4: the next item refers to 1, the
  // next derived to 3.
  CArchTestItem a;
  CArchTestDerived d;
  CArchive out;
  out.WriteObject(&a);
  out.WriteObject(&d);
  out.WriteObject(&a);
  out.WriteObject(&d);
  const Bytes item = {0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes expected = Concat({
      {0xFF, 0xFF, 0x01, 0x00, 13, 0x00}, Text("CArchTestItem"), item,
      {0xFF, 0xFF, 0x01, 0x00, 16, 0x00}, Text("CArchTestDerived"), item,
      {0x01, 0x80}, item,
      {0x03, 0x80}, item,
  });
  EXPECT_EQ(out.Bytes(), expected);

  CArchive in(out.Bytes().data(), out.Bytes().size());
  const CRuntimeClass* base = TL_RUNTIME_CLASS(CArchTestItem);
  EXPECT_EQ(in.ReadObject(base)->GetRuntimeClass(), TL_RUNTIME_CLASS(CArchTestItem));
  EXPECT_EQ(in.ReadObject(base)->GetRuntimeClass(), TL_RUNTIME_CLASS(CArchTestDerived));
  EXPECT_EQ(in.ReadObject(base)->GetRuntimeClass(), TL_RUNTIME_CLASS(CArchTestItem));
  EXPECT_EQ(in.ReadObject(base)->GetRuntimeClass(), TL_RUNTIME_CLASS(CArchTestDerived));
}

TEST(ArchiveObject, IndexesFrom0x7FFFUseTheBigForm) {
  // 0x7FFF items take indexes 2..0x8000 after their class (1); the other class then gets 0x8001.
  CArchTestOther other;
  CArchTestItem item;
  CArchive out;
  for (int i = 0; i < 0x7FFF; ++i) out.WriteObject(&item);
  const size_t mark = out.Bytes().size();
  out.WriteObject(&other);
  out.WriteObject(&other);
  const Bytes& b = out.Bytes();
  const Bytes tail(b.begin() + static_cast<std::ptrdiff_t>(mark), b.end());
  const Bytes expected = Concat({{0xFF, 0xFF, 0x01, 0x00, 14, 0x00}, Text("CArchTestOther"),
                                 {0xFF, 0x7F, 0x01, 0x80, 0x00, 0x80}});
  EXPECT_EQ(tail, expected);

  CArchive in(b.data(), b.size());
  for (int i = 0; i < 0x7FFF; ++i) ASSERT_NE(in.ReadObject(TL_RUNTIME_CLASS(CObject)), nullptr);
  EXPECT_NE(in.ReadObjectAs<CArchTestOther>(), nullptr);
  EXPECT_NE(in.ReadObjectAs<CArchTestOther>(), nullptr);
  EXPECT_EQ(in.BytesLeft(), 0u);
}

TEST(ArchiveObject, ClassOutsideTheExpectedBaseIsRefused) {
  CArchTestOther other;
  CArchive out;
  out.WriteObject(&other);
  EXPECT_EQ(CauseOf(out.Bytes(), TL_RUNTIME_CLASS(CArchTestItem)), CArchiveException::badClass);
  // A base class is not derived from its own derived class either.
  CArchTestItem item;
  CArchive out2;
  out2.WriteObject(&item);
  EXPECT_EQ(CauseOf(out2.Bytes(), TL_RUNTIME_CLASS(CArchTestDerived)), CArchiveException::badClass);
  // No expected base: nothing is created.
  EXPECT_EQ(CauseOf(out2.Bytes(), nullptr), CArchiveException::badClass);
}

TEST(ArchiveObject, UnknownClassNameIsRefused) {
  const Bytes b = Concat({{0xFF, 0xFF, 0x01, 0x00, 13, 0x00}, Text("carchtestitem"), {0x00, 0, 0, 0, 0}});
  EXPECT_EQ(CauseOf(b, TL_RUNTIME_CLASS(CObject)), CArchiveException::badClass);
}

TEST(ArchiveObject, ClassWithoutFactoryIsRefusedBothWays) {
  CArchTestAbstract abstract;
  CArchive out;
  try {
    out.WriteObject(&abstract);
    FAIL();
  } catch (const CArchiveException& e) {
    EXPECT_EQ(e.GetCause(), CArchiveException::badClass);
  }
  const Bytes b = Concat({{0xFF, 0xFF, 0xFF, 0xFF, 17, 0x00}, Text("CArchTestAbstract"), {0x00, 0, 0, 0, 0}});
  EXPECT_EQ(CauseOf(b, TL_RUNTIME_CLASS(CObject)), CArchiveException::badClass);
}

TEST(ArchiveObject, SchemaMismatchIsRefused) {
  const Bytes b = Concat({{0xFF, 0xFF, 0x02, 0x00, 15, 0x00}, Text("CArchTestSchema")});
  EXPECT_EQ(CauseOf(b, TL_RUNTIME_CLASS(CObject)), CArchiveException::badSchema);
  const Bytes good = Concat({{0xFF, 0xFF, 0x03, 0x00, 15, 0x00}, Text("CArchTestSchema")});
  EXPECT_EQ(CauseOf(good, TL_RUNTIME_CLASS(CObject)), kNoError);
}

TEST(ArchiveObject, BackReferencesAndUndefinedIndexesAreRefused) {
  CArchTestItem item;
  CArchive out;
  out.WriteObject(&item);
  const Bytes first = out.Bytes();
  auto with = [&](Bytes tag) { return Concat({first, tag, {0x00, 0, 0, 0, 0}}); };
  auto causeOfSecond = [&](const Bytes& b) {
    CArchive in(b.data(), b.size());
    in.ReadObject(TL_RUNTIME_CLASS(CObject));
    try {
      in.ReadObject(TL_RUNTIME_CLASS(CObject));
    } catch (const CArchiveException& e) {
      return e.GetCause();
    }
    return kNoError;
  };
  EXPECT_EQ(causeOfSecond(with({0x02, 0x00})), CArchiveException::badIndex);  // the first object
  EXPECT_EQ(causeOfSecond(with({0x02, 0x80})), CArchiveException::badIndex);  // an object, not a class
  EXPECT_EQ(causeOfSecond(with({0x09, 0x80})), CArchiveException::badIndex);  // not read yet
  EXPECT_EQ(causeOfSecond(with({0x00, 0x80})), CArchiveException::badIndex);
  EXPECT_EQ(causeOfSecond(with({0xFF, 0x7F, 0x02, 0x00, 0x00, 0x00})), CArchiveException::badIndex);
  EXPECT_EQ(causeOfSecond(with({0xFF, 0x7F, 0x09, 0x00, 0x00, 0x80})), CArchiveException::badIndex);
  // The big form of a defined class index is accepted.
  EXPECT_EQ(causeOfSecond(with({0xFF, 0x7F, 0x01, 0x00, 0x00, 0x80})), kNoError);
}

TEST(ArchiveObject, EndlessNestingIsRefusedNotOverflowingTheStack) {
  // Each level is a class reference and one more level: 0x8001 repeated.
  Bytes b = Concat({{0xFF, 0xFF, 0x01, 0x00, 13, 0x00}, Text("CArchTestNode")});
  for (int i = 0; i < 100000; ++i) {
    b.push_back(0x01);
    b.push_back(0x80);
  }
  b.push_back(0x00);
  b.push_back(0x00);
  EXPECT_EQ(CauseOf(b, TL_RUNTIME_CLASS(CArchTestNode)), CArchiveException::badLength);

  // Ordinary depth reads back.
  auto root = std::make_shared<CArchTestNode>();
  CArchTestNode* at = root.get();
  for (int i = 0; i < 10; ++i) {
    auto child = std::make_shared<CArchTestNode>();
    at->m_child = child;
    at = child.get();
  }
  CArchive out;
  out.WriteObject(root.get());
  CArchive in(out.Bytes().data(), out.Bytes().size());
  auto back = in.ReadObjectAs<CArchTestNode>();
  int depth = 0;
  for (auto* n = back.get(); n->m_child; n = static_cast<CArchTestNode*>(n->m_child.get())) ++depth;
  EXPECT_EQ(depth, 10);
}

TEST(ArchiveObject, EveryTruncationThrowsCleanly) {
  CArchTestItem a;
  a.m_text = std::string(300, 'q');
  a.m_value = 9;
  CArchTestDerived d;
  CArchive out;
  out.WriteObject(&a);
  out.WriteObject(&d);
  out.WriteObject(&a);
  out << 2.5 << int64_t{-1};
  const Bytes& full = out.Bytes();
  for (size_t n = 0; n < full.size(); ++n) {
    // Copy into a buffer of exactly n bytes so that any over-read is caught by the sanitizer.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
    if (n) std::memcpy(buf.get(), full.data(), n);
    CArchive in(buf.get(), n);
    EXPECT_THROW(
        {
          for (int i = 0; i < 3; ++i) in.ReadObject(TL_RUNTIME_CLASS(CArchTestItem));
          double x;
          int64_t y;
          in >> x >> y;
        },
        CArchiveException)
        << n;
  }
}

TEST(RuntimeClass, LookupIsExactAndDerivationWalksBases) {
  EXPECT_EQ(CRuntimeClass::FromName("CArchTestDerived"), TL_RUNTIME_CLASS(CArchTestDerived));
  EXPECT_EQ(CRuntimeClass::FromName("carchtestderived"), nullptr);
  EXPECT_EQ(CRuntimeClass::FromName("CArchTestDerived "), nullptr);
  EXPECT_EQ(CRuntimeClass::FromName(""), nullptr);
  EXPECT_EQ(CRuntimeClass::FromName("CObject"), TL_RUNTIME_CLASS(CObject));

  const CRuntimeClass* d = TL_RUNTIME_CLASS(CArchTestDerived);
  EXPECT_TRUE(d->IsDerivedFrom(TL_RUNTIME_CLASS(CArchTestItem)));
  EXPECT_TRUE(d->IsDerivedFrom(TL_RUNTIME_CLASS(CObject)));
  EXPECT_TRUE(d->IsDerivedFrom(d));
  EXPECT_FALSE(d->IsDerivedFrom(TL_RUNTIME_CLASS(CArchTestOther)));
  EXPECT_FALSE(d->IsDerivedFrom(nullptr));
  EXPECT_FALSE(TL_RUNTIME_CLASS(CArchTestItem)->IsDerivedFrom(d));

  CArchTestDerived obj;
  EXPECT_TRUE(obj.IsKindOf(TL_RUNTIME_CLASS(CArchTestItem)));
  EXPECT_FALSE(obj.IsKindOf(TL_RUNTIME_CLASS(CArchTestOther)));
  EXPECT_EQ(TL_RUNTIME_CLASS(CArchTestAbstract)->CreateObject(), nullptr);
  auto made = TL_RUNTIME_CLASS(CArchTestDerived)->CreateObject();
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->GetRuntimeClass(), d);

  size_t mine = 0;
  for (const CRuntimeClass* c : CRuntimeClass::All()) {
    if (std::string(c->m_className).rfind("CArchTest", 0) == 0) ++mine;
  }
  EXPECT_EQ(mine, 6u);
}

}  // namespace
