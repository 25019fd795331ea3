// Turning library result codes into what the user reads: the library's own
// message (GBK) converted to UTF-8, and the tool's exit status.
#pragma once

#include <string>

#include "tool_errors.h"

namespace pelu7tool {

// The message of a result code as VORN_DAL_GetErrMsg gives it, in UTF-8.
std::string dalMessage(int code);

// The exit status for a non-zero library result.
ExitStatus exitStatusFor(int code);

// Writes the failure to stderr ("pelu7: OPERATION: ...") and returns its exit status.
ExitStatus reportDalError(const DalError& error);

}  // namespace pelu7tool
