#pragma once
// Where a request path of the gateway's own web server lands on disk, and opening it there without
// ever leaving the folder it is served from.
//
// Every file, folder listing, HEAD, internal resource and CGI program goes through this one
// resolver, so no request reaches a byte outside its root: the path is percent-decoded once (never
// "+" to space: that is form encoding, not path encoding), and refused when the decoded path holds
// a NUL or other control character, a backslash, or a ".." segment, or when the raw path encodes a
// "/" or "\" (a decoded slash would be a segment boundary the client hid from us). Empty and "."
// segments fall away, so "//etc/passwd" is "etc/passwd" below the root, never the system's file.
// The file is then opened relative to a descriptor of the root with the kernel's RESOLVE_BENEATH,
// which also refuses a symbolic link that leads out of the root (an absolute one or one with "..")
// and a link swapped in between check and open; where the kernel lacks it, every component is
// opened one by one with O_NOFOLLOW, so links are not followed at all.
#include <string>
#include <string_view>
#include <vector>

#include "engine/config/archive.h"  // CString

enum class LocalPathResult {
  kOk,
  kRefused,  // the path is not one this server serves (traversal, encoded slash, NUL ...)
  kMissing,  // no such file or folder, or it cannot be opened
};

// The decoded segments of a URL path (query already split off); kRefused as above.
LocalPathResult SplitLocalPath(std::string_view rawPath, std::vector<std::string>* segments);

// The segments joined with "/" (no leading "/"); "" for the root itself.
std::string JoinSegments(const std::vector<std::string>& segments, size_t from = 0,
                         size_t to = static_cast<size_t>(-1));

// Opens relative below root (an absolute or relative folder path; relative is from the current
// folder). flags: O_RDONLY with O_DIRECTORY or not; O_CLOEXEC is added. *fd is the open
// descriptor on kOk. An empty root is refused: serving "" would serve the engine's working folder.
LocalPathResult OpenBelowRoot(const CString& root, const std::string& relative, int flags, int* fd);

// What OpenBelowRoot does where the kernel has no RESOLVE_BENEATH: every component opened with
// O_NOFOLLOW, so no link is followed, not even one that stays inside. Tests drive it directly.
LocalPathResult OpenBelowRootWithoutLinks(const CString& root, const std::string& relative, int flags, int* fd);
