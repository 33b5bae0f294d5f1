#include <gtest/gtest.h>

#include "usb/PortPath.h"

namespace {

// A port path, with or without its bus, or nothing at all: a typo never widens a choice.
TEST(PortPath, ParsingAndPrinting) {
    const std::pair<const char*, const char*> cases[] = {
        {"4.2", "4.2"},
        {"2-1.4", "2-1.4"},
        {"1.2.3.4.5.6.7", "1.2.3.4.5.6.7"},
        {"255-255", "255-255"},
        {"1.260", ""},
        {"1.516", ""},
        {"1.-252", ""},
        {"1.4x", ""},
        {" 4.2", ""},
        {"4..2", ""},
        {"0.1", ""},
        {"0-1", ""},
        {"1-2-3", ""},
        {"-1", ""},
        {"1.2.3.4.5.6.7.8", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        const std::optional<usb::PortPath> path = usb::PortPath::parse(c.first);
        EXPECT_EQ(path ? path->textWithBus() : "", c.second) << '"' << c.first << '"';
    }
    const usb::PortPath any{};
    const usb::PortPath hub{0, {1}};
    const usb::PortPath unit{2, {1, 4}};
    EXPECT_TRUE(any.covers(unit) && hub.covers(unit) && unit.covers(unit));
    EXPECT_FALSE(usb::PortPath({1, {1, 4}}).covers(unit) ||
                 usb::PortPath({0, {1, 4, 1}}).covers(unit));
}

}  // namespace
