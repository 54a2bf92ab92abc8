// SPDX-License-Identifier: Apache-2.0
#include "util/report.hpp"

#include "util/error.hpp"

#include <exception>
#include <iostream>
#include <new>
#include <stdexcept>

namespace rovelin {

namespace {

// The stream's slots for the verbosity and the program name. iword starts
// at 0, so Normal must be the value 0 there.
int verbositySlot() {
  static const int slot = std::ios_base::xalloc();
  return slot;
}
int programSlot() {
  static const int slot = std::ios_base::xalloc();
  return slot;
}

long storedVerbosity(Verbosity verbosity) { return static_cast<long>(verbosity) - 1; }

const char* programName(std::ostream& err) {
  const void* program = err.pword(programSlot());
  return program != nullptr ? static_cast<const char*>(program) : "rovelin";
}

}  // namespace

void setMessageStyle(std::ostream& err, const char* program, Verbosity verbosity) {
  err.iword(verbositySlot()) = storedVerbosity(verbosity);
  err.pword(programSlot()) = const_cast<char*>(program);
}

bool showsMessages(std::ostream& err, Verbosity level) {
  return storedVerbosity(level) <= err.iword(verbositySlot());
}

MessageLine::MessageLine(std::ostream& err, Verbosity level, const char* name, const char* prefix,
                         const char* suffix)
    : err_(showsMessages(err, level) ? &err : nullptr), suffix_(suffix) {
  if (err_ != nullptr) *err_ << name << prefix;
}

MessageLine::~MessageLine() {
  if (err_ != nullptr) *err_ << suffix_ << std::endl;
}

MessageLine errorLine(std::ostream& err) {
  return MessageLine(err, Verbosity::Quiet, "", "Error : ", "!");
}

MessageLine warningLine(std::ostream& err) {
  return MessageLine(err, Verbosity::Normal, "", "Warning : ", "");
}

MessageLine noteLine(std::ostream& err) {
  return MessageLine(err, Verbosity::Normal, programName(err), ": ", "");
}

MessageLine detailLine(std::ostream& err) {
  return MessageLine(err, Verbosity::Verbose, programName(err), ": ", "");
}

MessageLine plainLine(std::ostream& err, Verbosity level) {
  return MessageLine(err, level, "", "", "");
}

int checkedStandardOutput(int status) {
  std::cout.flush();
  if (!std::cout) {
    errorLine(std::cerr) << "cannot write to standard output";
    return kExitFailure;
  }
  return status;
}

int reportException(std::ostream& err) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    errorLine(err) << "out of memory";
    return kExitFailure;
  } catch (const Error& e) {
    errorLine(err) << e.what();
    return kExitFailure;
  } catch (const std::logic_error& e) {
    errorLine(err) << "internal fault: " << e.what();
    return kExitInternalFault;
  } catch (const std::exception& e) {
    // The image library's and the standard library's failures on bad data.
    errorLine(err) << e.what();
    return kExitFailure;
  } catch (...) {
    errorLine(err) << "internal fault: an unknown exception";
    return kExitInternalFault;
  }
}

}  // namespace rovelin
