// The menu in-process: wrapping and attributes byte for byte, what a medium offers and in which
// order, what the keys do to the cursor and the selection, what each key redraws, and a whole
// run on scripted console keys.
#include "menu/package_menu.h"
#include "menu/screen_text.h"
#include "testbed/recording_system.h"
#include "testbed/support/menu_packages.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace installer;
using menutest::entry;
using menutest::MemoryScreen;

namespace {

const char* const helpText =
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. Select all with "
    "'a', minimum with 'm'. Press 'i' to install locally or 'q' to cancel and reboot.";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        result.push_back(line);
    return result;
}

std::string wrapped(const std::string& text, int maxLines = 0) {
    MemoryScreen screen;
    wrapText(text, screen.stream, maxLines);
    return screen.take();
}

std::vector<std::string> names(const PackageMenu& menu) {
    std::vector<std::string> result;
    for (const auto& e : menu.entries)
        result.push_back(e->name);
    return result;
}

std::string selection(const PackageMenu& menu) {
    std::string marks;
    for (const auto& e : menu.entries)
        marks += e->selected ? 'X' : '.';
    return marks;
}

// A menu of these entries drawn into memory, as runMenu shows it before the first key.
struct Menu {
    explicit Menu(std::vector<std::unique_ptr<MenuEntry>> entries) {
        menu.entries = std::move(entries);
        menu.out = screen.stream;
        drawMenuScreen(menu);
        screen.take();
    }
    Menu& keys(const std::string& typed) {
        for (unsigned char key : typed)
            last = handleMenuKey(menu, key);
        return *this;
    }
    MemoryScreen screen;
    PackageMenu menu;
    MenuOutcome last = MenuOutcome::open;
};

// Row and column where the entry is drawn.
std::pair<int, int> place(const PackageMenu& menu, int entry) {
    return {menuRowOf(menu, entry), menuColumnOf(menu, entry)};
}

std::vector<std::unique_ptr<MenuEntry>> numbered(int count) {
    std::vector<std::unique_ptr<MenuEntry>> entries;
    entries.push_back(entry("system"));
    for (int i = 1; i < count; ++i)
        entries.push_back(entry("pkg" + std::to_string(100 + i)));
    return entries;
}

} // namespace

TEST(ScreenText, HelpTextWrapsIntoLinesOf74And78And19CharactersWithTheirBlanks) {
    std::vector<std::string> printed = lines(wrapped(helpText));
    ASSERT_EQ(printed.size(), 3u);
    EXPECT_EQ(printed[0],
              "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. ");
    EXPECT_EQ(printed[0].size(), 74u);
    EXPECT_EQ(printed[1].size(), 78u);
    EXPECT_EQ(printed[1].substr(printed[1].size() - 7), "'q' to ");
    EXPECT_EQ(printed[2], "cancel and reboot. ");
    // A line feed separates words without ending the line; an empty text is one empty line.
    EXPECT_EQ(wrapped("one\ntwo  three"), "one two three \n");
    EXPECT_EQ(wrapped(""), "\n");
}

TEST(ScreenText, AWordLongerThanALineGoesOnInWholeLinesAndNothingOfItIsLost) {
    std::string word;
    for (int i = 0; i < 300; ++i)
        word += char('a' + i % 26);
    std::vector<std::string> printed = lines(wrapped("start " + word + " end"));
    std::string joined;
    for (const std::string& line : printed) {
        EXPECT_LE(line.size(), 78u) << line;
        joined += line;
    }
    std::string expected = "start " + word + " end ";
    // Only the blanks at the breaks differ from the text as given.
    std::erase(joined, ' ');
    std::erase(expected, ' ');
    EXPECT_EQ(joined, expected);
    EXPECT_EQ(printed.front(), "start ");
    // Limited to an area, the lines beyond it are not printed.
    EXPECT_EQ(lines(wrapped("start " + word, 2)).size(), 2u);
}

TEST(ScreenText, AttributesPrintLinesAndHostileBytes) {
    MemoryScreen screen;
    setTextAttributes(underline | reverseVideo | blinking | bold, screen.stream);
    EXPECT_EQ(screen.take(), "\x1b[m\x1b[4m\x1b[7m\x1b[5m\x1b[1m");
    setTextAttributes(0, screen.stream);
    EXPECT_EQ(screen.take(), "\x1b[m");
    printLine("Welcome to Kestrova Router Software installation", 48, true, screen.stream);
    EXPECT_EQ(screen.take(),
              std::string(16, ' ') + "Welcome to Kestrova Router Software installation\n");
    printLine("", 0, true, screen.stream);
    EXPECT_EQ(screen.take(), std::string(40, ' ') + "\n");
    // Escape sequences, controls and bytes above ASCII from a package are shown, not obeyed.
    EXPECT_EQ(wrapped("a\x1b[2Jb\x07\x9b"
                      "c\r\td"),
              "a?[2Jb??c??d \n");
    EXPECT_EQ(screenSafe(std::string("x\0y\x7f", 4)), "x?y?");
}

class MenuMedium : public testing::Test {
protected:
    void add(const std::string& file, const std::string& name,
             const std::vector<std::string>& depends = {}) {
        writeFile(folder / file, menutest::packageBytes(name, depends));
    }
    // What loading the medium printed, then "[loaded]" when it loaded.
    std::string load(const std::string& medium = "") {
        menu.medium = medium.empty() ? folder.path : medium;
        testing::internal::CaptureStdout();
        bool loaded = loadMenuPackages(menu);
        return testing::internal::GetCapturedStdout() + (loaded ? "[loaded]" : "");
    }
    ScratchFolder folder{"menu-medium"};
    PackageMenu menu;
};

TEST_F(MenuMedium, LeadingPackagesComeFirstAndOnlyLowerCaseRpxFilesOfFourCharactersAreOffered) {
    add("r.rpx", "routing", {"system"});
    add("d.rpx", "dhcp");
    add("p.rpx", "ppp", {"system"});
    add("s.rpx", "system");
    add("a.rpx", "apps");
    add("LOUD.RPX", "loud");
    add("Mixed.Rpx", "mixed");
    writeFile(folder / "rpx", "not a package");
    writeFile(folder / "notes.txt", "not a package");
    ASSERT_EQ(load(), "[loaded]");
    EXPECT_EQ(names(menu), (std::vector<std::string>{"system", "ppp", "dhcp", "apps", "routing"}));
    EXPECT_EQ(menu.entries[0]->path, folder.path + "/s.rpx");
    EXPECT_EQ(menu.entries[4]->depends.at(0).name, "system");

    unlink((folder / "p.rpx").c_str());
    ASSERT_EQ(load(), "[loaded]");
    // Without ppp, dhcp still takes the third place.
    EXPECT_EQ(names(menu), (std::vector<std::string>{"system", "apps", "dhcp", "routing"}));
}

TEST_F(MenuMedium, ABadPackageOrNoPackageStopsLoadingWithItsMessageAndLeavesNoEntries) {
    add("s.rpx", "system");
    // A dependency list that ends early: the header named the package already.
    using namespace installer;
    writeFile(folder / "r.rpx",
              packageFileBytes(partBytes(partHeader, headerBodyBytes({"routing", 0x02090000, 1})) +
                               partBytes(partDepends, std::string("\x05\x05", 2))));
    EXPECT_EQ(load(), "FATAL ERROR: Bad package routing-2.9\n\n");
    EXPECT_TRUE(menu.entries.empty());

    // A file cut short does not even give a name: it is named by its file.
    std::string good = menutest::packageBytes("routing", {"system"});
    writeFile(folder / "r.rpx", good.substr(0, good.size() - 5));
    EXPECT_EQ(load(), "FATAL ERROR: Bad package r.rpx\n\n");

    // A file that gives no name at all is named by its file; its bytes are not obeyed.
    unlink((folder / "r.rpx").c_str());
    writeFile(folder / "\x1b[2J.rpx", "garbage");
    EXPECT_EQ(load(), "FATAL ERROR: Bad package ?[2J.rpx\n\n");
    EXPECT_TRUE(menu.entries.empty());

    ScratchFolder empty{"menu-empty"};
    EXPECT_EQ(load(empty.path), "FATAL ERROR: No packages found\n");
    EXPECT_EQ(load(empty / "missing"), "FATAL ERROR: No packages found\n");
}

TEST(MenuSelection, DependenciesComeAlongAndGoInOnePass) {
    std::vector<std::unique_ptr<MenuEntry>> entries;
    entries.push_back(entry("system"));
    entries.push_back(entry("ppp", {"system"}));
    entries.push_back(entry("pppoe", {"ppp"}));
    entries.push_back(entry("vpn", {"pppoe", "missing"}));
    entries.push_back(entry("loopa", {"loopb"}));
    entries.push_back(entry("loopb", {"loopa"}));
    Menu m(std::move(entries));
    PackageMenu& menu = m.menu;
    EXPECT_EQ(selection(menu), "X.....");
    menu.entries[0]->selected = false;
    for (auto [entry, selected, why] :
         {std::tuple{1, "XX....", "selecting ppp selects system"},
          {0, "XX....", "system cannot be deselected"},
          {3, "XXXX..", "a dependency not on the medium is passed over"},
          {1, "X..X..", "pppoe needs ppp: it goes; vpn needs only pppoe and stays"},
          {4, "X..XXX", "a dependency cycle ends"},
          {5, "X..X..", "and goes in one pass"}}) {
        toggleEntry(menu, entry);
        EXPECT_EQ(selection(menu), selected) << why;
    }

    m.keys("a");
    EXPECT_EQ(selection(menu), "XXXXXX");
    std::string drawn = m.screen.take();
    EXPECT_NE(drawn.find("\x1b[8;52H  [X] loopb "), std::string::npos) << drawn;
    m.keys("M");
    EXPECT_EQ(selection(menu), "X.....");
    m.keys(" ");
    EXPECT_EQ(selection(menu), "X.....") << "space on system changes nothing";
    m.keys("n ");
    EXPECT_EQ(selection(menu), "XX....");
}

TEST(MenuKeys, FourEntriesInTwoRowsAndArrowsThatStopAtTheEdges) {
    Menu m(numbered(4));
    PackageMenu& menu = m.menu;
    EXPECT_EQ(menu.rows, 2);
    EXPECT_EQ(place(menu, 1), std::pair(8, 0));
    EXPECT_EQ(place(menu, 2), std::pair(7, 26));
    EXPECT_EQ(place(menu, 3), std::pair(8, 26));

    // At the edges nothing moves and nothing is drawn.
    m.keys("\x1b[DpP\x1b[A");
    EXPECT_EQ(menu.cursor, 0);
    EXPECT_EQ(m.screen.take(), "");
    m.keys("\x1b[C");
    EXPECT_EQ(menu.cursor, 2);
    std::string drawn = m.screen.take();
    EXPECT_EQ(drawn.substr(0, drawn.find("\x1b[21;0H")),
              "\x1b[7;0H  [X] system \x1b[7;26H \x1b[m\x1b[7m [ ] pkg102 \x1b[m");
    EXPECT_NE(drawn.find("\x1b[21;0Hpkg102 (depends on nothing):\n"), std::string::npos);
    // ESC then another byte: that byte is a key; ESC "[" then another byte: nothing.
    for (auto [keys, cursor] : {std::pair{"\x1b[CnN\x1b[B", 3},
                                {"\x1b[C", 3},
                                {"\x1b[D\x1b[D", 1},
                                {"\x1bp", 0},
                                {"\x1b[Zn", 1},
                                {"\x1b\x1b[B", 2}}) {
        m.keys(keys);
        EXPECT_EQ(menu.cursor, cursor) << testing::PrintToString(keys);
    }
    m.keys("x7\t");
    EXPECT_EQ(m.last, MenuOutcome::open);
    m.keys("I");
    EXPECT_EQ(m.last, MenuOutcome::install);
    m.keys("Q");
    EXPECT_EQ(m.last, MenuOutcome::cancel);
}

// The menu's run on scripted console keys: it draws, takes keys until one decides, and parks
// the cursor below the screen; a console that ends without a decision cancels.
TEST(MenuKeys, ARunEndsOnInstallOnCancelOrWhenTheConsoleIsGone) {
    struct Case {
        std::string keys;
        bool install;
        std::string selected;
        std::string unread;
    };
    const Case cases[] = {
        {"n i", true, "XX..", ""},
        {"n iq", true, "XX..", "q"},
        {"a\x1b[Bq", false, "XXXX", ""},
        {"n ", false, "XX..", ""},
    };
    for (const Case& c : cases) {
        RecordingSystem system;
        system.keys = c.keys;
        MemoryScreen screen;
        PackageMenu menu;
        menu.entries = numbered(4);
        menu.out = screen.stream;
        testing::internal::CaptureStdout(); // leaving raw mode shows the cursor there
        bool install = runMenu(menu);
        testing::internal::GetCapturedStdout();
        std::string drawn = screen.take();
        EXPECT_EQ(install, c.install) << c.keys;
        EXPECT_EQ(selection(menu), c.selected) << c.keys;
        EXPECT_EQ(drawn.substr(0, 7), "\x1b[2J\x1b[H") << c.keys;
        EXPECT_EQ(drawn.substr(drawn.size() - 7), "\x1b[25;0H") << c.keys;
        std::string unread;
        for (int key; (key = system.readKey()) >= 0;)
            unread += char(key);
        EXPECT_EQ(unread, c.unread) << "keys after the decision stay unread";
    }
}

TEST(MenuKeys, FortyTwoEntriesFillTheScreenAndMoreGoOnFurtherPages) {
    Menu full(numbered(42));
    EXPECT_EQ(full.menu.rows, 14);
    EXPECT_EQ(place(full.menu, 41), std::pair(20, 52));
    full.keys("\x1b[C\x1b[C\x1b[C");
    EXPECT_EQ(full.menu.cursor, 28);
    EXPECT_EQ(full.screen.take().find("Page"), std::string::npos);

    Menu paged(numbered(45));
    PackageMenu& menu = paged.menu;
    EXPECT_EQ(menu.rows, 14);
    EXPECT_EQ(menuPageCount(menu), 2);
    EXPECT_EQ(place(menu, 44), std::pair(9, 0));
    paged.keys("\x1b[C\x1b[C");
    paged.screen.take();
    paged.keys("\x1b[C");
    EXPECT_EQ(menu.cursor, 42);
    std::string drawn = paged.screen.take();
    EXPECT_NE(drawn.find("Page 2 of 2"), std::string::npos);
    // The new page only: its three entries, no entry of the first page, nothing below row 20.
    EXPECT_NE(drawn.find("\x1b[9;0H  [ ] pkg144 "), std::string::npos) << drawn;
    EXPECT_EQ(drawn.find("pkg141"), std::string::npos);
    EXPECT_EQ(drawn.find("\x1b[10;0H "), std::string::npos);
    paged.keys("\x1b[C");
    EXPECT_EQ(menu.cursor, 42);
    paged.keys("p");
    EXPECT_EQ(menu.cursor, 41);
    EXPECT_NE(paged.screen.take().find("Page 1 of 2"), std::string::npos);
}

TEST(MenuInfo, TheInformationLineAndALongDescriptionStayInsideTheirThreeRows) {
    std::vector<std::unique_ptr<MenuEntry>> entries;
    entries.push_back(entry("system", {}, "The base system."));
    entries.push_back(entry("ppp", {"system"}, std::string(400, 'w')));
    entries.push_back(entry("v\x1b]0;x\x07", {"system", "ppp", std::string(90, 'd')}));
    Menu m(std::move(entries));
    m.keys("n");
    std::string drawn = m.screen.take();
    std::string info = drawn.substr(drawn.find("\x1b[21;0H\x1b[2K\x1b[22;0H"));
    EXPECT_EQ(info.rfind("\x1b[21;0H\x1b[2K\x1b[22;0H\x1b[2K\x1b[23;0H\x1b[2K\x1b[21;0H"
                         "ppp (depends on system):\n",
                         0),
              0u);
    EXPECT_EQ(lines(info).size(), 3u) << "the info line and two rows of description";
    m.keys("n");
    drawn = m.screen.take();
    EXPECT_EQ(drawn.find('\x07'), std::string::npos);
    EXPECT_EQ(drawn.find("\x1b]"), std::string::npos);
    EXPECT_NE(drawn.find("v?]0;x? (depends on system, ppp, ddd"), std::string::npos) << drawn;
    EXPECT_NE(drawn.find("ddd...\n"), std::string::npos);
}
