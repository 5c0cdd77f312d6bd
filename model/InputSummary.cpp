#include "InputSummary.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "PathJoin.h"

std::string FormatSummaryNumber(float value, bool fixedThreeDecimals) {
    char text[64];
    // "%g" is the conversion of a stream's default floating-point format (precision 6).
    std::snprintf(text, sizeof text, fixedThreeDecimals ? "%.3f" : "%g", static_cast<double>(value));
    return text;
}

std::string InputSummaryText(const GridLevel& level, const SimulationParameters& settings, float gridSpacing,
                             bool fixedThreeDecimals) {
    auto number = [&](float value) { return FormatSummaryNumber(value, fixedThreeDecimals); };
    std::string text;
    text += "DX = " + number(gridSpacing) + "\n";
    text += "DT = " + number(settings.timeStep) + "\n";
    text += "outsec1 = " + number(settings.snapshotInterval) + "\n";
    if (level.IsSpherical()) {
        text += "Cartesian = DISABLED\nSpherical = ENABLED\n";
        text += level.coriolisEnabled != 0 ? "CORIOLIS = ENABLED\n" : "CORIOLIS = DISABLED\n";
    } else {
        text += "Cartesian = ENABLED\nSpherical = DISABLED\n";
    }
    text += "velocity limit =  " + number(settings.velocityLimit) + "\n";
    text += "flow depth limit =  " + number(settings.flowDepthLimit) + "\n";
    if (settings.timeSeriesEnabled) {
        text += "More Option\n";
        text += "t-eta file name    " + settings.timeSeriesFile + "\n";
        text += std::string("use eta only    ") + (settings.useEtaOnly ? "1" : "0") + "\n";
        text += "use i from   " + std::to_string(settings.seriesFirstIndex) + "  to  " +
                std::to_string(settings.seriesLastIndex) + "\n";
    }
    return text;
}

bool WriteInputSummary(const GridLevel& level, const SimulationParameters& settings, float gridSpacing,
                       bool fixedThreeDecimals) {
    const std::string path = JoinPath(level.outputFolder, kInputSummaryFileName);
    const std::string text = InputSummaryText(level, settings, gridSpacing, fixedThreeDecimals);
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file) {
        std::fprintf(stderr, "vestra: warning: %s not written: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "vestra: warning: %s not written completely\n", path.c_str());
        return false;
    }
    return true;
}
