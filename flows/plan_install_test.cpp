// The install list: only what is marked, everything after what it needs.
#include "flows/plan_install.h"
#include "testbed/support/menu_packages.h"

#include <gtest/gtest.h>

using namespace installer;

using menutest::entry;

TEST(PlanInstall, MarkedEntriesOnlyEachAfterWhatItNeeds) {
    std::vector<std::unique_ptr<installer::MenuEntry>> entries;
    entries.push_back(entry("routing", {"ppp"}));
    entries.push_back(entry("dhcp", {"system"}));
    entries.push_back(entry("ppp", {"system"}));
    entries.push_back(entry("system"));
    entries.push_back(entry("extra", {"system"}));
    for (int i : {0, 1, 2, 3})
        entries[size_t(i)]->selected = true;
    std::vector<installer::MenuEntry*> list = planInstall(entries);
    std::vector<std::string> order;
    for (installer::MenuEntry* e : list)
        order.push_back(e->name);
    ASSERT_EQ(order.size(), 4u);
    auto at = [&](const std::string& name) { return std::find(order.begin(), order.end(), name); };
    EXPECT_EQ(order.front(), "system");
    EXPECT_LT(at("ppp"), at("routing"));
    EXPECT_NE(at("dhcp"), order.end());
    EXPECT_EQ(at("extra"), order.end());
    EXPECT_EQ(list[0], entries[3].get()) << "the entries themselves, with their paths";
    EXPECT_TRUE(planInstall({}).empty());
}
