#include <gtest/gtest.h>

#include "ConsoleLog.h"

namespace {

class ConsoleLogTest : public ::testing::Test {
protected:
    void TearDown() override { verboseOutput = false; }
};

TEST_F(ConsoleLogTest, EachLevelHasItsLetter) {
    EXPECT_EQ(formatLogLine(QtWarningMsg, 0, "w"), "[W][0] w");
    EXPECT_EQ(formatLogLine(QtCriticalMsg, 0, "c"), "[!][0] c");
    EXPECT_EQ(formatLogLine(QtFatalMsg, 0, "f"), "[X][0] f");
    EXPECT_EQ(formatLogLine(QtInfoMsg, 0, "i"), "[I][0] i");
    verboseOutput = true;
    EXPECT_EQ(formatLogLine(QtDebugMsg, 0, "d"), "[D][0] d");
}

TEST_F(ConsoleLogTest, DebugLinesNeedVerbose) {
    EXPECT_TRUE(formatLogLine(QtDebugMsg, 5, "hidden").isNull());
    EXPECT_FALSE(formatLogLine(QtInfoMsg, 5, "shown").isNull());
}

TEST_F(ConsoleLogTest, TimeIsSecondsInShortestForm) {
    EXPECT_EQ(formatLogLine(QtInfoMsg, 0, "x"), "[I][0] x");
    EXPECT_EQ(formatLogLine(QtInfoMsg, 1234, "x"), "[I][1.234] x");
    EXPECT_EQ(formatLogLine(QtInfoMsg, 20000, "x"), "[I][20] x");
    EXPECT_EQ(formatLogLine(QtInfoMsg, 1234567, "x"), "[I][1234.57] x");
    EXPECT_EQ(formatLogLine(QtInfoMsg, 1000000000, "x"), "[I][1e+06] x");
}

TEST_F(ConsoleLogTest, MessageTextIsNeverExpanded) {
    EXPECT_EQ(formatLogLine(QtInfoMsg, 0, "100%1 %2 %3 done"), "[I][0] 100%1 %2 %3 done");
}

TEST_F(ConsoleLogTest, OnlyTheFirstLineOfAMessageIsPrefixed) {
    EXPECT_EQ(formatLogLine(QtInfoMsg, 1500, "File already exists, overwriting\n \"a.json\""),
              "[I][1.5] File already exists, overwriting\n \"a.json\"");
}

TEST_F(ConsoleLogTest, UnknownTypeHasNoPrefix) {
    EXPECT_EQ(formatLogLine(static_cast<QtMsgType>(7), 0, "x"), "Unexpected message type: 7.");
}

}  // namespace
