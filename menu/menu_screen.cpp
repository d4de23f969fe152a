// Drawing the menu: the entries in three screen columns, the information area below them.
#include "menu/package_menu.h"
#include "menu/screen_text.h"

#include <algorithm>
#include <cstring>

namespace installer {

namespace {

constexpr int infoRow = 21;
constexpr int infoRows = 3;
constexpr size_t infoWidth = 80;
// A name is at most 16 bytes in a package header; anything longer would run into the next
// screen column (26 characters: a blank, " [X] ", the name, a blank).
constexpr size_t nameWidth = menuColumnWidth - 7;
const char* const welcomeText = "Welcome to Kestrova Router Software installation\n";
const char* const helpText =
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. Select all with "
    "'a', minimum with 'm'. Press 'i' to install locally or 'q' to cancel and reboot.";

void moveTo(std::FILE* out, int row, int column) {
    std::fprintf(out, "\x1b[%d;%dH", row, column);
}

int entriesPerPage(const PackageMenu& menu) {
    return std::max(1, menu.rows * 3);
}

bool paged(const PackageMenu& menu) {
    return menu.entries.size() > size_t(menuMaxRows * 3);
}

// A page other than the one shown: the entry area is cleared and the page drawn whole.
void showPage(PackageMenu& menu, int page) {
    menu.shownPage = page;
    for (int row = menuFirstRow; row < menuFirstRow + menuMaxRows; ++row) {
        moveTo(menu.out, row, 0);
        std::fputs("\x1b[2K", menu.out);
    }
    moveTo(menu.out, menuFirstRow - 1, 0);
    std::fprintf(menu.out, "\x1b[2KPage %d of %d", page + 1, menuPageCount(menu));
}

} // namespace

int menuRowsFor(size_t entryCount) {
    return int(std::min<size_t>((entryCount + 2) / 3, menuMaxRows));
}

int menuPageOf(const PackageMenu& menu, int index) {
    return index / entriesPerPage(menu);
}

int menuPageCount(const PackageMenu& menu) {
    int perPage = entriesPerPage(menu);
    return std::max(1, (int(menu.entries.size()) + perPage - 1) / perPage);
}

int menuRowOf(const PackageMenu& menu, int index) {
    return index % entriesPerPage(menu) % std::max(1, menu.rows) + menuFirstRow;
}

int menuColumnOf(const PackageMenu& menu, int index) {
    return index % entriesPerPage(menu) / std::max(1, menu.rows) * menuColumnWidth;
}

void drawEntry(PackageMenu& menu, int index) {
    if (index < 0 || size_t(index) >= menu.entries.size())
        return;
    if (paged(menu) && menuPageOf(menu, index) != menu.shownPage)
        return;
    const MenuEntry& entry = *menu.entries[size_t(index)];
    moveTo(menu.out, menuRowOf(menu, index), menuColumnOf(menu, index));
    std::fputc(' ', menu.out);
    bool underCursor = index == menu.cursor;
    if (underCursor)
        setTextAttributes(reverseVideo, menu.out);
    std::fprintf(menu.out, " [%c] %s ", entry.selected ? 'X' : ' ',
                 screenSafe(entry.name.substr(0, nameWidth)).c_str());
    if (underCursor)
        setTextAttributes(0, menu.out);
}

void drawAllEntries(PackageMenu& menu) {
    if (paged(menu) && menuPageOf(menu, menu.cursor) != menu.shownPage)
        showPage(menu, menuPageOf(menu, menu.cursor));
    for (size_t i = 0; i < menu.entries.size(); ++i)
        drawEntry(menu, int(i));
}

void drawInfo(PackageMenu& menu) {
    for (int row = infoRow; row < infoRow + infoRows; ++row) {
        moveTo(menu.out, row, 0);
        std::fputs("\x1b[2K", menu.out);
    }
    moveTo(menu.out, infoRow, 0);
    if (menu.entries.empty())
        return;
    const MenuEntry& entry = *menu.entries[size_t(menu.cursor)];
    std::string line = entry.name + " (depends on ";
    if (entry.depends.empty())
        line += "nothing";
    for (size_t i = 0; i < entry.depends.size(); ++i)
        line += (i ? ", " : "") + entry.depends[i].name;
    line += "):";
    // The area has three rows: one for this line, two for the description.
    if (line.size() > infoWidth)
        line = line.substr(0, infoWidth - 3) + "...";
    line = screenSafe(line);
    std::fprintf(menu.out, "%s\n", line.c_str());
    wrapText(entry.description, menu.out, infoRows - 1);
}

void moveCursorTo(PackageMenu& menu, int index) {
    int from = menu.cursor;
    menu.cursor = index;
    // Another page: the page is drawn whole; the old entry is not on the screen any more.
    if (menuPageOf(menu, index) != menu.shownPage) {
        drawAllEntries(menu);
    } else {
        drawEntry(menu, from);
        drawEntry(menu, index);
    }
    drawInfo(menu);
}

void moveUp(PackageMenu& menu) {
    if (menu.cursor > 0)
        moveCursorTo(menu, menu.cursor - 1);
}

void moveDown(PackageMenu& menu) {
    if (size_t(menu.cursor) + 1 < menu.entries.size())
        moveCursorTo(menu, menu.cursor + 1);
}

void drawMenuScreen(PackageMenu& menu) {
    menu.rows = menuRowsFor(menu.entries.size());
    menu.shownPage = 0;
    menu.escape = 0;
    if (menu.cursor < 0 || size_t(menu.cursor) >= menu.entries.size())
        menu.cursor = 0;
    std::fputs("\x1b[2J\x1b[H\x1b[?25l", menu.out);
    setTextAttributes(bold, menu.out);
    const char* line = welcomeText;
    for (;;) {
        const char* end = std::strchr(line, '\n');
        if (!end) {
            printLine(line, std::strlen(line), true, menu.out);
            break;
        }
        printLine(line, size_t(end - line), true, menu.out);
        line = end + 1;
    }
    setTextAttributes(0, menu.out);
    wrapText(helpText, menu.out);
    if (paged(menu))
        menu.shownPage = -1;
    drawAllEntries(menu);
    selectMinimum(menu);
    drawInfo(menu);
}

} // namespace installer
