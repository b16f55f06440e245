#pragma once
// The system event log: start-up failures and service state changes of the engine go here.
// Events go to the file named by TRELLIS_EVENTLOG when it is set, else to syslog through
// /dev/log (or the socket named by TRELLIS_SYSLOG_SOCKET) when it exists; otherwise they are
// dropped, as when the host's event source cannot be registered.
#include <cstdint>
#include <string>

namespace platform::eventlog {

enum EventType : uint16_t { kError = 1, kWarning = 2, kInformation = 4 };

// Writes one event of a source. The text is written as it stands (never used as a format).
// Returns false when no sink could take it.
bool Report(const std::string& source, EventType type, uint32_t eventId, const std::string& text);

}  // namespace platform::eventlog
