#pragma once
// Small-file helpers of the ensemble commands.
#include <string>

// Writes `text` beside `path` and renames it into place, so a reader never sees half a file.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);

// The whole file, or false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* text);
