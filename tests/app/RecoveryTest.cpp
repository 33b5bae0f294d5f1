#include <gtest/gtest.h>

#include <tuple>

#include "UpdateRecovery.h"

namespace {

using unitflash::Stage;

// Each stage an update may stop at gets the commands that finish it: a unit in its boot loader
// with its old firmware resumes it, one whose flash may be incomplete is programmed again, and
// the kept settings follow wherever the unit lost them.
TEST(Recovery, EachStageGetsTheCommandsThatFinishTheUpdate) {
    const QList<QStringList> none, resume{{"--resume"}}, reflash{{"--discard-settings", "fw.dfu"}};
    const std::tuple<Stage, QList<QStringList>, bool> cases[] = {
        {Stage::kUntouched, none, false},        {Stage::kTriggered, resume, true},
        {Stage::kFlashChanging, reflash, true},  {Stage::kReadProtected, resume, true},
        {Stage::kFlashWritten, resume, true},    {Stage::kLeftUnchanged, none, false},
        {Stage::kLeftProgrammed, reflash, true}, {Stage::kCameBack, none, true},
        {Stage::kNotBack, reflash, true},
    };
    for (const auto& [stage, steps, importSettings] : cases) {
        const unitflash::Recovery recovery = unitflash::recoveryFor(stage, "fw.dfu");
        EXPECT_EQ(recovery.steps, steps) << int(stage);
        EXPECT_EQ(recovery.importSettings, importSettings) << int(stage);
    }
}

}  // namespace
