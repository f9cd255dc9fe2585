// Reads typed settings with defaults: what a program does at start-up.
//
//   read_values settings.ini
#include <chrono>
#include <iostream>
#include <string>

#include "tr47ini/tr47ini.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: read_values FILE.ini\n";
        return 2;
    }
    tr47::Document doc;
    if (!doc.import(argv[1])) return 1; // the messages went to standard error

    // Anywhere in the tree, with a default for what is missing or does not
    // convert: no exception either way.
    const int port = doc.get<int>("Port", 80);
    const std::string host = doc.get("Host", "localhost");
    const bool flag = doc.get<bool>("Flag", false);
    const double ratio = doc.get<double>("Ratio", 1.0);
    const int retries = doc.get<int>("Retries", 3);
    std::cout << "connect to " << host << ":" << port << ", flag " << std::boolalpha << flag << ", ratio " << ratio
              << ", retries " << retries << '\n';

    // Optional forms tell a missing value from a default one.
    if (auto created = doc.get<std::chrono::year_month_day>("Created"))
        std::cout << "created " << static_cast<int>(created->year()) << '-' << static_cast<unsigned>(created->month())
                  << '-' << static_cast<unsigned>(created->day()) << '\n';
    if (!doc.get<int>("Title")) std::cout << "Title is no number\n";

    // A path of group names finds one value in one group.
    std::cout << "fallback face " << doc.get("Fonts/Fallback/Face", "none", tr47::Lookup::Path) << '\n';
    return 0;
}
