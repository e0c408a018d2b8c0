// What the updater shows its user: messages, a progress bar and a spinner. The updater talks
// only to this interface; the console implementation is CLI_Display.
#pragma once

class UpdaterDisplayInterface {
  public:
    // Callers use the two levels; any other value counts as information.
    enum Level : int { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    UpdaterDisplayInterface() = default;
    UpdaterDisplayInterface(const UpdaterDisplayInterface&) = delete;
    UpdaterDisplayInterface& operator=(const UpdaterDisplayInterface&) = delete;

    virtual void display_progress(bool start) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats into a 2048-byte buffer (longer output is cut) and hands it to error_message
    // for LEVEL_ERROR, to info_message for any other level; nothing while muted. Muting
    // leaves bars, spinners and direct calls alone.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void mute_messages(bool on) { messages_muted = on; }

  protected:
    // Displays are never deleted through the interface.
    ~UpdaterDisplayInterface() = default;

  private:
    bool messages_muted = false;
};
