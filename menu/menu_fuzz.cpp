// The package menu on arbitrary media and key streams: entries with any names, descriptions
// and dependencies (cycles, missing packages, more entries than a page holds), then any keys,
// escape sequences cut anywhere.
//
// Input: an entry count, the entries (a name, a description, up to three dependencies, each
// another entry's name or any bytes), then the keys. Beyond crashes, a run fails when the
// cursor leaves the entries, when a selection breaks the space bar's rules ("system" stays,
// what an entry needs and is not selected yet is selected with it, what needs it directly is
// deselected with it), or when
// anything reaches the terminal but printable text, line feeds and the menu's own escape
// sequences, or a line wider than the screen.
#include "menu/package_menu.h"
#include "menu/screen_text.h"
#include "package/record/record_relations.h"
#include "testbed/fuzz_support.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using namespace installer;

namespace {

void failWith(const std::string& what) {
    std::fprintf(stderr, "menu: %s\n", what.c_str());
    std::abort();
}

std::string takeName(fuzz::Cursor& cursor, int count, int self) {
    uint8_t choice = cursor.byte();
    if (choice < 0x40)
        return "system";
    if (choice < 0x80 && count > 0)
        return "p" + std::to_string((choice + self) % count);
    return std::string(cursor.bytes(choice & 0x1f));
}

// The entries a press on `index` selects: it, and through dependencies that name an entry, every
// one that was not selected yet (a selected one is not looked into again).
void reachable(const PackageMenu& menu, const std::vector<bool>& before, int index,
               std::set<int>& seen) {
    if (index < 0 || !seen.insert(index).second)
        return;
    for (const Requirement& need : menu.entries[size_t(index)]->depends) {
        int needed = findEntry(menu, need.name);
        if (needed >= 0 && !before[size_t(needed)])
            reachable(menu, before, needed, seen);
    }
}

void checkSpace(const PackageMenu& menu, int index, const std::vector<bool>& before) {
    const MenuEntry& entry = *menu.entries[size_t(index)];
    if (!before[size_t(index)]) {
        std::set<int> needed;
        reachable(menu, before, index, needed);
        for (int at : needed)
            if (!menu.entries[size_t(at)]->selected)
                failWith("selected " + entry.name + " without what it needs");
        for (size_t at = 0; at < before.size(); ++at)
            if (before[at] && !menu.entries[at]->selected)
                failWith("selecting " + entry.name + " deselected another");
        return;
    }
    if (entry.name == "system") {
        if (!entry.selected)
            failWith("space bar deselected \"system\"");
        return;
    }
    if (entry.selected)
        failWith("space bar left " + entry.name + " selected");
    for (const auto& other : menu.entries)
        if (other->selected && dependsOn(*other, entry))
            failWith(other->name + " stays selected without " + entry.name);
}

// The screen holds printable text, line feeds and the escape sequences the menu writes.
void checkScreen(const std::string& screen) {
    static const char* const sequences[] = {"[m",  "[4m", "[7m", "[5m",  "[1m",
                                            "[2K", "[2J", "[H",  "[?25l"};
    size_t run = 0;
    for (size_t at = 0; at < screen.size(); ++at) {
        unsigned char c = static_cast<unsigned char>(screen[at]);
        if (c == '\n') {
            run = 0;
        } else if (c == 0x1b) {
            std::string_view rest = std::string_view(screen).substr(at + 1);
            size_t length = 0;
            for (const char* known : sequences)
                if (rest.starts_with(known))
                    length = std::strlen(known);
            // A cursor move is short: scanning a copy keeps sscanf from measuring the screen.
            std::string move(rest.substr(0, 12));
            int row = 0, column = 0, used = 0;
            if (!length && std::sscanf(move.c_str(), "[%d;%dH%n", &row, &column, &used) == 2 &&
                used > 0) {
                if (row < 1 || row > 25 || column < 0 || column >= 80)
                    failWith("cursor moved off the screen");
                length = size_t(used);
                run = size_t(column);
            }
            if (!length)
                failWith("an escape sequence the menu does not write");
            at += length;
        } else if (c < 0x20 || c >= 0x7f) {
            failWith("a control byte reached the terminal");
        } else if (++run > 80) {
            failWith("a line wider than the screen");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(*argc, *argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Cursor cursor(data, size);
    PackageMenu menu;
    int count = cursor.byte() % 64;
    for (int i = 0; i < count; ++i) {
        auto entry = std::make_unique<MenuEntry>();
        uint8_t naming = cursor.byte();
        entry->name = naming < 0x20   ? "p" + std::to_string(i)
                      : naming < 0x30 ? "system"
                                      : std::string(cursor.bytes(naming & 0x1f));
        entry->description = std::string(cursor.bytes(cursor.byte()));
        int needs = cursor.byte() & 3;
        for (int n = 0; n < needs; ++n)
            entry->depends.push_back({takeName(cursor, count, i), 0, 0, 0});
        menu.entries.push_back(std::move(entry));
    }
    char* text = nullptr;
    size_t length = 0;
    menu.out = open_memstream(&text, &length);
    drawMenuScreen(menu);
    for (const auto& entry : menu.entries)
        if (entry->selected != (entry->name == "system"))
            failWith("the menu opens with more or less than \"system\" selected");
    int keys = 0;
    while (!cursor.empty() && ++keys <= 256) {
        int key = cursor.byte();
        int index = menu.cursor;
        // After ESC "[" a key is an arrow's last byte, not a command.
        bool command = menu.escape != 2;
        bool spaceBar = key == ' ' && command;
        std::vector<bool> before;
        for (const auto& entry : menu.entries)
            before.push_back(entry->selected);
        MenuOutcome outcome = handleMenuKey(menu, key);
        if (menu.entries.empty() ? menu.cursor != 0
                                 : menu.cursor < 0 || size_t(menu.cursor) >= menu.entries.size())
            failWith("the cursor left the entries");
        if (spaceBar && !menu.entries.empty())
            checkSpace(menu, index, before);
        if (command && (key == 'm' || key == 'M'))
            for (const auto& entry : menu.entries)
                if (entry->selected != (entry->name == "system"))
                    failWith("minimum is more or less than \"system\"");
        if (outcome != MenuOutcome::open)
            break;
    }
    std::fclose(menu.out);
    checkScreen(std::string(text, length));
    std::free(text);

    // The description of any package, word-wrapped into lines of the screen.
    std::string_view description = cursor.rest();
    for (int maxLines : {0, 2}) {
        char* wrapped = nullptr;
        size_t wrappedLength = 0;
        FILE* out = open_memstream(&wrapped, &wrappedLength);
        wrapText(description, out, maxLines);
        std::fclose(out);
        std::string shown(wrapped, wrappedLength), words;
        std::free(wrapped);
        checkScreen(shown);
        int lines = 0;
        for (size_t at = 0; at < shown.size(); at = shown.find('\n', at) + 1) {
            size_t end = shown.find('\n', at);
            if (end == shown.npos)
                failWith("wrapped text without its last line feed");
            if (end - at > 78)
                failWith("a wrapped line longer than 78 characters");
            ++lines;
        }
        if (maxLines > 0 && lines > maxLines)
            failWith("wrapped text beyond its area");
        if (maxLines > 0)
            continue;
        // Nothing of the text is lost: its words, control bytes shown as '?'.
        std::string expected, got;
        for (char c : description)
            if (c != ' ' && c != '\n')
                expected += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
        for (char c : shown)
            if (c != ' ' && c != '\n')
                got += c;
        if (got != expected)
            failWith("wrapped text lost or changed characters");
    }
    return 0;
}
