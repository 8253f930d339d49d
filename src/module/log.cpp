#include "module/log.hpp"

#include "module/standard_streams.hpp"

namespace vantel {
namespace {

const char* levelTag(LogLevel level) {
    switch (level) {
        case LogLevel::Debug: return "DEBUG";
        case LogLevel::Info: return "INFO";
        case LogLevel::Warning: return "WARNING";
        case LogLevel::Error: return "ERROR";
        case LogLevel::Success: return "SUCCESS";
    }
    return "INFO";
}

}  // namespace

void logMessage(LogLevel level, const std::string& message) {
    try {
        // One write per line, so lines from one thread never interleave.
        writeStandardError("[vantel][" + std::string(levelTag(level)) + "] " + message + "\n");
    } catch (...) {
        // A failing stream must not turn a calculation into an error.
    }
}

}  // namespace vantel
