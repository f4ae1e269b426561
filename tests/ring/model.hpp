// What the two wake-up models share: their size, how they fail, and the
// whole-run deadline for hangs their watchdogs cannot see.
#pragma once
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace model {

// Names the model in its failures; main sets it first.
inline const char *name = "model";

[[noreturn]] inline void fail(const std::string &why) {
    std::printf("FAIL %s: %s\n", name, why.c_str());
    std::fflush(stdout);
    std::_Exit(1);
}

// Sets `name`, starts the deadline and returns the scale: argv[1], else
// WAKE_MODEL_SCALE, else 1.
inline double start(const char *model_name, int argc, char **argv) {
    name = model_name;
    double scale = 1.0;
    if (const char *e = std::getenv("WAKE_MODEL_SCALE")) scale = std::atof(e);
    if (argc > 1) scale = std::atof(argv[1]);
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::minutes(5));
        fail("still running after 5 minutes");
    }).detach();
    return scale > 0 ? scale : 1.0;
}

}  // namespace model
