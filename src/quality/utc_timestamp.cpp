#include "quality/utc_timestamp.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace vantel::quality {

std::string utcTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char wholeSeconds[32];
    std::strftime(wholeSeconds, sizeof wholeSeconds, "%Y-%m-%dT%H:%M:%S", &utc);
    const long long micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
    char text[64];
    std::snprintf(text, sizeof text, "%s.%06lld+00:00", wholeSeconds, micros < 0 ? micros + 1000000 : micros);
    return text;
}

}  // namespace vantel::quality
