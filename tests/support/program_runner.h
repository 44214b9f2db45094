// Test support: runs the real programs as child processes and talks HTTP/1.1 to a server over
// a plain loopback socket, byte for byte as the test writes it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace vexo::testing {

struct ProgramResult {
  int exitCode = -1;  // 128 + signal number when the program was killed
  std::string out;
  std::string err;
};

// Runs `program` to its end with `input` on its standard input.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input = {});

// A program running in the background; its output goes to files in a private folder.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::string& program, const std::vector<std::string>& arguments);
  ~BackgroundProgram();  // kills the program if it still runs

  // The first line the program writes to standard output; empty when it ends without one.
  std::string FirstLine() { return Line(0); }
  // Line `index` (from 0) of standard output, waited for the same way.
  std::string Line(size_t index);
  bool Signal(int signalNumber);
  // Waits for the end; exit code as in ProgramResult.
  int Wait();
  std::string Output() const;
  std::string Errors() const;

 private:
  TempFolder folder_;
  pid_t pid_ = -1;
  int exitCode_ = -1;
  bool ended_ = false;
  bool TryReap();
};

struct HttpReply {
  int status = 0;                              // 0: no parsable reply
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;                            // everything after the first reply's headers
  std::string raw;                             // all bytes received
};

// Sends `request` as it is to 127.0.0.1:`port` and reads the reply up to the end of the
// connection. A `source` address (any of 127.0.0.0/8) makes the request come from there.
HttpReply SendRaw(uint16_t port, const std::string& request, const std::string& source = {});

// GET `target` with Connection: close; `headerLines` ("Name: value\r\n" each) go with it.
HttpReply HttpGet(uint16_t port, const std::string& target, const std::string& headerLines = {},
                  const std::string& source = {});

}  // namespace vexo::testing
