#pragma once
// Joins an output folder and a file name with exactly one '/' between them.
#include <string>

inline std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/' || folder.back() == '\\') return folder + name;
    return folder + "/" + name;
}
