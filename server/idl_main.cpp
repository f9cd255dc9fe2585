// Build step: writes the type library's IDL text to the given file.
#include <fstream>
#include <iostream>

#include "server/members.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tr47_idl OUT.idl\n";
        return 2;
    }
    std::ofstream out(argv[1], std::ios::trunc);
    out << tr47::server::emit_idl();
    return out ? 0 : 1;
}
