// A display for tests: keeps what the updater showed (progress fractions, spinner rounds,
// messages) so that a test can read it back.
#pragma once

#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

namespace tftest {

class RecordingDisplay final : public UpdaterDisplayInterface {
  public:
    void display_progress(bool start) override { (start ? barsStarted : barsEnded)++; }
    void update_progress(double fraction, const char*) override { fractions.push_back(fraction); }
    void update_spinner(bool active, const char*) override {
        if (active)
            spins++;
        else
            spinnerStops++;
    }
    void info_message(const char* text) override { infos.emplace_back(text); }
    void error_message(const char* text) override { errors.emplace_back(text); }

    int barsStarted = 0;
    int barsEnded = 0;
    std::vector<double> fractions;
    int spins = 0;
    int spinnerStops = 0;
    std::vector<std::string> infos;
    std::vector<std::string> errors;
};

} // namespace tftest
