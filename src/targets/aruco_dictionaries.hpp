#pragma once

#include <map>
#include <string>

namespace vantel {

// Predefined ArUco dictionary names ("DICT_4X4_50", ...) to OpenCV's ids; built once.
const std::map<std::string, int>& arucoDictionaryIdMap();

// Exact, case-sensitive lookup; throws std::invalid_argument for an unknown name.
int arucoDictionaryIdFromName(const std::string& name);

}  // namespace vantel
