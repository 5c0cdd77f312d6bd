#pragma once
// `vestra validate [CASE ...] [--quick] [-o DIR]`: runs the validation cases through the model,
// draws each against its reference and writes DIR/report.md and DIR/report.json.
#include <string>
#include <vector>

// Returns 0 when every case ran and passed, 1 when one failed, 2 for a bad command line.
int RunValidateCommand(const std::vector<std::string>& args);
