#pragma once

#include <functional>
#include <string>

namespace vantel {

// Where log lines and printed reports go. By default the process's std::cerr and
// std::cout; the binding layer installs sinks that write to the host's own
// sys.stderr / sys.stdout so replaced streams (notebooks, test capture) see them.
using TextSink = std::function<void(const std::string&)>;

void setStandardErrorSink(TextSink sink);
void setStandardOutputSink(TextSink sink);

void writeStandardError(const std::string& text);
void writeStandardOutput(const std::string& text);

}  // namespace vantel
