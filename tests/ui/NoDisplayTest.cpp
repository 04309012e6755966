// The window program without a display: one line that says so and points
// at --headless, and status 1 (not Qt's plugin text and an abort).
#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestDirs.h"

namespace {

TEST(NoDisplay, OneLineAndStatusOne) {
    lftest::TempDir dir;
    const std::string program = std::string(LF_BINARY_DIR) + "/app/lanternfish";
    const std::string base =
        "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR='" + dir.Path() +
        "' LANTERNFISH_DATA_HOME='" + dir.Path() + "/data' ";
    struct Case {
        const char* name;
        std::string environment;
    } cases[] = {
        {"no display named", ""},
        {"a display nobody serves", "DISPLAY=:97 QT_QPA_PLATFORM=xcb "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = lftest::Capture(base + c.environment + "'" + program +
                                                "' --no-port-mapping 2>&1; echo exit=$?");
        EXPECT_NE(out.find("lanternfish: no display found"), std::string::npos) << out;
        EXPECT_NE(out.find("lanternfish --headless runs the download in this terminal"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("exit=1"), std::string::npos) << out;
        EXPECT_EQ(out.find("platform plugin"), std::string::npos) << out;
    }
}

}  // namespace
