#pragma once
// Run-time class records and the common object base of every archived configuration class.
//
// Objects travel between engine and console, and sit in the registry, with their class name; a
// reader creates them by that name. Creation is therefore limited to classes that registered a
// factory, and every reader names the base class it expects, so a stream can never make the
// program build an object of an unrelated class.
//
// A class is registered under its stored name, which is usually its C++ name. Settings classes
// that both programs hold are registered under the name of the object the engine runs (the
// settings of the web proxy, CWWWServiceSettings, are stored as "CWWWService"), and the engine
// gives that record a factory of its own (CProgramFactory): the same stored name makes a running
// service in the engine and its settings in the console.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CArchive;
class CObject;

struct CRuntimeClass {
  const char* m_className;
  uint16_t m_schema;  // archive schema number written with the class name
  const CRuntimeClass* m_baseClass;
  std::shared_ptr<CObject> (*m_createObject)();  // null: not creatable by name
  const CRuntimeClass* m_nextClass;                // registration list
  // Set by a program that makes objects of its own under this stored name (CProgramFactory);
  // it then takes the place of m_createObject.
  std::shared_ptr<CObject> (*m_programFactory)() = nullptr;

  bool IsDerivedFrom(const CRuntimeClass* base) const;
  // Null when the class cannot be created by name.
  std::shared_ptr<CObject> CreateObject() const;
  // The registered class of exactly that name (case-sensitive), or null.
  static const CRuntimeClass* FromName(std::string_view name);
  // Every registered class, for diagnostics and tests.
  static std::vector<const CRuntimeClass*> All();
};

// Adds a class record to the process-wide list; used by the registration macros.
struct CClassRegistration {
  explicit CClassRegistration(CRuntimeClass* cls);
};

// Gives a registered, creatable class the program's own factory (a static object of the program,
// made during static initialisation like the registrations). The factory must make an object
// whose run-time class is that record: an object of a class derived from the record's C++ class
// that does not declare a record of its own.
struct CProgramFactory {
  CProgramFactory(CRuntimeClass* cls, std::shared_ptr<CObject> (*create)());
};

class CObject {
 public:
  virtual ~CObject() = default;
  virtual const CRuntimeClass* GetRuntimeClass() const;
  virtual void Serialize(CArchive& ar);
  bool IsKindOf(const CRuntimeClass* cls) const;
  // The name under which a container keys this object, when it has one (users, groups,
  // services ...). A map loaded from a stream requires its keys to equal these names.
  virtual const std::string* GetKeyName() const { return nullptr; }

  static CRuntimeClass classCObject;
  // The record of the class named in the code (templates cannot paste names as the macros do).
  static const CRuntimeClass* GetThisClass() { return &classCObject; }
};

#define TL_RUNTIME_CLASS(cls) (&cls::class##cls)

// In the class body: a class with a run-time record (not creatable by name).
#define TL_DECLARE_DYNAMIC(cls)                                   \
 public:                                                          \
  static CRuntimeClass class##cls;                                \
  static const CRuntimeClass* GetThisClass() { return &class##cls; } \
  const CRuntimeClass* GetRuntimeClass() const override;          \
                                                                  \
 private:

// In the class body: a class that archives and can be created by name.
#define TL_DECLARE_SERIAL(cls)                                    \
  TL_DECLARE_DYNAMIC(cls)                                         \
 public:                                                          \
  static std::shared_ptr<CObject> CreateObject();                 \
                                                                  \
 private:

#define TL_IMPLEMENT_RUNTIMECLASS_(cls, name, base, schema, factory)                             \
  CRuntimeClass cls::class##cls = {name, schema, TL_RUNTIME_CLASS(base), factory, nullptr, nullptr}; \
  static CClassRegistration tl_register_##cls(&cls::class##cls);                               \
  const CRuntimeClass* cls::GetRuntimeClass() const { return &cls::class##cls; }

#define TL_IMPLEMENT_DYNAMIC(cls, base) TL_IMPLEMENT_RUNTIMECLASS_(cls, #cls, base, 0xFFFF, nullptr)

#define TL_IMPLEMENT_SERIAL(cls, base, schema) TL_IMPLEMENT_SERIAL_AS(cls, #cls, base, schema)

// A creatable class stored under another name than its C++ name (a settings class stored under
// the name of the object the engine runs).
#define TL_IMPLEMENT_SERIAL_AS(cls, name, base, schema)                              \
  std::shared_ptr<CObject> cls::CreateObject() { return std::make_shared<cls>(); }   \
  TL_IMPLEMENT_RUNTIMECLASS_(cls, name, base, schema, &cls::CreateObject)
