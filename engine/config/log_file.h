#pragma once
// Log and audit files. Every owner (a service with its sessions, the dialer, the scheduler, an
// audited user) keeps one open file for the day and hands finished lines to the process's one
// writer thread. A line travels with a counted reference to its file, so a file an owner closes
// or reopens while its lines are still queued stays open until they are written, and a line can
// never land in some other file that happens to reuse the descriptor.
#include <memory>
#include <string>
#include <string_view>

#include "engine/config/archive.h"

// "Settings" values naming the folders, with their defaults.
inline constexpr const char* kLogDirectoryValue = "LogFileDirectory";
inline constexpr const char* kLogDirectoryDefault = "Logs";
inline constexpr const char* kAuditDirectoryValue = "AuditDirectory";
inline constexpr const char* kAuditDirectoryDefault = "Audit";

class CLogFile {
 public:
  // Opens (creating when missing, appending) today's file of an owner:
  // "<dir>/<owner>.<ddMonyy>.log", dir being the "Settings" value directoryValue (default
  // defaultDirectory), relative to the current directory, created when missing. Characters of the
  // owner name that could leave the folder ("/", "\\", control characters) become "_". Null when
  // the file cannot be opened: the owner's logging is then off until its next open.
  static std::shared_ptr<CLogFile> Open(const char* directoryValue, const char* defaultDirectory,
                                        const CString& ownerName);
  // Opens a file by path (appending, creating it).
  static std::shared_ptr<CLogFile> OpenPath(const std::string& path);
  // The file-name part of an owner for a day, e.g. ("WWW Proxy", 8 Dec 2026) -> "WWW Proxy.08Dec26.log".
  static CString FileNameFor(const CString& ownerName, time_t day);

  ~CLogFile();
  CLogFile(const CLogFile&) = delete;
  CLogFile& operator=(const CLogFile&) = delete;

  const std::string& GetPath() const { return m_path; }
  // Appends the whole text (partial writes and interruptions are retried); false when it failed.
  bool Write(std::string_view text);

 private:
  CLogFile(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
  int m_fd;
  std::string m_path;
};

// Where finished lines go. The engine's log manager installs itself as the writer; with none
// installed (tools, the console, tests that run no writer) a line is written at once by the caller.
using LogWriterFunction = bool (*)(std::shared_ptr<CLogFile> file, std::string line);
void SetLogWriter(LogWriterFunction writer);
// Hands one finished line (its owner's format already applied, CR LF included) to the writer.
// Nothing happens for a null file.
void SubmitLogLine(const std::shared_ptr<CLogFile>& file, std::string line);

// The local date-time stamp that starts every log and audit line ("%c": "12/08/26 14:03:00").
CString LogTimeStamp();
