#pragma once

#include <string>

namespace vantel::quality {

// Now in UTC with microseconds, e.g. 2026-12-05T05:43:25.042117+00:00.
std::string utcTimestamp();

}  // namespace vantel::quality
