#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vantel {

enum class LogLevel : int { Debug = 0, Info = 1, Warning = 2, Error = 3, Success = 4 };

// Writes "[vantel][LEVEL] message\n" to standard error. Throws only HostInterrupt.
void logMessage(LogLevel level, const std::string& message);

struct LogLine {
    LogLevel level;
    std::string message;
};

// While alive, the log lines of this thread are kept instead of written, so work done once can
// be reused later with the very lines it logged (replayLog), in the order a fresh run logs them.
// Recordings nest: lines go to the innermost one.
class LogRecording {
public:
    LogRecording();
    ~LogRecording();
    LogRecording(const LogRecording&) = delete;
    LogRecording& operator=(const LogRecording&) = delete;

    const std::vector<LogLine>& lines() const { return lines_; }
    std::vector<LogLine> takeLines() { return std::move(lines_); }

private:
    friend void logMessage(LogLevel level, const std::string& message);
    std::vector<LogLine> lines_;
    LogRecording* outer_;
};

// Logs each line again, through any recording that is active now.
void replayLog(const std::vector<LogLine>& lines);

}  // namespace vantel
