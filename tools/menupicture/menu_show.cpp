// Shows the package selection menu for the package files of a folder on this terminal, as the
// installer shows it for its medium; "i" or "q" ends it. Used to make the README's picture.
#include "menu/package_menu.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: menu_show FOLDER\n");
        return 2;
    }
    installer::PackageMenu menu;
    menu.medium = argv[1];
    if (!installer::loadMenuPackages(menu))
        return 1;
    return installer::runMenu(menu) ? 0 : 3;
}
