// Stores an imported file under a password and loads it back: the stored
// file is encrypted and checked, and a wrong password loads nothing.
//
//   save_load settings.ini OUT.tr47
#include <iostream>

#include "tr47ini/tr47ini.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: save_load FILE.ini OUT.tr47\n";
        return 2;
    }
    tr47::Document doc;
    if (!doc.import(argv[1])) return 1;
    if (!doc.save(argv[2], "correct horse")) {
        std::cerr << "save failed\n";
        return 1;
    }

    tr47::Document wrong;
    std::cout << "with a wrong password: " << (wrong.load(argv[2], "battery staple") ? "loaded" : "refused") << '\n';

    tr47::Document back;
    if (!back.load(argv[2], "correct horse")) {
        std::cerr << "load failed\n";
        return 1;
    }
    std::cout << "loaded: Port " << back.get<int>("Port", 0) << ", Face " << back.get("Face", "?") << '\n';
    return 0;
}
