#pragma once
// Every thread-message number of the project. Numbers follow the host system's scheme, since
// handlers and tests refer to them by these values.
#include <cstdint>

namespace platform {

constexpr uint32_t WM_NULL = 0x0000;
constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_USER = 0x0400;

// Socket events routed to the socket library's notification thread.
constexpr uint32_t WM_SOCKET_NOTIFY = WM_USER + 1;
// Console: a view update (code in wParam, object in the payload).
constexpr uint32_t WM_VIEW_UPDATE = WM_USER + 1;
// Socket events posted to the thread that owns a socket (socket id in wParam).
constexpr uint32_t WM_SOCKET_ACCEPT = WM_USER + 2;
constexpr uint32_t WM_SOCKET_READ = WM_USER + 3;
constexpr uint32_t WM_SOCKET_WRITE = WM_USER + 4;
constexpr uint32_t WM_SOCKET_CLOSE = WM_USER + 5;
// Console: a message-box record from the session thread to the user-interface thread.
constexpr uint32_t WM_SESSION_MESSAGE = WM_USER + 2;
// One outgoing remote-control message (engine) or queued request (console) for a session thread.
constexpr uint32_t WM_RC_OUTGOING = WM_USER + 6;
// One log entry for the log manager.
constexpr uint32_t WM_LOG_ENTRY = WM_USER + 7;
// A finished host lookup for the DNS thread.
constexpr uint32_t WM_DNS_LOOKUP_DONE = WM_USER + 9;
// Restart the dialer (engine thread).
constexpr uint32_t WM_RESTART_DIALER = WM_USER + 11;
// A session's idle time-out, for a session that answers it on its own thread.
constexpr uint32_t WM_SESSION_TIMEOUT = WM_USER + 12;
// A UDP service's thread: take an ended session out of the service's tables (the session in the
// payload), and run one call on the service's thread (the call in the payload).
constexpr uint32_t WM_UDP_REMOVE_SESSION = WM_USER + 13;
constexpr uint32_t WM_UDP_SERVICE_CALL = WM_USER + 14;
// The DHCP service's thread: the ping check of an address is over (the address in wParam, 1 in
// lParam when a host answered).
constexpr uint32_t WM_DHCP_PROBE_DONE = WM_USER + 17;
// Dial or reset a profile (dialer thread).
constexpr uint32_t WM_DIALER_COMMAND = WM_USER + 63;
// Console session thread: connect or disconnect.
constexpr uint32_t WM_CONSOLE_CONNECT = 6789;

}  // namespace platform
