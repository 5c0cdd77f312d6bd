#pragma once
// What every validation case shares: where it works, how it runs the model and what it hands
// back to the report.
#include <functional>
#include <string>
#include <vector>

#include "RunExtension.h"

// One number of a case. A metric with a threshold counts towards the pass rule
// (value <= threshold); one without is reported for information.
struct Metric {
    std::string name;
    double value = 0.0;
    double threshold = -1.0;  // < 0: information only
    std::string unit;         // "" for ratios
    bool Counts() const { return threshold >= 0.0; }
    bool Passes() const { return !Counts() || value <= threshold; }  // NaN fails
};

// One line of a figure panel: x and y values, a label and whether it is reference data.
struct Series {
    std::string label;
    std::vector<double> x, y;
    bool reference = false;  // drawn as markers (measurements, analytic) rather than a line
};
struct Panel {
    std::string title, xLabel, yLabel;
    std::vector<Series> series;
};

struct CaseResult {
    std::string name;
    std::string title;                  // one line: what the case is
    std::vector<std::string> settings;  // the model settings it used, one line each
    std::vector<std::string> notes;     // source of the reference, what was tried
    std::vector<Metric> metrics;
    std::vector<Panel> panels;  // the figure, model against reference
    std::string failure;        // a run that could not be made; the case then fails
    bool Passed() const;
};

struct CaseContext {
    bool quick = false;
    bool dispersion = false;  // laboratory cases run with the dispersive correction
    bool velocityHead = false;  // runup fronts open on the level plus the velocity head
    double cellSize = 0.0;      // > 0: grid spacing (m) of the conical-island cases instead of their own
    std::string folder;      // the case's own output folder, ends in '/'
    std::string pluginPath;  // the simulator library
    std::string dataFolder;  // the laboratory data, ends in '/'
};

struct ValidationCase {
    const char* name;
    const char* summary;
    std::function<CaseResult(const CaseContext&)> run;
};

// The cases in the order they run.
std::vector<ValidationCase> ValidationCases();

CaseResult RunMassCase(const CaseContext& context);
CaseResult RunThackerCase(const CaseContext& context);
CaseResult RunBp4Case(const CaseContext& context);
CaseResult RunBp6Case(const CaseContext& context, char letter);  // 'a', 'b' or 'c'
CaseResult RunBp7Case(const CaseContext& context);

// Relative error |model - reference| / |reference|.
double RelativeError(double model, double reference);
