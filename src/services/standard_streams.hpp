#pragma once

#include <exception>
#include <functional>
#include <string>

namespace vantel {

// Where log lines and printed reports go. By default the process's std::cerr and
// std::cout; the binding layer installs sinks that write to the host's own
// sys.stderr / sys.stdout so replaced streams (notebooks, test capture) see them.
using TextSink = std::function<void(const std::string&)>;

// Thrown by a sink when the host asks the running call to stop (Ctrl-C, exit) while a line was
// written. Not a std::exception, so the core's handlers of failed operations let it pass; the
// binding layer turns `cause` back into the host's own exception.
struct HostInterrupt {
    std::exception_ptr cause;
};

void setStandardErrorSink(TextSink sink);
void setStandardOutputSink(TextSink sink);

void writeStandardError(const std::string& text);
void writeStandardOutput(const std::string& text);

}  // namespace vantel
