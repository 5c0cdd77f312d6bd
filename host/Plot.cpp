#include "Plot.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace {

bool IsReadableFile(const std::string& path) {
    std::error_code code;
    return !path.empty() && std::filesystem::is_regular_file(path, code) && access(path.c_str(), R_OK) == 0;
}

}  // namespace

std::string FindPlotScript() {
    std::error_code code;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", code);
    if (!code) {
        const std::string beside = (executable.parent_path() / kPlotScriptName).string();
        if (IsReadableFile(beside)) return beside;
    }
#ifdef VESTRA_PLOT_SCRIPT_SOURCE
    if (IsReadableFile(VESTRA_PLOT_SCRIPT_SOURCE)) return VESTRA_PLOT_SCRIPT_SOURCE;
#endif
    return {};
}

int RunPlotScript(const std::string& python, const std::string& script, const std::vector<std::string>& args) {
    const std::string found = script.empty() ? FindPlotScript() : script;
    if (!IsReadableFile(found)) {
        if (script.empty())
            std::cerr << "vestra plot: cannot find " << kPlotScriptName
                      << " beside the vestra executable or in the source tree\n";
        else
            std::cerr << "vestra plot: cannot read the plotting script " << script << "\n";
        return 2;
    }
    if (access(python.c_str(), X_OK) != 0) {
        std::cerr << "vestra plot: " << python
                  << " is missing; install the Debian packages python3 python3-matplotlib python3-numpy "
                     "python3-netcdf4\n";
        return 2;
    }
    std::vector<std::string> words{python, found};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        std::cerr << "vestra plot: cannot start " << python << ": " << std::strerror(errno) << "\n";
        return 2;
    }
    if (child == 0) {
        execv(python.c_str(), argv.data());
        // Only reached when exec failed; write(2) is safe after fork in a threaded process.
        const std::string message = "vestra plot: cannot run " + python + ": " + std::strerror(errno) + "\n";
        [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, message.data(), message.size());
        _exit(2);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            std::cerr << "vestra plot: lost the plotting process: " << std::strerror(errno) << "\n";
            return 2;
        }
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    std::cerr << "vestra plot: the plotting process ended by signal " << WTERMSIG(status) << "\n";
    return 128 + WTERMSIG(status);
}

int RunPlotCommand(const std::vector<std::string>& args) { return RunPlotScript(kPlotPython, "", args); }
