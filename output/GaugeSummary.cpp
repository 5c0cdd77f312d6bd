#include "GaugeSummary.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "ZellUtility.h"

namespace {

// Water thinner than this (m) counts as none at a gauge: the history carries levels to 4
// decimals and the header the depth to 3, so their sum is good to about half a millimetre.
constexpr double kGaugeDryDepth = 0.001;

struct GaugeResult {
    float firstArrival = 0.0f;  // minutes: the first row whose level is not exactly 0
    float timeOfMaximum = 0.0f;  // minutes: the first row holding the maximum
    float maximum = 0.0f;  // never below 0
    float minimum = 0.0f;  // never above 0
    bool stayedDry = false;  // no water stood at the gauge in any row
};

// `depthText` is the gauge's still-water depth from the history's header (negative on land);
// when it is no number, the gauge is never taken for dry.
GaugeResult ScanGauge(const std::vector<float>& numbers, std::size_t rowLength, std::size_t rows, std::size_t gauge,
                      const std::string& depthText) {
    GaugeResult result;
    char* end = nullptr;
    const double depth = std::strtod(depthText.c_str(), &end);
    result.stayedDry = rows > 0 && !depthText.empty() && end == depthText.c_str() + depthText.size();
    bool arrived = false;
    for (std::size_t r = 0; r < rows; ++r) {
        const float time = numbers[r * rowLength];
        const float level = numbers[r * rowLength + gauge];
        if (static_cast<double>(level) + depth > kGaugeDryDepth) result.stayedDry = false;
        if (!arrived && level != 0.0f) {
            result.firstArrival = time;
            arrived = true;
        }
        if (level > result.maximum) {
            result.maximum = level;
            result.timeOfMaximum = time;
        }
        if (level < result.minimum) result.minimum = level;
    }
    return result;
}

void ReportInput(const std::string& summaryPath, const char* what, const std::string& inputPath, int error) {
    const std::string reason =
        std::string("cannot read the ") + what + " " + inputPath + ": " + std::strerror(error != 0 ? error : ENOENT);
    WarnFileNotWritten(summaryPath, reason.c_str());
}

}  // namespace

int32_t WriteGaugeSummary(const std::string& gaugeListPath, const std::string& timeHistoryPath,
                          const std::string& summaryPath) {
    if (gaugeListPath.empty()) return kGaugeSummaryDone;

    // The history: a header "Time name_depth name_depth ..." and rows of the time in minutes
    // followed by one level per gauge; an incomplete last row is dropped.
    errno = 0;
    std::ifstream history(timeHistoryPath);
    if (!history) {
        ReportInput(summaryPath, "time history", timeHistoryPath, errno);
        return kGaugeSummaryNoHistory;
    }
    std::string headerLine;
    std::getline(history, headerLine);
    std::vector<std::string> tokens;
    {
        std::istringstream words(headerLine);
        for (std::string word; words >> word;) tokens.push_back(std::move(word));
    }
    const std::size_t gaugeCount = tokens.empty() ? 0 : tokens.size() - 1;
    const std::size_t rowLength = gaugeCount + 1;
    std::vector<float> numbers;
    for (float value; history >> value;) numbers.push_back(value);
    const std::size_t rows = numbers.size() / rowLength;
    history.close();

    errno = 0;
    std::ifstream list(gaugeListPath);
    if (!list) {
        ReportInput(summaryPath, "gauge list", gaugeListPath, errno);
        return kGaugeSummaryNoListOrOutput;
    }
    std::vector<std::pair<float, float>> coordinates;
    std::string name;
    for (float x = 0, y = 0; list >> name >> x >> y;) coordinates.emplace_back(x, y);
    list.close();

    OutputFile summary(summaryPath);
    if (!summary.IsOpen()) return kGaugeSummaryNoListOrOutput;
    std::string& out = summary.Buffer();
    out += "Name of gauge pt.\tDepth of gauge pt.(m)\tXCoord\tYCoord\tArrival time of initial wave (min)\t"
           "Arrival time of max.wave (min)\tMaximum (+)ve amp.(m)\tMaximum (-)ve amp.(m)\n";
    for (std::size_t g = 1; g <= gaugeCount; ++g) {
        // The header token is name "_" depth; a name holding "_" splits at its first one.
        const std::string& token = tokens[g];
        const std::size_t split = token.find('_');
        out.append(token, 0, split);
        out += '\t';
        if (split != std::string::npos) out.append(token, split + 1);
        // A gauge list shorter than the history's gauges leaves the coordinates at 0.
        const std::pair<float, float> xy = g <= coordinates.size() ? coordinates[g - 1] : std::pair{0.0f, 0.0f};
        const GaugeResult result =
            ScanGauge(numbers, rowLength, rows, g, split == std::string::npos ? std::string() : token.substr(split + 1));
        for (const float value : {xy.first, xy.second}) {
            out += '\t';
            AppendGeneral(out, value);
        }
        // A gauge on land that the water never reached has no wave to report: its level only
        // follows the ground.
        if (result.stayedDry) {
            out += "\tdry\tdry\tdry\tdry\n";
            continue;
        }
        for (const float value : {result.firstArrival, result.timeOfMaximum, result.maximum, result.minimum}) {
            out += '\t';
            AppendGeneral(out, value);
        }
        out += '\n';
    }
    return summary.Close() ? kGaugeSummaryDone : kGaugeSummaryNoListOrOutput;
}
