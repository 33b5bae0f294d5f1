#include <gtest/gtest.h>

#include "UpdateRecovery.h"

namespace {

using unitflash::Stage;

// Each stage an update may stop at gets the commands that finish it: a unit in its boot loader
// with its old firmware resumes it, one whose flash may be incomplete is programmed again, and
// the kept settings follow wherever the unit lost them.
TEST(Recovery, EachStageGetsTheCommandsThatFinishTheUpdate) {
    const QStringList resume{"--resume"};
    const QStringList reflash{"--discard-settings", "fw.dfu"};
    const struct {
        Stage stage;
        QList<QStringList> steps;
        bool importSettings;
    } cases[] = {
        {Stage::kUntouched, {}, false},
        {Stage::kTriggered, {resume}, true},
        {Stage::kFlashChanging, {reflash}, true},
        {Stage::kReadProtected, {resume}, true},
        {Stage::kFlashWritten, {resume}, true},
        {Stage::kLeftUnchanged, {}, false},
        {Stage::kLeftProgrammed, {reflash}, true},
        {Stage::kCameBack, {}, true},
        {Stage::kNotBack, {reflash}, true},
    };
    for (const auto& c : cases) {
        const unitflash::Recovery recovery = unitflash::recoveryFor(c.stage, "fw.dfu");
        EXPECT_EQ(recovery.steps, c.steps) << int(c.stage);
        EXPECT_EQ(recovery.importSettings, c.importSettings) << int(c.stage);
        EXPECT_FALSE(recovery.state.isEmpty());
    }
}

}  // namespace
