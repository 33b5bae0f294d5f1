// Defaults of unitflash-sim, so that it needs no setting up: a simulated unit that lives in a
// state directory of the user's, and device timing paced in real time so that a person sees an
// update progress as on real hardware. The environment overrides both:
//   UNITFLASH_SIM_SCENARIO  a scenario file of one's own (see sim/README.md)
//   UNITFLASH_SIM_HOME      where the default scenario and its state file live
//   UNITFLASH_SIM_PACE      real seconds per simulated second (0: no real waiting)
#include <cstdlib>
#include <string>

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The bus library takes its default scenario from UNITFLASH_SIM_HOME; without one the tool
// keeps it among the user's state files.
std::string userSimHome() {
#ifdef _WIN32
    if (const char* local = std::getenv("LOCALAPPDATA"); local && *local) {
        return std::string(local) + "\\unitflash-sim";
    }
#endif
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
        return std::string(state) + "/unitflash-sim";
    }
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/state/unitflash-sim";
}

#ifdef _WIN32
void setenv(const char* name, const char* value, int overwrite) {
    if (overwrite || !isSet(name)) {
        _putenv_s(name, value);
    }
}
#endif

struct SimDefaults {
    SimDefaults() {
        if (!isSet("UNITFLASH_SIM_SCENARIO") && !isSet("UNITFLASH_SIM_HOME")) {
            setenv("UNITFLASH_SIM_HOME", userSimHome().c_str(), 1);
        }
        setenv("UNITFLASH_SIM_PACE", "1", 0);
    }
};

const SimDefaults defaults;

}  // namespace
