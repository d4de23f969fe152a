// The keys of the menu, and the menu's run on the console.
#include "menu/package_menu.h"

#include <cctype>

namespace installer {

namespace {

constexpr int escapeKey = 0x1b;
constexpr int parkingRow = 25;

void arrow(PackageMenu& menu, int key) {
    int count = int(menu.entries.size());
    switch (key) {
    case 'A':
        moveUp(menu);
        break;
    case 'B':
        moveDown(menu);
        break;
    case 'C':
        if (menu.cursor + menu.rows < count)
            moveCursorTo(menu, menu.cursor + menu.rows);
        break;
    case 'D':
        if (menu.cursor >= menu.rows)
            moveCursorTo(menu, menu.cursor - menu.rows);
        break;
    default:
        break;
    }
}

} // namespace

MenuOutcome handleMenuKey(PackageMenu& menu, int key) {
    if (menu.escape == 2) {
        menu.escape = 0;
        arrow(menu, key);
        return MenuOutcome::open;
    }
    if (menu.escape == 1) {
        menu.escape = 0;
        if (key == '[') {
            menu.escape = 2;
            return MenuOutcome::open;
        }
    }
    if (key == escapeKey) {
        menu.escape = 1;
        return MenuOutcome::open;
    }
    switch (std::tolower(key)) {
    case 'p':
        moveUp(menu);
        break;
    case 'n':
        moveDown(menu);
        break;
    case 'a':
        for (auto& entry : menu.entries)
            entry->selected = true;
        drawAllEntries(menu);
        break;
    case 'm':
        selectMinimum(menu);
        break;
    case ' ':
        toggleEntry(menu, menu.cursor);
        drawAllEntries(menu);
        break;
    case 'i':
        return MenuOutcome::install;
    case 'q':
        return MenuOutcome::cancel;
    default:
        break;
    }
    return MenuOutcome::open;
}

bool runMenu(PackageMenu& menu) {
    enterRawMode(menu.console);
    drawMenuScreen(menu);
    MenuOutcome outcome = MenuOutcome::open;
    while (outcome == MenuOutcome::open) {
        std::fflush(menu.out);
        int key = readConsoleKey();
        // No console any more: nobody can choose, and no answer is not "install".
        outcome = key < 0 ? MenuOutcome::cancel : handleMenuKey(menu, key);
    }
    std::fprintf(menu.out, "\x1b[%d;%dH", parkingRow, 0);
    std::fflush(menu.out);
    leaveRawMode(menu.console);
    return outcome == MenuOutcome::install;
}

} // namespace installer
