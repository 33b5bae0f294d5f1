// Defaults of unitflash-sim, so that it needs no setting up: a simulated unit that lives in a
// state directory of the user's, and device timing paced in real time so that a person sees an
// update progress as on real hardware. The environment overrides both:
//   UNITFLASH_SIM_SCENARIO  a scenario file of one's own (see sim/README.md)
//   UNITFLASH_SIM_HOME      where the default scenario and its state file live
//   UNITFLASH_SIM_PACE      real seconds per simulated second (0: no real waiting)
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string simHome() {
    if (const char* home = std::getenv("UNITFLASH_SIM_HOME"); home && *home) {
        return home;
    }
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
        return std::string(state) + "/unitflash-sim";
    }
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/state/unitflash-sim";
}

void makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos) {
            return;
        }
    }
}

void writeDefaultScenario(const std::string& home, const std::string& path) {
    if (std::FILE* existing = std::fopen(path.c_str(), "r")) {
        std::fclose(existing);
        return;
    }
    makeDirectories(home);
    if (std::FILE* file = std::fopen(path.c_str(), "w")) {
        std::fprintf(file,
                     "{\n  \"stateFile\": \"%s/state.json\",\n  \"devices\": [\n"
                     "    {\"kind\": \"unit\", \"port\": \"1.4\", \"firmwareVersion\": \"1.0.0\"}\n"
                     "  ]\n}\n",
                     home.c_str());
        std::fclose(file);
    }
}

struct SimDefaults {
    SimDefaults() {
        if (const char* scenario = std::getenv("UNITFLASH_SIM_SCENARIO"); !scenario || !*scenario) {
            const std::string home = simHome();
            const std::string path = home + "/scenario.json";
            writeDefaultScenario(home, path);
            setenv("UNITFLASH_SIM_SCENARIO", path.c_str(), 1);
        }
        setenv("UNITFLASH_SIM_PACE", "1", 0);
    }
};

const SimDefaults defaults;

}  // namespace
