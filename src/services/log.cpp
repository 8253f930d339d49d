#include "services/log.hpp"

#include "services/standard_streams.hpp"

namespace vantel {
namespace {

thread_local LogRecording* activeRecording = nullptr;

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

LogRecording::LogRecording() : outer_(activeRecording) { activeRecording = this; }

LogRecording::~LogRecording() { activeRecording = outer_; }

void logMessage(LogLevel level, const std::string& message) {
    try {
        if (activeRecording != nullptr) {
            activeRecording->lines_.push_back({level, message});
            return;
        }
        // One write per line, so lines from one thread never interleave.
        writeStandardError("[vantel][" + std::string(levelTag(level)) + "] " + message + "\n");
    } catch (const HostInterrupt&) {
        throw;  // the host wants the call to end
    } catch (...) {
        // A failing stream must not turn a calculation into an error.
    }
}

void replayLog(const std::vector<LogLine>& lines) {
    for (const LogLine& line : lines) {
        logMessage(line.level, line.message);
    }
}

}  // namespace vantel
