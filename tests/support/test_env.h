#pragma once
// Every test process gets its own registry file, program folder and run folder under a fresh
// temporary directory, so tests never touch the machine's own store or each other's. Also the
// small file, polling and descriptor helpers the test programs share (standard library and
// platform only).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace trellis::test {

// The temporary folder of this test process (created on first use, removed at exit).
const std::string& TempRoot();

// Holds a port for this process until it ends, so that no other test on the machine picks it (they
// all take the same locks); false when another test holds it.
bool HoldPort(uint16_t port);

// A fresh empty sub-folder of TempRoot().
std::string MakeTempDir(const std::string& hint);

// Paths of the built programs and of the source tree.
std::string BuildPath(const std::string& name);
std::string SourcePath(const std::string& name);

// Runs a shell command line; returns its exit status (or -1) and puts standard output in *out.
int RunCommand(const std::string& cmd, std::string* out = nullptr);

// A new registry store in a fresh folder made with MakeTempDir(hint); null (and a test failure
// saying why) when it cannot be opened.
std::shared_ptr<platform::reg::Store> OpenFreshStore(const std::string& hint);

// The bytes of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);

// Replaces a file's content with text; false when it cannot be written.
bool WriteFile(const std::string& path, const std::string& text);

// The lines of a text, each without its CR LF; an unterminated tail is returned marked
// "<unterminated>".
std::vector<std::string> CRLFLines(const std::string& text);

// Polls pred until it holds or timeoutMs pass; false on time-out.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 30000);

// How many descriptors this process holds now (for before-and-after comparisons).
size_t OpenDescriptors();

}  // namespace trellis::test
