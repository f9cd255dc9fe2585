// Build step: writes the type library's IDL text and the C++ source of the
// interfaces' function tables, both made from the member tables.
#include <fstream>
#include <iostream>

#include "server/members.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: tr47_idl OUT.idl OUT_TABLES.cpp\n";
        return 2;
    }
    std::ofstream idl(argv[1], std::ios::trunc);
    idl << tr47::server::emit_idl();
    std::ofstream tables(argv[2], std::ios::trunc);
    tables << tr47::server::emit_function_tables();
    return idl && tables ? 0 : 1;
}
