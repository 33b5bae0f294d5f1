#include <gtest/gtest.h>

#include "ConsoleLog.h"

namespace {

// Level letter, seconds in their shortest form, the text as given (never expanded, only its first
// line prefixed).
TEST(ConsoleLog, FormatsLevelTimeAndText) {
    const struct {
        QtMsgType type;
        qint64 ms;
        const char* text;
        const char* expected;
    } cases[] = {
        {QtWarningMsg, 0, "w", "[W][0] w"},
        {QtCriticalMsg, 1234, "c", "[!][1.234] c"},
        {QtFatalMsg, 20000, "f", "[X][20] f"},
        {QtInfoMsg, 1234567, "i", "[I][1234.57] i"},
        {QtDebugMsg, 1000000000, "d", "[D][1e+06] d"},
        {QtInfoMsg, 0, "100%1 %2 %3 done", "[I][0] 100%1 %2 %3 done"},
        {QtInfoMsg, 1500, "File already exists, overwriting\n \"a.json\"",
         "[I][1.5] File already exists, overwriting\n \"a.json\""},
        {static_cast<QtMsgType>(7), 0, "x", "Unexpected message type: 7."},
    };
    unitflash::verboseOutput = true;
    for (const auto& c : cases)
        EXPECT_EQ(unitflash::formatLogLine(c.type, c.ms, c.text), c.expected);
    unitflash::verboseOutput = false;
    EXPECT_TRUE(unitflash::formatLogLine(QtDebugMsg, 5, "hidden").isNull());
    EXPECT_EQ(unitflash::formatLogLine(QtInfoMsg, 5, "shown"), "[I][0.005] shown");
}

}  // namespace
