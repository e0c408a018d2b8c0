// The console display: messages on the standard streams, and a progress bar and a spinner
// drawn in place on a terminal (nothing of them when standard output is not one).
#pragma once

#include "UpdaterDisplayInterface.h"

class CLI_Display final : public UpdaterDisplayInterface {
  public:
    // Makes standard output and standard error unbuffered for the rest of the process, so that
    // frames ending in a carriage return appear at once.
    CLI_Display();
    ~CLI_Display() = default;

    void display_progress(bool start) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
