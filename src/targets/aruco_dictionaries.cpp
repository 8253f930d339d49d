#include "targets/aruco_dictionaries.hpp"

#include <stdexcept>

namespace vantel {

const std::map<std::string, int>& arucoDictionaryIdMap() {
    static const std::map<std::string, int> table = {
        {"DICT_4X4_50", 0},          {"DICT_4X4_100", 1},         {"DICT_4X4_250", 2},
        {"DICT_4X4_1000", 3},        {"DICT_5X5_50", 4},          {"DICT_5X5_100", 5},
        {"DICT_5X5_250", 6},         {"DICT_5X5_1000", 7},        {"DICT_6X6_50", 8},
        {"DICT_6X6_100", 9},         {"DICT_6X6_250", 10},        {"DICT_6X6_1000", 11},
        {"DICT_7X7_50", 12},         {"DICT_7X7_100", 13},        {"DICT_7X7_250", 14},
        {"DICT_7X7_1000", 15},       {"DICT_ARUCO_ORIGINAL", 16}, {"DICT_APRILTAG_16H5", 17},
        {"DICT_APRILTAG_25H9", 18},  {"DICT_APRILTAG_36H10", 19}, {"DICT_APRILTAG_36H11", 20},
        {"DICT_ARUCO_MIP_36H12", 21},
    };
    return table;
}

int arucoDictionaryIdFromName(const std::string& name) {
    const auto& table = arucoDictionaryIdMap();
    const auto found = table.find(name);
    if (found == table.end()) {
        throw std::invalid_argument("Unknown aruco_dict_id '" + name + "'");
    }
    return found->second;
}

}  // namespace vantel
