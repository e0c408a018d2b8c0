// The console display.
#include "CLI_Display.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int BAR_WIDTH = 69;
constexpr char BAR[] = "=====================================================================";
static_assert(sizeof(BAR) - 1 == BAR_WIDTH);
constexpr int ERASE_WIDTH = 88;
constexpr const char* FRAMES[] = {".", "..", "...", "....", ".....", "....", "...", ".."};

// The spinner's frame, shared by every display: a spinner goes on where the last one stopped.
unsigned char count = 0;

bool onTerminal() {
    return isatty(fileno(stdout)) == 1;
}

void eraseLine() {
    printf("\r%*s\r", ERASE_WIDTH, " ");
}

} // namespace

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool start) {
    if (!onTerminal() || start) return;
    eraseLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!onTerminal()) return;
    // A label too long for the line, or a fraction outside 0..1, still keeps every index
    // inside the bar text.
    int width =
        label ? BAR_WIDTH - static_cast<int>(std::min<size_t>(strlen(label), 200)) - 4 : BAR_WIDTH;
    width = std::max(width, 1);
    fraction = std::clamp(fraction, 0.0, 1.0);
    int n = static_cast<int>(width * fraction);
    int pct = static_cast<int>(100.0 * fraction);
    if (label)
        printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, n, BAR, width - n - 1, "", pct);
    else
        printf("\r[%.*s>%*s] (%3d%% ) ", n, BAR, width - n - 1, "", pct);
}

void CLI_Display::update_spinner(bool active, const char* label) {
    if (!onTerminal()) return;
    if (!active) {
        eraseLine();
        return;
    }
    if (label)
        printf("\r (%s) %s      \r", label, FRAMES[count]);
    else
        printf("\r %s      \r", FRAMES[count]);
    count = static_cast<unsigned char>((count + 1) % 8);
}

void CLI_Display::info_message(const char* text) {
    printf("%s\n", text);
}

void CLI_Display::error_message(const char* text) {
    fprintf(stderr, "%s\n", text);
}
