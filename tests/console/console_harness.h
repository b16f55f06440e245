#pragma once
// A user-interface thread for the console's protocol state without a toolkit: the test thread
// runs the closures the session thread posts, and a ConsoleUi that records what it was told; and
// the editors' message boxes answered in advance.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "console/dialogs/common/editor.h"
#include "console/model/lookout_client.h"

namespace trellis::test {

class TestLoop {
 public:
  void Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> g(m_mx);
    m_queue.push_back(std::move(fn));
    m_cv.notify_one();
  }
  CLookoutClient::PostFn Poster() {
    return [this](std::function<void()> fn) { Post(std::move(fn)); };
  }
  // Runs posted closures until pred holds; false after timeoutMs.
  bool RunUntil(const std::function<bool()>& pred, int timeoutMs = 15000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lk(m_mx);
        if (!m_cv.wait_until(lk, end, [&] { return !m_queue.empty(); })) return pred();
        fn = std::move(m_queue.front());
        m_queue.pop_front();
      }
      fn();
    }
    return true;
  }
  // Runs whatever arrives for ms milliseconds.
  void RunFor(int ms) {
    RunUntil([] { return false; }, ms);
  }

 private:
  std::mutex m_mx;
  std::condition_variable m_cv;
  std::deque<std::function<void()>> m_queue;
};

struct RecordingUi : ConsoleUi {
  struct Box {
    CString title, text;
    uint32_t style;
  };
  struct View {
    int category;
    ViewEvent event;
  };
  void ViewUpdate(int category, const ViewEvent& event) override { views.push_back({category, event}); }
  void MessageBox(const CString& title, const CString& text, uint32_t style) override {
    boxes.push_back({title, text, style});
  }
  void SetOnline(bool on, const CString& server) override {
    online = on;
    onlineServer = server;
    ++onlineChanges;
  }
  void Popup(int kind, const CString& title, const CString& text, const CString& address) override {
    popups.push_back({title, text + "|" + address, static_cast<uint32_t>(kind)});
  }
  void Command(uint32_t id) override {
    commands.push_back(id);
    if (onCommand) onCommand(id);
  }

  bool HasView(int category, uint16_t code, const CString& name = CString()) const {
    for (const auto& v : views)
      if (v.category == category && v.event.code == code && (name.empty() || v.event.name == name)) return true;
    return false;
  }
  const View* FindView(int category, uint16_t code, const std::function<bool(const ViewEvent&)>& pred) const {
    for (const auto& v : views)
      if (v.category == category && v.event.code == code && pred(v.event)) return &v;
    return nullptr;
  }
  bool HasBox(const CString& title) const {
    for (const auto& b : boxes)
      if (b.title == title) return true;
    return false;
  }

  std::vector<View> views;
  std::vector<Box> boxes;
  std::vector<Box> popups;
  std::vector<uint32_t> commands;
  std::function<void(uint32_t)> onCommand;
  bool online = false;
  CString onlineServer;
  int onlineChanges = 0;
};

// The editors' message boxes, each kept as "title|text"; a question is answered with `answer`.
struct RecordingPrompter : Prompter {
  void Message(const CString& title, const CString& text, uint32_t) override { boxes.push_back(title + "|" + text); }
  bool AskYesNo(const CString& title, const CString& text, uint32_t) override {
    boxes.push_back(title + "|" + text);
    return answer;
  }
  void Beep() override { ++beeps; }
  std::vector<CString> boxes;
  bool answer = false;
  int beeps = 0;
};

// The editors' message boxes with their styles; questions are answered from `answers` in turn,
// and No once they ran out.
struct ScriptedPrompter : Prompter {
  struct Box {
    CString title, text;
    uint32_t style;
  };
  void Message(const CString& title, const CString& text, uint32_t style) override {
    boxes.push_back({title, text, style});
  }
  bool AskYesNo(const CString& title, const CString& text, uint32_t style) override {
    boxes.push_back({title, text, style});
    if (answers.empty()) return false;
    const bool a = answers.front();
    answers.pop_front();
    return a;
  }
  void Beep() override { ++beeps; }
  std::vector<Box> boxes;
  std::deque<bool> answers;
  int beeps = 0;
};

// Logs client in to the engine on loopback as Administrator the way a fresh engine's first log-in
// goes: the empty password, changed to "admin-pw" when the engine asks for it (ui's Change
// Password command), then runs loop until every get is answered and `view` (a tree root's code)
// reached ui. Empty when all went through, else the step that did not.
inline std::string FirstAdminLogIn(CLookoutClient& client, RecordingUi& ui, TestLoop& loop, uint16_t rcPort,
                                   uint16_t view) {
  if (!client.Start()) return "the client did not start";
  client.Login() = ConnectParams{"127.0.0.1", rcPort, "Administrator", ""};
  ui.onCommand = [&client](uint32_t id) {
    if (id == kCommandChangePassword) client.ChangePassword("", "admin-pw");
  };
  client.GoOnline();
  if (!loop.RunUntil([&] { return client.IsLoggedIn(); })) return "the log-in did not finish";
  if (!loop.RunUntil([&] { return client.OutstandingRequests() == 0 && ui.HasView(VIEW_TREE_UPDATE, view); }))
    return "the gets were not answered";
  return {};
}

// A second console that logs in as user and waits until its gets are answered and `view` (a
// tree root's code) reached its user interface: what a test reads back from the engine after a
// restart. False when either wait runs out.
struct FreshConsole {
  RecordingUi ui;
  TestLoop loop;
  CLookoutClient client{ui, loop.Poster()};

  bool LogIn(uint16_t port, const CString& user, const CString& password, uint16_t view) {
    if (!client.Start()) return false;
    client.Login() = ConnectParams{"127.0.0.1", port, user, password};
    client.GoOnline();
    return loop.RunUntil([&] { return client.IsLoggedIn(); }) &&
           loop.RunUntil([&] { return client.OutstandingRequests() == 0 && ui.HasView(VIEW_TREE_UPDATE, view); });
  }
};

}  // namespace trellis::test
