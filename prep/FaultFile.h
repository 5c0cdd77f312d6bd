#pragma once
// The fault file: a TOML list of rectangular faults ([[faults]] tables) and two global options.
#include <string>
#include <vector>

#include "Okada.h"

// One rectangle as written in the file, in the file's units (degrees or metres for the reference
// point, km for depth, length and width, m for slip and opening, s for rupture_time).
struct Fault {
    int index = 0;     // 1-based position in the file, for messages
    std::string name;  // optional label
    double x = 0.0, y = 0.0;  // longitude and latitude in degrees, or x and y in metres
    FaultReference reference = FaultReference::Centroid;
    double depthKm = 0.0;
    double strike = 0.0, dip = 0.0, rake = 0.0;
    double slip = 0.0, opening = 0.0;
    double lengthKm = 0.0, widthKm = 0.0;
    double ruptureTime = 0.0;
};

struct FaultSet {
    std::vector<Fault> faults;
    bool geographic = true;  // faults placed by longitude/latitude (else by x/y in metres)
    double poisson = 0.25;
    bool horizontal = false;  // add the water lifted by horizontal motion of a sloping sea floor
};

// Parses fault-file text; sourceName prefixes every message. Each message names the fault (its
// 1-based index and name, when given) and the key at fault. Returns false on the first error.
bool ParseFaultText(const std::string& text, const std::string& sourceName, FaultSet* set, std::string* error);

// Reads and parses a fault file.
bool ReadFaultFile(const std::string& path, FaultSet* set, std::string* error);

// "fault 2" or "fault 2 ("north segment")", as used in messages.
std::string FaultLabel(const Fault& fault);
