// The shared window layout itself: every control inside its parent and none overlapping another,
// the caster grid's columns fitting it, and the log's first line carrying the project's version.
// The Qt and Win32 window tests check their real controls against the same rules.
#include "app/window_layout.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "layout_checks.h"

using namespace kavro;
using namespace kavro::test;
namespace layout = kavro::window_layout;

namespace {

PlacedControl& find(std::vector<PlacedControl>& controls, const std::string& name) {
    for (PlacedControl& c : controls) {
        if (c.name == name) return c;
    }
    throw std::out_of_range(name);
}

}  // namespace

TEST(WindowLayout, EveryControlLiesInsideItsParentAndNoneOverlapsAnother) {
    for (const std::string& fault :
         layout_faults(layout_controls(), layout::kClientWidth, layout::kClientHeight)) {
        ADD_FAILURE() << fault;
    }
}

TEST(WindowLayout, EachControlIsNamedOnceAndLiesOnTheWindowOrAPanel) {
    std::set<std::string> names;
    for (const auto& c : layout::kControls) {
        EXPECT_TRUE(names.insert(c.name).second) << c.name;
        const std::string parent = c.parent;
        EXPECT_TRUE(parent.empty() || is_panel(parent)) << c.name << " lies on " << parent;
    }
    for (const char* panel : layout::kPanels) EXPECT_EQ(names.count(panel), 1u) << panel;
}

TEST(WindowLayout, TheChecksFindAControlOutsideItsParentAndControlsThatOverlap) {
    std::vector<PlacedControl> moved = layout_controls();
    find(moved, "btn_refresh").place.left += 20;  // past the watch panel's right edge
    auto faults = layout_faults(moved, layout::kClientWidth, layout::kClientHeight);
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_NE(faults[0].find("btn_refresh"), std::string::npos) << faults[0];
    EXPECT_NE(faults[0].find("outside"), std::string::npos) << faults[0];

    std::vector<PlacedControl> stacked = layout_controls();
    find(stacked, "btn_watch").place.left = 40;  // onto Cast LFS
    faults = layout_faults(stacked, layout::kClientWidth, layout::kClientHeight);
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_NE(faults[0].find("btn_cast at 0,8 75x25 overlaps btn_watch"), std::string::npos)
        << faults[0];

    // A window too small for its meter: the meter reaches outside it.
    faults = layout_faults(layout_controls(), layout::kClientWidth, layout::kMeter.bottom() - 1);
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_NE(faults[0].find("socket_data"), std::string::npos) << faults[0];

    // Controls on different panels may share a place; only the panels may overlap each other.
    std::vector<PlacedControl> on_log = layout_controls();
    on_log.push_back({"extra", "", layout::kPanel});
    EXPECT_EQ(layout_faults(on_log, layout::kClientWidth, layout::kClientHeight).size(),
              std::size(layout::kPanels));
}

TEST(WindowLayout, TheGridsColumnsFitInsideItsFrame) {
    int total = 0;
    for (const int width : layout::kGridColumnWidths) {
        EXPECT_GT(width, 0);
        total += width;
    }
    // Two pixels of sunken edge on either side.
    EXPECT_LE(total, layout::kCasterGrid.width - 4);
    EXPECT_LT(layout::kGridRowHeight * 2, layout::kCasterGrid.height);
}

TEST(WindowLayout, TheLogOpensWithTheProjectsVersion) {
    const std::string numbers = std::to_string(KAVRO_VERSION_MAJOR) + "." +
                                std::to_string(KAVRO_VERSION_MINOR) + "." +
                                std::to_string(KAVRO_VERSION_PATCH);
    EXPECT_EQ(std::string(KAVRO_VERSION), numbers);
    EXPECT_EQ(std::string(KAVRO_FULL_VERSION), numbers + "." + std::to_string(KAVRO_VERSION_TWEAK));
    EXPECT_EQ(std::string(layout::kLogLines[0]), "KAVRO v. " + numbers);
    // The resource compiler's copy carries its terminating zero inside the literal.
    EXPECT_EQ(sizeof KAVRO_FULL_VERSION_RC, sizeof KAVRO_FULL_VERSION + 1);
}
