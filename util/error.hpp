// SPDX-License-Identifier: Apache-2.0
// The tool's exceptions.
//
// Every failure that bad input or the environment can cause (a damaged
// file, a missing video, a full disk) is thrown as an Error or a class
// derived from it, and the programs report it and exit with status 1. A
// std::logic_error means a fault in the tool itself; the programs report
// it as an internal fault and exit with status 70.
#pragma once

#include <stdexcept>

namespace rovelin {

// Bad input or a failed operation; what() says what and where.
class Error : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Exit statuses shared by the programs.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;         // bad input or a failed operation
constexpr int kExitBadOption = 2;       // a command line that cannot be run
constexpr int kExitInternalFault = 70;  // a fault in the tool (EX_SOFTWARE)

}  // namespace rovelin
