#pragma once

#include <string>

namespace vantel {

enum class LogLevel : int { Debug = 0, Info = 1, Warning = 2, Error = 3, Success = 4 };

// Writes "[vantel][LEVEL] message\n" to standard error. Never throws.
void logMessage(LogLevel level, const std::string& message);

}  // namespace vantel
