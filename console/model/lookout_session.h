#pragma once
// The console's client session thread: the one connection to an engine's remote-control service.
//
// It only moves frames. It connects and logs in over the enciphered link, sends the requests the
// user-interface thread queues (one transaction at a time, in queue order) with the upload frames
// the user-interface thread serialised when it queued them, and collects every message the engine
// sends together with the frames that belong to it (how many: the shared code table). What it
// collected goes to the user-interface thread as events through an ISessionSink; that thread owns
// the mirrored configuration, turns the frame bytes into objects and applies them. So no object is
// ever shared between the two threads and nothing here needs a lock.
//
// Threads: Connect, Disconnect, Request, Cancel and Quit may be called from any thread; everything
// else runs on the session thread. The sink is called on the session thread.
//
// The session thread never blocks on the network except inside the connect and the log-in
// handshake, which Cancel (a close from another thread) ends at once. After the log-in every read
// is event driven: bytes are gathered as they come, so a frame arriving split up, a slow engine or
// a frame of the largest allowed size never hold the thread, and Disconnect or Quit act at once.
//
// Faults of the stream are fatal to the connection rather than skipped, since the stream cipher
// cannot resynchronise: a frame over kMaxFrameLength (refused before anything is buffered), a
// connection that ends inside a frame, a message that does not decode, a reply outside a
// transaction, and a transaction whose engine stays silent for the transaction deadline.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "engine/config/archive.h"
#include "engine/net/x1_socket.h"
#include "engine/remote/rc_message.h"
#include "platform/msg_thread.h"

// Bytes of one frame's payload (after its length).
using FramePayload = std::vector<uint8_t>;

struct SessionEvent {
  enum Kind {
    Connected,        // logged in; the engine's first message follows as a Message
    ConnectFailed,    // code and text of the failure (a cancelled attempt reports nothing)
    Lost,             // the connection has gone; reason says why
    Message,          // an unsolicited message with its frames
    TransactionDone,  // a request's outcome: reply, and the frames the engine sent after reply 1
  };
  enum LostReason {
    ClosedByEngine,  // the engine ended the connection
    ReadFailed,      // a socket error while reading
    ProtocolError,   // the stream broke a rule (text says which); it cannot be trusted any more
    Requested,       // Disconnect
  };

  Kind kind = Message;
  LostReason reason = Requested;
  uint32_t code = 0;      // ConnectFailed: the error code
  CString text;           // ConnectFailed, Lost: the error's text
  CTLRCPMessage message;  // Message: the message; TransactionDone: the request (texts and code)
  uint16_t reply = 0;     // TransactionDone: RC_REPLY_REFUSED, RC_REPLY_DONE or RC_REPLY_FAILED
  std::vector<FramePayload> frames;
  uint64_t requestId = 0;  // TransactionDone: the id Request returned
};

class ISessionSink {
 public:
  virtual ~ISessionSink() = default;
  // Called on the session thread; the implementation hands the event to its own thread.
  virtual void Deliver(std::unique_ptr<SessionEvent> event) = 0;
};

struct ConnectParams {
  CString server;
  uint16_t port = 808;
  CString user;
  CString password;
};

class CLookoutSession : public platform::MsgThread {
 public:
  // A transaction whose engine sends nothing for this long ends the connection. Generous: an
  // engine may take long to save on a slow disk or to restart a service.
  static constexpr int kDefaultTransactionDeadlineMs = 3 * 60 * 1000;
  static constexpr int kConnectTimeoutMs = X1Socket::kDefaultConnectTimeoutMs;

  explicit CLookoutSession(std::shared_ptr<ISessionSink> sink);
  ~CLookoutSession() override;

  // Queue a connect (closing an open connection first) or a disconnect.
  bool Connect(const ConnectParams& params);
  bool Disconnect();
  // Queues one request; uploads are the frames (already built, length prefix included) sent after
  // the engine's go-ahead. Returns the request's id (0 when the thread has ended). A request queued
  // while there is no connection is dropped when its turn comes and reported as not sent (reply 0).
  uint64_t Request(const CTLRCPMessage& message, std::vector<std::vector<uint8_t>> uploads = {});
  // Ends a connect or handshake in progress at once (from any thread); the attempt reports nothing.
  void Cancel();
  // For tests: the silence that ends a transaction.
  void SetTransactionDeadline(int ms) { m_deadlineMs.store(ms); }

 protected:
  bool InitInstance() override;
  void OnMessage(platform::Message& msg) override;
  int ExitInstance() override;

 private:
  struct Pending {
    uint64_t id = 0;
    CTLRCPMessage message;
    std::vector<std::vector<uint8_t>> uploads;
  };
  enum class Phase { Idle, AwaitReply, AwaitFrames, AwaitFinal };

  void DoConnect(const ConnectParams& params);
  void DoDisconnect(SessionEvent::LostReason reason, const CString& text);
  void OnRead();
  void OnSocketClose();
  void OnTimer();
  // Every complete frame in the input buffer, in order; throws ProtocolFault on a broken stream.
  void ProcessInput();
  void OnFrame(FramePayload payload);
  void OnReplyOrMessage(const CTLRCPMessage& message, FramePayload payload);
  void StartNotification(const CTLRCPMessage& message);
  void FinishTransaction(uint16_t reply);
  void StartNextTransaction();
  void Emit(std::unique_ptr<SessionEvent> event);
  void Touch() { m_lastProgress = std::chrono::steady_clock::now(); }

  std::shared_ptr<ISessionSink> m_sink;
  X1Socket m_socket;
  // Bumped by Cancel: a connect queued or running under an older value gives up silently.
  std::atomic<uint64_t> m_cancelGeneration{0};
  std::atomic<uint64_t> m_nextId{1};
  std::atomic<int> m_deadlineMs{kDefaultTransactionDeadlineMs};

  // Session thread only.
  bool m_connected = false;
  std::vector<uint8_t> m_input;
  std::deque<Pending> m_queue;
  Phase m_phase = Phase::Idle;
  Pending m_current;
  size_t m_framesWanted = 0;
  std::vector<FramePayload> m_frames;
  // An unsolicited message whose frames are still being collected.
  bool m_inNotification = false;
  CTLRCPMessage m_notification;
  size_t m_notificationWanted = 0;
  std::vector<FramePayload> m_notificationFrames;
  std::chrono::steady_clock::time_point m_lastProgress;
};

// How many frames follow a message of that code from the engine (unsolicited), and how many the
// engine sends after reply 1 to a request of that code. Both from the shared code table.
size_t NotificationFrameCount(uint16_t code);
size_t RequestReplyFrameCount(uint16_t code);
