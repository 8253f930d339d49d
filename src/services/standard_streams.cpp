#include "services/standard_streams.hpp"

#include <iostream>
#include <utility>

namespace vantel {
namespace {

TextSink& errorSink() {
    static TextSink sink;
    return sink;
}

TextSink& outputSink() {
    static TextSink sink;
    return sink;
}

}  // namespace

void setStandardErrorSink(TextSink sink) { errorSink() = std::move(sink); }

void setStandardOutputSink(TextSink sink) { outputSink() = std::move(sink); }

void writeStandardError(const std::string& text) {
    if (errorSink()) {
        errorSink()(text);
    } else {
        std::cerr << text;
    }
}

void writeStandardOutput(const std::string& text) {
    if (outputSink()) {
        outputSink()(text);
    } else {
        std::cout << text << std::flush;
    }
}

}  // namespace vantel
