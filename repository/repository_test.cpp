// The installed set: loading the database and the queries over it (in a sandbox).
#include "repository/repository.h"

#include "testbed/support/private_root.h"
#include "testbed/support/repository_console.h"

using namespace installer;

TEST(Repository, LoadsEveryRecordAndAnswersQueriesInOrder) {
    sandbox::run([] {
        for (std::string name : {"base", "mailer", "extra", ".hidden"}) {
            makeDirectories("/flash/var/pdb/" + name);
            writeFile("/flash/var/pdb/" + name + "/version", "16803328 5\n"); // 1.0
            writeFile("/flash/var/pdb/" + name + "/files", "bin/" + name + "\n");
        }
        writeFile("/flash/var/pdb/mailer/provides", "sendmail 0 0 0\n");
        writeFile("/flash/var/pdb/extra/disabled", "auto\n");
        writeFile("/flash/var/pdb/extra/conflicts", "base 0 0\n");
        writeFile("/flash/var/pdb/base/deps", "broken\n");
        Repository repository;
        testconsole::CapturedConsole console(repository);
        repository.loadDatabase(false);
        EXPECT_EQ(console.text(), "");
        ASSERT_EQ(repository.packages.size(), 3u) << "entries beginning with . are skipped";
        EXPECT_EQ(repository.find("base")->scheduled, scheduleUninstall) << "damaged record";
        EXPECT_EQ(repository.find("bas"), nullptr);
        EXPECT_EQ(repository.ownerOf("/bin/mailer"), "mailer");
        EXPECT_EQ(repository.ownerOf("bin/mailer"), "") << "compared exactly as stored";

        Requirement sendmail{"sendmail", 0, 0, 0}, extra{"extra", 0, 0, 0};
        ASSERT_EQ(repository.candidates(sendmail, false).size(), 1u);
        EXPECT_EQ(repository.candidates(sendmail, false)[0]->name, "mailer");
        EXPECT_TRUE(repository.candidates(extra, false).empty());
        EXPECT_EQ(repository.candidates(extra, true).size(), 1u);

        Package base;
        base.name = "base";
        EXPECT_EQ(repository.findConflicting(base), nullptr) << "a disabled record excludes none";
        repository.find("extra")->disabled = false;
        EXPECT_EQ(repository.findConflicting(base), repository.find("extra"));

        makeDirectories("/flash/bin");
        writeFile("/flash/bin/mailer", "x");
        repository.removeByName("mailer");
        EXPECT_EQ(repository.findIndex("mailer"), -1);
        EXPECT_EQ(repository.packages.size(), 2u);
        EXPECT_FALSE(exists("/flash/bin/mailer") || exists("/flash/var/pdb/mailer"));

        Repository empty;
        testconsole::CapturedConsole missing(empty);
        ASSERT_EQ(std::system("rm -rf /flash/var"), 0);
        empty.loadDatabase(false);
        EXPECT_EQ(missing.text(), "WARNING: could not open repo\n");
    });
}
