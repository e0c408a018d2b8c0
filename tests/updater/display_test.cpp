// The console display and the diagnostic log, byte for byte: standard output is put on a
// pseudo-terminal in raw mode (or a file) for the duration of each capture.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "CLI_Display.h"
#include "Log.h"

namespace {

// Reads what is there on fd within a short wait, until it falls quiet.
std::string drain(int fd) {
    std::string out;
    char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 50) > 0) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

// Runs fn with file descriptor `target` (1 or 2) on a raw pty, or on a file, and returns
// what it wrote there.
std::string capture(int target, bool terminal, const std::function<void()>& fn) {
    int source = -1, sink = -1;
    if (terminal) {
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&source, &sink, nullptr, &raw, nullptr) != 0) ADD_FAILURE() << "no pty";
    } else {
        FILE* file = tmpfile();
        sink = dup(fileno(file));
        source = dup(sink);
        fclose(file);
    }
    fflush(stdout);
    fflush(stderr);
    int saved = dup(target);
    dup2(sink, target);
    fn();
    fflush(target == 1 ? stdout : stderr);
    dup2(saved, target);
    close(saved);
    std::string out;
    if (terminal) {
        out = drain(source);
    } else {
        lseek(source, 0, SEEK_SET);
        out = drain(source);
    }
    close(sink);
    close(source);
    return out;
}

std::string onTerminal(const std::function<void()>& fn) {
    return capture(1, true, fn);
}

const std::string ERASE = "\r" + std::string(88, ' ') + "\r";

std::string bar(int equals, int spaces, const char* pct) {
    return "[" + std::string(static_cast<size_t>(equals), '=') + ">" +
           std::string(static_cast<size_t>(spaces), ' ') + "] (" + pct + "% ) ";
}

} // namespace

TEST(CliDisplay, ProgressBarFramesAreExact) {
    CLI_Display display;
    struct Case {
        double fraction;
        const char* label;
        std::string frame;
    } cases[] = {
        {0.0, nullptr, "\r" + bar(0, 68, "  0")},
        {0.5, nullptr, "\r" + bar(34, 34, " 50")},
        {1.0, nullptr, "\r" + bar(69, 1, "100")}, // the padding of -1 is one left-aligned column
        {0.5, "abc", "\r (abc) " + bar(31, 30, " 50")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(onTerminal([&] { display.update_progress(c.fraction, c.label); }), c.frame)
            << c.fraction << (c.label ? c.label : "");
    EXPECT_EQ(onTerminal([&] { display.display_progress(true); }), "");
    EXPECT_EQ(onTerminal([&] { display.display_progress(false); }), ERASE);
}

TEST(CliDisplay, ProgressBarStaysInsideItsTextForAnyInput) {
    CLI_Display display;
    std::string longLabel(300, 'x');
    for (double fraction : {-1.0, 2.0, 0.5}) {
        std::string out = onTerminal([&] { display.update_progress(fraction, longLabel.c_str()); });
        EXPECT_NE(out.find(">"), std::string::npos);
        EXPECT_LE(std::count(out.begin(), out.end(), '='), 69);
    }
}

TEST(CliDisplay, SpinnerCyclesThroughItsFramesAcrossDisplaysAndErases) {
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
    auto frame = [](const char* dots) { return "\r " + std::string(dots) + "      \r"; };
    {
        // The frame counter is the process's: turn it until the first frame comes.
        CLI_Display display;
        for (int i = 0; i < 8; i++)
            if (onTerminal([&] { display.update_spinner(true, nullptr); }) == frame(".")) break;
    }
    CLI_Display first, second;
    for (int i = 0; i < 9; i++) {
        CLI_Display& display = i % 2 ? second : first;
        EXPECT_EQ(onTerminal([&] { display.update_spinner(true, nullptr); }),
                  frame(frames[(i + 1) % 8]))
            << i;
        if (i == 4) {
            EXPECT_EQ(onTerminal([&] { display.update_spinner(false, nullptr); }), ERASE)
                << "an erase leaves the frame where it was";
        }
    }
    EXPECT_EQ(onTerminal([&] { first.update_spinner(true, "wait"); }),
              "\r (wait) " + std::string(frames[2]) + "      \r");
}

TEST(CliDisplay, DrawsNothingWhenStandardOutputIsAFile) {
    CLI_Display display;
    std::string out = capture(1, false, [&] {
        display.update_progress(0.5, nullptr);
        display.display_progress(false);
        display.update_spinner(true, nullptr);
        display.update_spinner(false, nullptr);
        display.info_message("kept");
    });
    EXPECT_EQ(out, "kept\n");
}

TEST(CliDisplay, MessagesGoToTheirStreamsCutAndMutable) {
    CLI_Display display;
    EXPECT_EQ(capture(1, false, [&] { display.message(CLI_Display::LEVEL_INFO, "n=%d", 7); }),
              "n=7\n");
    EXPECT_EQ(capture(2, false, [&] { display.message(CLI_Display::LEVEL_ERROR, "bad %s", "x"); }),
              "bad x\n");
    EXPECT_EQ(capture(1, false,
                      [&] { display.message(static_cast<CLI_Display::Level>(2), "%s", "other"); }),
              "other\n");
    std::string longText(3000, 'y');
    EXPECT_EQ(capture(1, false,
                      [&] { display.message(CLI_Display::LEVEL_INFO, "%s", longText.c_str()); }),
              std::string(2047, 'y') + "\n");

    display.mute_messages(true);
    EXPECT_EQ(capture(2, false, [&] { display.message(CLI_Display::LEVEL_ERROR, "muted"); }), "");
    EXPECT_EQ(capture(2, false, [&] { display.error_message("direct"); }), "direct\n")
        << "muting acts on message alone";
    display.mute_messages(false);
    EXPECT_EQ(capture(2, false, [&] { display.message(CLI_Display::LEVEL_ERROR, "back"); }),
              "back\n");
}

namespace {

// The log's stream as a temporary file; the package mask as each test sets it.
class LogTest : public testing::Test {
  protected:
    void SetUp() override {
        file = tmpfile();
        Log::SetOutput(file);
        Log::package_bitmask = 0;
    }
    void TearDown() override {
        Log::SetOutput(nullptr);
        Log::package_bitmask = 0;
        fclose(file);
    }
    std::string written() {
        fflush(file);
        std::string out;
        rewind(file);
        for (int c; (c = fgetc(file)) != EOF;)
            out.push_back(static_cast<char>(c));
        return out;
    }
    FILE* file = nullptr;
};

} // namespace

TEST_F(LogTest, WritesByPackageAsFormattedWithoutAdditions) {
    Log::log(0, "always %d", 1);
    Log::log(0x20, "[server]");
    Log::package_bitmask = 0x100;
    Log::log(0x20, "[not yet]");
    Log::package_bitmask = 0x30;
    Log::log(0x20, "[now]");
    Log::log(0x110, "[any bit]");
    EXPECT_EQ(written(), "always 1[now][any bit]");
}

TEST_F(LogTest, PackagesSwitchOnAndOffByBits) {
    Log::ActivatePackage(0x30);
    Log::DeactivatePackage(0x20);
    EXPECT_EQ(Log::package_bitmask, 0x10u);
}

TEST_F(LogTest, TracesAreCutAtTheirBufferAndSwitchOffWithTheStream) {
    std::string longText(3000, 'z');
    Log::log(0, "%s", longText.c_str());
    EXPECT_EQ(written(), std::string(2047, 'z'));
    Log::SetOutput(nullptr);
    Log::log(0, "gone");
}

TEST_F(LogTest, TracesFromSeveralThreadsAreNeverSplit) {
    std::vector<std::thread> threads;
    for (char tag : {'a', 'b', 'c', 'd'}) {
        threads.emplace_back([tag] {
            std::string line(200, tag);
            for (int i = 0; i < 200; i++)
                Log::log(0, "%s\n", line.c_str());
        });
    }
    for (auto& t : threads)
        t.join();
    std::string out = written();
    size_t lines = 0;
    for (size_t at = 0; at < out.size(); at += 201, lines++) {
        ASSERT_EQ(out[at + 200], '\n');
        ASSERT_EQ(out.find_first_not_of(out[at], at), at + 200) << "a trace was split";
    }
    EXPECT_EQ(lines, 800u);
}
