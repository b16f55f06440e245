#pragma once
// What every editor of the console stands on, without a toolkit: the values of a page and its
// rules live in a page logic object (load from the object, enable and show rules keyed by the
// control ids, checks and questions, writing back); message boxes and sub-dialogs go through
// interfaces that tests script; field texts are parsed here with the texts the console shows.
//
// A sheet edits a copy of the object: every page validates first, in the sheet's OK order, then
// every page writes into a clone made by an archive round trip (the class comes back by its stored
// name), and only then does the clone replace the mirror's object and go to the engine. A refusal
// or Cancel leaves the mirror as it was, and no page ever holds a pointer into the mirror.
//
// Threads: the user-interface thread only. docs/console-editors.md describes the whole framework.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "engine/config/archive.h"
#include "engine/config/currency.h"

// Message-box styles the editors use (the values of the host's message boxes).
enum : uint32_t {
  EDITOR_MB_STOP = 16,
  EDITOR_MB_QUESTION = 32,
  EDITOR_MB_EXCLAMATION = 48,
  EDITOR_MB_INFORMATION = 64,
  EDITOR_MB_DEFAULT_NO = 256,  // with a question: No is the default answer
};

// Message boxes of the editors. The Qt program shows them; tests answer them in advance.
class Prompter {
 public:
  virtual ~Prompter() = default;
  virtual void Message(const CString& title, const CString& text, uint32_t style) = 0;
  // True for Yes.
  virtual bool AskYesNo(const CString& title, const CString& text, uint32_t style) = 0;
  virtual void Beep() = 0;
};

// How one control shows: enabled, visible and, when the rule forces it, checked.
struct ControlState {
  bool enabled = true;
  bool visible = true;
  std::optional<bool> checked;
  bool operator==(const ControlState&) const = default;
};
// Control id -> state. A page's rules give exactly the controls they govern.
using ControlStates = std::map<int, ControlState>;

// The widget name of a control id ("c1066").
CString ControlName(int id);

// One field that did not parse: the control and the text the console shows for it.
struct FieldError {
  int control = 0;
  CString text;
};

// Field texts the console shows (the class library's own wording).
inline constexpr const char* kTextEnterPositiveInteger = "Please enter a positive integer.";
// "Please enter an integer between %u and %u."
CString IntegerRangeText(uint64_t min, uint64_t max);
inline constexpr const char* kTextEnterCurrency = "Please enter a currency amount.";

// Decimal digits only (blanks around allowed), within [min, max].
std::optional<uint64_t> ParseUnsigned(const CString& text, uint64_t min, uint64_t max);
// Reads one field; on failure *error names the control and its text.
bool ReadUnsigned(const CString& text, int control, uint64_t min, uint64_t max, uint64_t* value, FieldError* error);
// A currency amount: optional sign, digits, at most four decimals ("-12.5", "0.0001", "3").
std::optional<CCurrency> ParseCurrency(const CString& text);
bool ReadCurrency(const CString& text, int control, CCurrency* value, FieldError* error);

// Names that become registry keys (users, groups, services): the check of the engine's own
// store, said to the operator. Text shown when a name is refused.
// Shared by the service sheet and the rights' editors.
inline constexpr const char* kTitleInvalidSetting = "Invalid setting";
inline constexpr const char* kTextNoRecipients =
    "There are no recipients for this right\nAll access to this right will be denied.\n\nDo you wish to continue?";
inline constexpr const char* kTitleInvalidName = "Invalid name";
inline constexpr const char* kTextInvalidName =
    "A name may not be empty, longer than 255 characters, or hold \\, / or control characters.";
bool CheckObjectName(const CString& name, Prompter& prompter);

// Client address patterns (location lists of rights and mappings): one that does not compile
// would match no client or, mistyped into a short mask, every client, so it is refused with this
// box and stays where the operator typed it.
inline constexpr const char* kTitleInvalidLocation = "Invalid location";
// "The location \"%s\" is not a valid address pattern"
CString InvalidLocationText(const CString& pattern);
bool CheckLocationPattern(const CString& pattern, Prompter& prompter);

// A user or group recipient without a name.
inline constexpr const char* kTitleError = "Error";
inline constexpr const char* kTextSelectUserOrGroup = "You must select a user or group";

// A copy of obj by an archive round trip: the clone is made by the class name the archive carries,
// so it is of obj's own class, and holds everything the engine would see. Throws what the archive
// throws (a class that cannot be created by name).
std::shared_ptr<CObject> CloneObject(const CObject& obj);
template <class T>
std::shared_ptr<T> Clone(const T& obj) {
  auto copy = std::dynamic_pointer_cast<T>(CloneObject(obj));
  if (!copy) throw std::runtime_error("clone of another class");
  return copy;
}
// The bare archive bytes of an object (tests compare them: OK without changes keeps them).
std::vector<uint8_t> ArchiveBytes(const CObject& obj);

// One page's logic over the edited object's class.
template <class T>
class PageLogic {
 public:
  virtual ~PageLogic() = default;
  // Object -> values.
  virtual void Load(const T& obj) = 0;
  // The page's enable and show rules for its current values.
  virtual ControlStates States() const { return {}; }
  // Checks and questions. False refuses (the page said why).
  virtual bool Validate(Prompter& /*prompter*/) { return true; }
  // Values -> object (only after every page validated).
  virtual void Apply(T& obj) const = 0;
};

// Every page validates in OK order; the first refusal stops, and its index goes to *refused.
template <class T>
bool ValidatePages(const std::vector<PageLogic<T>*>& okOrder, Prompter& prompter, int* refused) {
  for (size_t i = 0; i < okOrder.size(); ++i) {
    if (!okOrder[i]->Validate(prompter)) {
      if (refused) *refused = static_cast<int>(i);
      return false;
    }
  }
  if (refused) *refused = -1;
  return true;
}

// The sheet's OK over an object of the mirror: every page validates, then every page writes into
// a clone of original. Null when refused; original is never touched.
template <class T>
std::shared_ptr<T> ValidateAndApply(const std::vector<PageLogic<T>*>& okOrder, const T& original, Prompter& prompter,
                                    int* refused = nullptr) {
  if (!ValidatePages(okOrder, prompter, refused)) return nullptr;
  auto copy = Clone(original);
  for (PageLogic<T>* page : okOrder) page->Apply(*copy);
  return copy;
}

// The same for a new object, which the sheet owns alone (no mirror holds it, and it may not even
// have a name to archive yet): the pages write into it once every page has validated.
template <class T>
std::shared_ptr<T> ValidateAndApplyNew(const std::vector<PageLogic<T>*>& okOrder, std::shared_ptr<T> fresh,
                                       Prompter& prompter, int* refused = nullptr) {
  if (!ValidatePages(okOrder, prompter, refused)) return nullptr;
  for (PageLogic<T>* page : okOrder) page->Apply(*fresh);
  return fresh;
}
