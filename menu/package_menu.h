// The package selection menu: the package files of the installation medium as a list of
// entries, and the full-screen menu in which the user picks the ones to install.
//
// The entries fill three screen columns of `rows` rows, column by column. A medium with more
// than 42 packages is shown in pages of 42 (three columns of 14 rows, the room between the
// header and the information area); the cursor keys move across the pages.
#pragma once

#include "package/record/package_file.h"
#include "startup/console.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace installer {

struct MenuEntry : PackageFile {
    bool selected = false;
};

struct PackageMenu {
    std::vector<std::unique_ptr<MenuEntry>> entries; // in screen order
    int cursor = 0;                                  // the entry under the cursor
    int rows = 0;                                    // rows per screen column
    std::string medium = "/floppy";                  // where the package files are
    std::FILE* out = stdout;                         // where the screen is drawn
    ConsoleState console;                            // the menu's own raw-mode saver
    int shownPage = -1;                              // the page of entries on the screen
    int escape = 0; // how far into an escape sequence the keys are: 0, 1 (ESC), 2 (ESC "[")
};

// What a key leaves the menu in.
enum class MenuOutcome { open, install, cancel };

constexpr int menuFirstRow = 7;
constexpr int menuColumnWidth = 26;
constexpr int menuMaxRows = 14;

// Fills the entries from the ".rpx" files of the medium, sorted by name, with "system", "ppp"
// and "dhcp" moved to the front. False after the message; the entries are then empty.
bool loadMenuPackages(PackageMenu& menu);

// Shows the menu and handles keys until the user installs (true) or cancels (false). Input
// that ends (a console that is gone) cancels.
bool runMenu(PackageMenu& menu);

// The index of the entry of exactly that name, or -1.
int findEntry(const PackageMenu& menu, const std::string& name);

// The space bar on one entry: selects it with what it needs, or deselects it with what needs it.
void toggleEntry(PackageMenu& menu, int index);
// Only "system" selected.
void selectMinimum(PackageMenu& menu);

// Layout: the rows per column for a number of entries, the page an entry is on, its place.
int menuRowsFor(size_t entryCount);
int menuPageOf(const PackageMenu& menu, int index);
int menuPageCount(const PackageMenu& menu);
int menuRowOf(const PackageMenu& menu, int index);
int menuColumnOf(const PackageMenu& menu, int index);

void drawEntry(PackageMenu& menu, int index);
void drawAllEntries(PackageMenu& menu);
void drawInfo(PackageMenu& menu);
// The cursor to another entry: the two entries (or the page) and the information redrawn.
void moveCursorTo(PackageMenu& menu, int index);
void moveUp(PackageMenu& menu);
void moveDown(PackageMenu& menu);

// The screen as runMenu opens it: header, help text, entries (only "system" selected), the
// information area. Sets rows.
void drawMenuScreen(PackageMenu& menu);
// One byte from the keyboard.
MenuOutcome handleMenuKey(PackageMenu& menu, int key);

} // namespace installer
