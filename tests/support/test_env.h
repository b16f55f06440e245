#pragma once
// Every test process gets its own registry file, program folder and run folder under a fresh
// temporary directory, so tests never touch the machine's own store or each other's.
#include <string>

namespace trellis::test {

// The temporary folder of this test process (created on first use, removed at exit).
const std::string& TempRoot();

// A fresh empty sub-folder of TempRoot().
std::string MakeTempDir(const std::string& hint);

// Paths of the built programs and of the source tree.
std::string BuildPath(const std::string& name);
std::string SourcePath(const std::string& name);

// Runs a shell command line; returns its exit status (or -1) and puts standard output in *out.
int RunCommand(const std::string& cmd, std::string* out = nullptr);

}  // namespace trellis::test
