#include "package/record_relations.h"

#include "package/version.h"

#include <gtest/gtest.h>

using namespace installer;

namespace {

const uint32_t v1 = makeVersion(1, 0, 'f', 0);
const uint32_t v2 = makeVersion(2, 0, 'f', 0);
const uint32_t v3 = makeVersion(3, 0, 'f', 0);

std::unique_ptr<Package> package(const std::string& name, uint32_t version = v1) {
    auto p = std::make_unique<Package>();
    p->name = name;
    p->version = version;
    return p;
}

Requirement need(const std::string& name, uint32_t min = 0, uint32_t max = 0, int32_t prio = 0) {
    return {name, min, max, prio};
}

} // namespace

TEST(Relations, DependencyIsMetByNameAndVersionRangeOrByWhatIsProvided) {
    auto app = package("app");
    app->depends = {need("lib", v2)};
    auto oldLib = package("lib", v1);
    auto newLib = package("lib", v3);
    EXPECT_FALSE(dependsOn(*app, *oldLib)) << "below the minimum";
    EXPECT_TRUE(dependsOn(*app, *newLib));

    auto replacement = package("otherlib");
    replacement->provides = {need("lib", v2, v3)};
    EXPECT_TRUE(dependsOn(*app, *replacement));
    replacement->provides = {need("lib", 0, v1)};
    EXPECT_FALSE(dependsOn(*app, *replacement)) << "provided range ends below what is needed";
}

TEST(Relations, DependenciesReachIntoBundlesOnBothSides) {
    auto app = package("app");
    app->depends = {need("lib")};
    auto bundle = package("suite");
    bundle->isBundle = true;
    bundle->members.push_back(package("lib"));
    EXPECT_TRUE(dependsOn(*app, *bundle)) << "a bundle serves what its member serves";

    auto needingBundle = package("suite2");
    needingBundle->members.push_back(std::move(app));
    EXPECT_TRUE(dependsOn(*needingBundle, *package("lib")));
    EXPECT_FALSE(dependsOn(*needingBundle, *package("unrelated")));
}

TEST(Relations, ExplicitConflictDecidesBeforeProvidedNames) {
    // Rule 1 wins although rule 2 would say no (Q provides P's name with priority >= 0).
    auto p = package("p");
    p->conflicts = {need("q")};
    auto q = package("q");
    q->provides = {need("p", 0, 0, 5)};
    EXPECT_TRUE(conflictsWith(*p, *q));
    p->conflicts = {need("q", v2)};
    EXPECT_FALSE(conflictsWith(*p, *q)) << "q's version is outside the excluded range";
}

TEST(Relations, ProvidingTheOtherPackagesNameExcludesItUnlessThePriorityIsNegative) {
    auto provider = package("mailer");
    auto original = package("sendmail");
    provider->provides = {need("sendmail", 0, 0, 0)};
    EXPECT_TRUE(conflictsWith(*provider, *original)) << "rule 3: priority >= 0";
    EXPECT_FALSE(conflictsWith(*original, *provider)) << "rule 2: priority not negative";

    provider->provides = {need("sendmail", 0, 0, -1)};
    EXPECT_FALSE(conflictsWith(*provider, *original));
    EXPECT_TRUE(conflictsWith(*original, *provider)) << "negative: the named package wins";
}

TEST(Relations, TwoProvidersOfOneNameConflictTowardsTheHigherPriority) {
    auto a = package("a");
    auto b = package("b");
    a->provides = {need("httpd", 0, 0, 10)};
    b->provides = {need("httpd", 0, 0, 5)};
    EXPECT_TRUE(conflictsWith(*a, *b));
    EXPECT_FALSE(conflictsWith(*b, *a));
    b->provides[0].priority = 10;
    EXPECT_FALSE(conflictsWith(*a, *b)) << "equal priorities live side by side";
    EXPECT_FALSE(conflictsWith(*b, *a));
}

TEST(Relations, FirstMatchingProvidedEntryDecidesEvenWhenItSaysNo) {
    // P's first provided entry meets Q's provides with a lower priority: rule 3 answers false
    // at once, and rule 4 (Q provides what P's conflicts exclude) is never consulted.
    auto p = package("p");
    p->provides = {need("shared", 0, 0, 1)};
    p->conflicts = {need("thing")};
    auto q = package("q");
    q->provides = {need("shared", 0, 0, 7), need("thing")};
    EXPECT_FALSE(conflictsWith(*p, *q));
    p->provides.clear();
    EXPECT_TRUE(conflictsWith(*p, *q)) << "rule 4 once rule 3 no longer applies";
}

TEST(Relations, BundlesConflictWithTheirMembersNamesAndThroughTheirMembers) {
    auto standalone = package("tool");
    auto bundle = package("suite");
    bundle->members.push_back(package("tool", v2));
    EXPECT_TRUE(conflictsWith(*standalone, *bundle)) << "rule 5: the bundle contains my name";

    auto excluder = package("guard");
    excluder->conflicts = {need("victim")};
    auto carrier = package("carrier");
    carrier->members.push_back(std::move(excluder));
    EXPECT_TRUE(conflictsWith(*carrier, *package("victim"))) << "rule 6";
    EXPECT_FALSE(conflictsWith(*carrier, *package("bystander"))) << "rule 7";
}

TEST(Relations, IsOrContainsLooksAtTheNameAndTheMembers) {
    auto bundle = package("suite");
    bundle->members.push_back(package("tool"));
    EXPECT_TRUE(isOrContains(*bundle, "suite"));
    EXPECT_TRUE(isOrContains(*bundle, "tool"));
    EXPECT_FALSE(isOrContains(*bundle, "too"));
    EXPECT_TRUE(providesFor(*package("x"), need("x")) == false) << "no provides, no match";
}
