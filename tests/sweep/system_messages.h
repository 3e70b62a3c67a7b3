// The error texts the program itself raises, gathered from the message constants of the
// classes that raise them (and from libjpeg's message table, which the JPEG class passes
// on). A formatted text matches with any value in place of each conversion.
#pragma once

#include <string>

namespace sweep {

bool IsSystemMessage(const std::string& message);

}  // namespace sweep
