// The smallest program that answers what `tr47ini get FILE NAME` answers,
// with INIReader: the start-up peer of the command line.
#include <INIReader.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    INIReader reader(argv[1]);
    if (reader.ParseError() < 0) return 1;
    std::puts(reader.Get(argv[2], argv[3], "").c_str());
    return 0;
}
