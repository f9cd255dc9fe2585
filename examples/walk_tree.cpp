// Prints every group and value of an INI file, indented by depth, and the
// enumerations with their members.
//
//   walk_tree settings.ini
#include <iostream>
#include <string>

#include "tr47ini/tr47ini.hpp"

namespace {

void print(const tr47::Group& group, int depth) {
    const std::string indent(2 * static_cast<std::size_t>(depth), ' ');
    for (tr47::Value value : group.values())
        std::cout << indent << value.name() << " = " << value.get<std::string>().value_or("?") << '\n';
    for (tr47::Group child : group.groups()) {
        std::cout << indent << "BEGIN " << (child.sort().empty() ? "" : child.sort() + ", ") << child.name() << '\n';
        print(child, depth + 1);
        std::cout << indent << "END\n";
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: walk_tree FILE.ini\n";
        return 2;
    }
    tr47::Document doc;
    if (!doc.import(argv[1])) return 1;
    print(doc.root(), 0);
    for (tr47::Enumeration e : doc.enumerations()) {
        std::cout << "enumeration " << e.name() << ":";
        for (const auto& member : e.members()) std::cout << ' ' << member.name << '=' << member.value;
        std::cout << '\n';
    }
    return 0;
}
