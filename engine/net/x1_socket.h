#pragma once
// X1Socket: one IPv4 socket for every network user of the system (service listeners, the client
// and server connections of sessions, datagram relays, the console's connection). Calls block in
// the way the protocol code expects and throw X1SocketException on failure; bytes moved are
// counted; an enciphered link can run transparently under Send and Receive; asynchronous events
// reach the socket's owner thread as thread messages or run as callbacks on the notification
// thread (socket_notifier.h has the event rules).
//
// Events, as a thread that owns sockets sees them (wParam = the socket's id, see GetId):
//   WM_SOCKET_ACCEPT (FD_ACCEPT), WM_SOCKET_READ (FD_READ), WM_SOCKET_WRITE (FD_WRITE),
//   WM_SOCKET_CLOSE (FD_CLOSE)
// The owner passes each one to TakeEvent of the socket it names; false means the event is stale
// (the socket was closed, moved or has read meanwhile) and is to be ignored. A typical reader:
//
//   case WM_SOCKET_READ:  if (m_sock.TakeEvent(msg)) while ((n = m_sock.Receive(buf, size)) > 0) ...
//   case WM_SOCKET_CLOSE: if (m_sock.TakeEvent(msg)) { drain with Receive; m_sock.Close(); ... }
//
// Receive never blocks: it returns what is waiting, at most the caller's length, and 0 when
// nothing is waiting or the connection has ended (the end itself arrives as FD_CLOSE).
//
// Threads: a socket belongs to one thread at a time, but Close, SetOwnerThread, the event
// settings and the queries may be called from any thread. A Close from another thread ends a call
// in progress (a blocked Send fails, a wait returns) and the descriptor is closed when that call
// has left.
//
// Callback sockets (SetCallback, UseHandlers) get their events on the notification thread: the
// thread named by SetNotificationThread, whose message loop hands WM_SOCKET_NOTIFY to
// DispatchNotification (the engine thread in the engine), or the poller thread when none is named.
// A callback may Accept, Close or destroy other sockets; a Close or destruction from another thread
// waits until a callback of that socket that is running has returned. A class that overrides the
// On* handlers closes the socket in its own destructor.
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "engine/config/archive.h"  // CString
#include "engine/net/socket_exception.h"
#include "engine/net/socket_notifier.h"
#include "platform/msg_thread.h"

class X1Socket;

// The enciphered link's hook. The socket owns it; with ciphering on, Send enciphers every byte in
// order through EncipherOutgoing and Receive deciphers every byte received through
// DecipherIncoming, so the link sees one continuous stream each way.
class X1SocketLink {
 public:
  virtual ~X1SocketLink() = default;
  // Run by Connect once the connection is made, when the link is enabled. Throws
  // X1SocketException to refuse the connection.
  virtual void ClientHandshake(X1Socket& socket) = 0;
  virtual void EncipherOutgoing(uint8_t* data, size_t length) = 0;
  virtual void DecipherIncoming(uint8_t* data, size_t length) = 0;
};

// Called for the events of a callback socket (context as given to SetCallback, event one FD_ bit).
using X1SocketCallback = void (*)(void* context, X1Socket* socket, uint32_t event);

class X1Socket {
 public:
  // Connect gives up with WSAETIMEDOUT after this long unless told otherwise (close to the total
  // of the host system's SYN retries; Linux would wait two minutes).
  static constexpr int kDefaultConnectTimeoutMs = 21000;
  // Enciphered data moves in chunks of at most this many bytes.
  static constexpr size_t kCipherChunk = 8192;
  // SendFile reads and sends in chunks of the host system's allocation granularity.
  static constexpr size_t kSendFileChunk = 65536;
  // ReceiveLine stops at this length even without a line end.
  static constexpr size_t kMaxLineLength = 8192;
  // Listen asks the system for the longest queue it allows (it caps the number at its own
  // limit). A connection that finds the queue full has the last packet of its handshake dropped,
  // and the client's request is sent again only 200 ms later (its SYN a second later): with a
  // queue of 128, a web proxy at 200 concurrent clients answered about one request in a hundred
  // that late.
  static constexpr int kMinListenBacklog = 65535;

  X1Socket();
  virtual ~X1Socket();
  X1Socket(const X1Socket&) = delete;
  X1Socket& operator=(const X1Socket&) = delete;

  // ---- Process-wide -----------------------------------------------------------------------

  // Starts the notification layer (done by the first socket otherwise). Throws when the system
  // refuses its descriptors.
  static void InitNotifier();
  // The thread that runs callbacks (0 = the layer's poller thread). Its loop passes
  // WM_SOCKET_NOTIFY messages to DispatchNotification.
  static void SetNotificationThread(platform::ThreadId tid);
  static platform::ThreadId GetNotificationThread();
  // Runs the callback a WM_SOCKET_NOTIFY message stands for; false for other messages and stale
  // events.
  static bool DispatchNotification(const platform::Message& msg);
  // The FD_ bit a socket event message stands for (0 for other messages).
  static uint32_t EventOfMessage(uint32_t message);
  // Sockets of the process that are open now.
  static long GetOpenSocketCount();
  // Name resolution used by Connect for a host that is not dotted text: true and the address
  // (host order) or false. The engine installs its own; null restores the system resolver.
  using Resolver = std::function<bool(const CString& host, uint32_t* address)>;
  static void SetResolver(Resolver resolver);

  // ---- Life ---------------------------------------------------------------------------------

  // A new AF_INET socket, SOCK_STREAM (1) or SOCK_DGRAM (2); an open socket is closed first.
  void Create(int type = SOCK_STREAM);
  // Stops every event, closes the descriptor, handle := -1, connected := false. Never throws;
  // closing a closed socket does nothing.
  void Close();
  // Takes over an accepted (or otherwise open) descriptor as a connected socket. The socket owns
  // the descriptor from the call on: when the call fails, it closes it. -1 leaves the socket closed.
  virtual void Attach(int handle);
  // Attach for a connection this library's Accept returned (a stream, already non-blocking and
  // close-on-exec): spares the questions Attach asks of any descriptor. Anything else is
  // attached as Attach does.
  void AttachAccepted(int handle);

  bool IsOpen() const;
  // The descriptor, -1 when closed. For system calls the library does not wrap; never close it.
  int GetHandle() const;
  // The id events carry; a fresh one for every Create and Attach, 0 when closed.
  SocketId GetId() const;
  bool IsConnected() const;
  bool IsDatagram() const;

  // ---- Connections --------------------------------------------------------------------------

  // host: dotted text, else the resolver's answer (failure: WSAEINVAL with the operator's
  // "HostnameLookupFailed" text). Waits at most timeoutMs (WSAETIMEDOUT); a Close from another
  // thread ends the wait (WSAEINTR). Then runs the link's client handshake when it is enabled.
  virtual void Connect(const CString& host, uint16_t port, int timeoutMs = kDefaultConnectTimeoutMs);
  // The descriptor of the next pending connection (close-on-exec; give it to Attach, on any
  // thread). Throws WSAEWOULDBLOCK when none is pending. When descriptors have run out, accept
  // events of this listener pause for a second instead of repeating at once.
  int Accept();
  // Accept without the exception, for a caller to whom "nothing pending" is the common answer:
  // -1 with *error set (WSAEWOULDBLOCK, WSAENOTSOCK once closed, ...) instead of throwing.
  int TryAccept(uint32_t* error);
  // TryAccept that waits up to timeoutMs for a connection on a listener, taking it on the calling
  // thread: meanwhile the thread its accept events go to is not woken by one, and afterwards a
  // connection still pending is announced to that thread as usual. A Close from another thread
  // ends the wait (WSAENOTSOCK); nothing in time gives WSAEWOULDBLOCK.
  int AcceptWaiting(int timeoutMs, uint32_t* error);
  // Binds to port on a dotted address (empty: any address). A stream socket always allows the
  // address to be reused, so a service can listen again while old connections linger.
  void Bind(uint16_t port, const CString& address = CString());
  void Listen(int backlog);
  void SetReuseAddress(bool value);
  void SetBroadcast(bool value);
  // Datagram sockets: have every received datagram carry the local address it was sent to and
  // the interface it came in on (IP_PKTINFO), so a wildcard listener knows where a client
  // reached it and can answer from that address.
  void SetPacketInfo(bool value);
  // Datagrams go to and come from this interface only (SO_BINDTODEVICE), broadcasts included.
  void BindToDevice(const CString& interfaceName);
  // Ends the sending direction (the peer reads the end); receiving goes on.
  void ShutdownSend();

  // ---- Events -------------------------------------------------------------------------------

  // Events go as thread messages to tid (0: the thread that creates or attaches the socket; for an
  // open socket, the calling thread). On an open socket, events not yet taken follow it there.
  void SetOwnerThread(platform::ThreadId tid);
  platform::ThreadId GetOwnerThread() const;
  // Events run fn(context, this, event) on the notification thread; a null fn goes back to
  // thread messages.
  void SetCallback(X1SocketCallback fn, void* context);
  // Events run the virtual On* handlers on the notification thread.
  void UseHandlers();

  // The FD_ bits wanted. Only stored until armed; an armed socket re-arms with the new mask.
  void AsyncSelect(uint32_t mask);
  uint32_t GetEventMask() const;
  // Starts event delivery. Conditions that already hold are posted at once (data waiting, a
  // pending connection, FD_WRITE for a connected socket). Throws WSAENOTSOCK when closed.
  void ArmAsyncSelect();
  // Stops event delivery; events already posted stay valid.
  void CancelAsyncSelect();
  bool IsSelected() const;

  // True when msg is a current event of this socket, which is then taken (a later one of that
  // kind may be posted). False for other sockets' events and stale ones.
  bool TakeEvent(const platform::Message& msg);
  // An event of that FD_ bit is posted and not yet taken.
  bool IsEventPending(uint32_t fdEvent) const;

  // ---- Data ---------------------------------------------------------------------------------

  // Sends every byte or throws (WSAENOTSOCK when closed). 0 bytes: returns 0 without a call.
  virtual size_t Send(const void* buffer, size_t length);
  // One datagram to host:port (dotted, "0.0.0.0" meaning broadcast, or a name for the system
  // resolver). An empty datagram is sent too.
  virtual size_t SendTo(const void* buffer, size_t length, uint16_t port, const CString& host);
  // What is waiting, at most length bytes, never blocking; 0 when nothing is waiting, the
  // connection has ended or the socket is closed. On a datagram socket one datagram (an empty one
  // gives 0); a datagram longer than length is consumed and throws WSAEMSGSIZE.
  virtual size_t Receive(void* buffer, size_t length);
  // One datagram and its sender; 0 when nothing is waiting (address "" and port 0) or for an empty
  // datagram (with its sender). Longer than size: consumed, WSAEMSGSIZE.
  virtual size_t ReceiveFrom(void* buffer, size_t size, CString& address, uint16_t& port);
  // As ReceiveFrom, and where the datagram was received: the local address it was sent to (0
  // when unknown; host order) and the interface index (0 when unknown). Needs SetPacketInfo.
  // announceMore false: a caller that reads on until nothing is waiting spares the look after each
  // datagram and the event that says another one waits; when it stops while more may wait, it
  // calls AnnounceWaiting. (A datagram that comes after one found nothing waiting brings its own
  // event.)
  size_t ReceiveFromLocal(void* buffer, size_t size, CString& address, uint16_t& port, uint32_t* localAddress,
                          int* interfaceIndex, bool announceMore = true);
  // Posts the read event when something is waiting (and none is posted).
  void AnnounceWaiting();
  // One datagram to address:port (host order) sent from localAddress and out of interfaceIndex
  // (either 0: the system chooses), so a reply leaves from where the request arrived.
  size_t SendToFrom(const void* buffer, size_t length, uint16_t port, uint32_t address, uint32_t localAddress,
                    int interfaceIndex);
  // Up to length waiting bytes, left waiting; 0 when none or closed. Refused (WSAEOPNOTSUPP) while
  // ciphering: the bytes waiting are not yet deciphered.
  virtual size_t Peek(void* buffer, size_t length);
  size_t Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Moves what is waiting on this connection, at most max bytes, on to another connection and
  // returns the count; 0 as Receive gives it (nothing waiting, or the end). Without ciphering on
  // either side the bytes go through the kernel only (splice); the send waits as Send does.
  size_t RelayTo(X1Socket& to, size_t max);
  // The same without waiting for room on `to`: what `to` cannot take now is appended to *held
  // (already enciphered when `to` ciphers) for SendHeld once `to` has room (FD_WRITE). A relay of
  // both directions on one thread waits for neither, so two peers that each send before they read
  // cannot stall it.
  size_t RelayTo(X1Socket& to, size_t max, std::string* held);
  // Sends what RelayTo held for this connection, as far as there is room now; true when all went.
  bool SendHeld(std::string& held);
  // Sends a whole open file from its start; returns the bytes sent. Without ciphering the system
  // copies the file to the connection itself (sendfile); the send time-out applies as to Send.
  uint64_t SendFile(int fileHandle);
  // One line including its "\n" into line (emptied first), waiting at most timeoutMs in all; stops
  // early at the end of the connection or kMaxLineLength bytes. Returns the line's length.
  size_t ReceiveLine(CString& line, int timeoutMs);
  // Reads length bytes with event delivery stopped, in pieces of at most 512 bytes; each piece may
  // take 5.12 s to arrive (the first 10 s more); stops early when a piece brings nothing in time
  // or the connection ends. Re-arms event delivery at the end. Returns the bytes read.
  size_t ReceiveBlocking(void* buffer, size_t length);
  // Bytes waiting (the size of the next datagram on a datagram socket); 0 when closed.
  uint32_t BytesAvailable() const;
  // How a stream connection ended, for a reader that must not take a cut stream for a whole one
  // (Receive reads both ends as 0 bytes and both bring FD_CLOSE): 0 after the peer's orderly end
  // (FIN), and while the connection lasts; the socket error (WSAECONNRESET, WSAECONNABORTED,
  // WSAETIMEDOUT ...) when it ended in a reset or a failure. The first end a receive meets is
  // kept, so a reset after an orderly end still reads 0. Asked before a receive met the end, it
  // looks without taking data. 0 when closed or for a datagram socket.
  uint32_t GetEndError() const;
  // The next Close ends the connection with a reset (SO_LINGER 0) instead of an orderly end, so
  // the peer reads an error and cannot take what it got so far for everything.
  void ResetOnClose();

  CString GetLocalAddress() const;
  uint16_t GetLocalPort() const;
  CString GetPeerAddress() const;
  uint16_t GetPeerPort() const;

  uint64_t GetBytesSent() const { return m_bytesSent.load(); }
  uint64_t GetBytesReceived() const { return m_bytesReceived.load(); }

  // Longest wait of Send for room in the send buffer, -1 (default) without limit.
  void SetSendTimeout(int timeoutMs) { m_sendTimeoutMs.store(timeoutMs); }

  // ---- Enciphered link ----------------------------------------------------------------------

  void SetLink(std::unique_ptr<X1SocketLink> link);
  X1SocketLink* GetLink() const { return m_link.get(); }
  // Connect runs the link's client handshake.
  void EnableLink(bool value) { m_linkEnabled = value; }
  bool IsLinkEnabled() const { return m_linkEnabled; }
  // Send and Receive pass through the link (stream sockets only; needs a link).
  void SetCiphering(bool value);
  bool IsCiphering() const { return m_ciphering; }

  // Plain transfers whatever the ciphering (the handshake's own messages).
  size_t SendRaw(const void* buffer, size_t length);
  size_t ReceiveRaw(void* buffer, size_t length);

 protected:
  // Run on the notification thread after UseHandlers; the base does nothing.
  virtual void OnAccept() {}
  virtual void OnReceive() {}
  virtual void OnSend() {}
  virtual void OnClose() {}

 private:
  friend class x1net::Notifier;
  class Call;

  std::shared_ptr<x1net::SockState> State() const;
  void Open(int fd, x1net::SockKind kind, bool connected);
  void Retarget();
  void DeliverEvent(uint32_t event);
  // Waits until the socket is readable or has ended; the poll events, 0 on time-out.
  int WaitReadable(int timeoutMs) const;
  struct Endpoint {
    CString address;
    uint16_t port = 0;
  };
  // The local (peer false) or remote end of the connection.
  Endpoint SocketName(bool peer) const;
  void AfterReceive(const std::shared_ptr<x1net::SockState>& st, bool moreWaiting);
  // SendFile through sendfile(2) from *total on; false (nothing sent) when the system cannot send
  // that file so.
  bool SendFileDirect(int fileHandle, uint64_t* total);
  // Waits for room to send on a full connection until the send time-out's deadline; a close from
  // another thread or the time-out throws, as a blocked send reports them.
  static void WaitForRoom(const Call& c, uint64_t deadline, bool unlimited);
  // Calls write(bytes done so far), which returns as send(2) does, until length bytes are out;
  // waits for room within the send time-out and counts what went.
  template <class Write>
  void SendAll(const Call& c, size_t length, Write write);
  // Sends length bytes waiting in a pipe (RelayTo's second half).
  void SpliceOut(int pipeOut, size_t length);
  // Sends what there is room for now, without waiting; returns the count.
  size_t SendNow(const void* buffer, size_t length);

  mutable std::mutex m_mx;  // guards the fields up to m_reuseAddress
  std::shared_ptr<x1net::SockState> m_st;
  uint32_t m_mask = 0;
  platform::ThreadId m_owner = 0;
  bool m_callbackMode = false;
  X1SocketCallback m_callback = nullptr;
  void* m_context = nullptr;
  bool m_reuseAddress = false;

  std::atomic<uint64_t> m_bytesSent{0};
  std::atomic<uint64_t> m_bytesReceived{0};
  std::atomic<int> m_sendTimeoutMs{-1};

  std::unique_ptr<X1SocketLink> m_link;
  bool m_linkEnabled = false;
  bool m_ciphering = false;
};
