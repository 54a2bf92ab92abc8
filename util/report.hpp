// SPDX-License-Identifier: Apache-2.0
// The messages of the programs on standard error, with one set of prefixes
// and one verbosity switch:
//
//   Error : the video "a.avi" cannot be opened!     always
//   Warning : FRAME 'x' is not a whole number ...   unless quiet (-q)
//   rovelin: frames skipped ...                     notes and progress, unless quiet
//   rovelin: the model cache "m.cache" was read     details, only when verbose (-v)
//
// The program name and the verbosity are kept with the stream they apply
// to, so library code that is handed a stream writes in its caller's
// style, and a stream nobody configured gets "rovelin" and the default.
#pragma once

#include <ostream>

namespace rovelin {

enum class Verbosity {
  Quiet,    // errors only
  Normal,   // errors, warnings, notes and progress
  Verbose,  // all of that, and details
};

// Sets the name before notes and the verbosity of the messages on `err`.
// `program` must outlive the stream's use (a string literal).
void setMessageStyle(std::ostream& err, const char* program, Verbosity verbosity);

// True when messages of `level` are written to `err`.
bool showsMessages(std::ostream& err, Verbosity level);

// One message line: the prefix is written when the line is made, the
// suffix and an end-of-line (which flushes) when the statement ends. A
// line whose level is not shown writes nothing at all.
class MessageLine {
public:
  // Written from `level` on: `name`, `prefix`, the text, `suffix`.
  MessageLine(std::ostream& err, Verbosity level, const char* name, const char* prefix,
              const char* suffix);
  MessageLine(const MessageLine&) = delete;
  MessageLine& operator=(const MessageLine&) = delete;
  ~MessageLine();

  template <typename T>
  MessageLine& operator<<(const T& value) {
    if (err_ != nullptr) *err_ << value;
    return *this;
  }

private:
  std::ostream* err_;  // null: the line is dropped
  const char* suffix_;
};

// "Error : <text>!", always written.
MessageLine errorLine(std::ostream& err);
// "Warning : <text>", unless quiet.
MessageLine warningLine(std::ostream& err);
// "<program>: <text>", unless quiet.
MessageLine noteLine(std::ostream& err);
// "<program>: <text>", only when verbose.
MessageLine detailLine(std::ostream& err);
// <text> as it is, written from `level` on: the few fixed lines scripts
// know without the usual prefix or suffix.
MessageLine plainLine(std::ostream& err, Verbosity level);

// Flushes standard output and checks that everything printed reached it: a
// full disk or a closed descriptor makes the run a failure ("Error : cannot
// write to standard output!", kExitFailure) rather than a silent success.
// Returns `status` when all is well.
int checkedStandardOutput(int status);

// Reports the exception being handled (call it only inside a catch block)
// and returns the exit status: bad input or a failed operation (Error and
// the other standard exceptions) is "Error : <what>!" and kExitFailure, a
// fault in the tool (std::logic_error, or anything that is not a standard
// exception) "Error : internal fault: <what>!" and kExitInternalFault, and
// exhausted memory "Error : out of memory!" and kExitFailure.
int reportException(std::ostream& err);

}  // namespace rovelin
