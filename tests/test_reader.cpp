// The reader: the lines of a text file in every line ending and encoding,
// and stored values written and read back.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/helpers.hpp"

using namespace std::string_literals;
using namespace tr47;
using tr47::test::Items;
using tr47::test::TempDir;

TEST(Reader, LineEndingsEncodingsAndEnd) {
    TempDir dir;
    auto lines_of = [&](const std::string& bytes) {
        ref<ReaderObject> r = ReaderObject::create();
        EXPECT_TRUE(r->open(dir.write("f.txt", bytes), 1, "", false, true));
        std::vector<std::string> out;
        while (!r->eof()) out.push_back(r->read_line());
        EXPECT_EQ(r->read_line(), ""); // past the end
        return out;
    };
    EXPECT_EQ(lines_of("a\r\nb\nc\rd"), (Items{"a", "b", "c", "d"}));
    EXPECT_EQ(lines_of("a\n\nb\n"), (Items{"a", "", "b"}));
    EXPECT_EQ(lines_of(""), Items{});
    EXPECT_EQ(lines_of("\r\n"), Items{""});
    EXPECT_EQ(lines_of("\xEF\xBB\xBFK=\xC3\xA4\n"), Items{"K=ä"});
    EXPECT_EQ(lines_of("\xFF\xFEK\0=\0\xE4\0\r\0\n\0x\0"s), (Items{"K=ä", "x"}));
    EXPECT_EQ(lines_of("\xFE\xFF\0K\0=\0\xE4\0\n"s), Items{"K=ä"});
    // A line that is no UTF-8 is read as Windows-1252.
    EXPECT_EQ(lines_of("ok=\xC3\xBC\nold=\xFC\x80\n"), (Items{"ok=ü", "old=ü€"}));
    EXPECT_EQ(lines_of("a\0b\n"s), Items{"a\0b"s});
    {
        // A Windows-1252 byte at every place in lines of every length up to
        // 40, so it falls everywhere in the reader's 16-byte steps, next to
        // ASCII lines; and a file that ends without a line break.
        std::string file;
        Items expected;
        for (std::size_t len = 1; len <= 40; ++len)
            for (std::size_t at = 0; at < len; ++at) {
                std::string line(len, 'k');
                line[at] = '\xFC';
                file += line + (len % 3 == 0 ? "\r\n" : "\n") + "plain\n";
                expected.push_back(line.substr(0, at) + "ü" + line.substr(at + 1));
                expected.push_back("plain");
            }
        file += "end\xFC";
        expected.push_back("endü");
        EXPECT_EQ(lines_of(file), expected);
    }

    {
        // A control byte (no line break) at every place in lines of every
        // length up to 40, beside a byte beyond ASCII and next to plain
        // lines: the reader tells which lines hold one, so that only those
        // are cleaned.
        TempDir controls;
        std::string file;
        std::vector<std::pair<std::string, bool>> expected; // line, free of controls
        const char marks[] = {'\t', '\b', '\x01', '\x0B', '\x0C', '\0'};
        for (std::size_t len = 1; len <= 40; ++len)
            for (std::size_t at = 0; at < len; ++at) {
                std::string line(len, 'k');
                line[at] = marks[(len + at) % std::size(marks)];
                if (at + 1 < len && len % 2) line[at + 1] = '\x7F';
                if (at > 0 && len % 3 == 0) line[at - 1] = '~';
                file += line + (len % 4 == 0 ? "\r\n" : "\n") + "pl\xC3\xA4in\x0E\x1F=" + std::string(len, 'p') + "\n";
                expected.emplace_back(line, false);
                expected.emplace_back("pl\xC3\xA4in\x0E\x1F=" + std::string(len, 'p'), true);
            }
        ref<ReaderObject> r = ReaderObject::create();
        ASSERT_TRUE(r->open(controls.write("c.txt", file), 1, "", false, true));
        for (const auto& [text, free] : expected) {
            std::string_view line;
            std::string converted;
            r->read_line(line, converted);
            ASSERT_EQ(line, text);
            ASSERT_EQ(r->line_known_free_of_controls(), free) << r->line_number();
        }
    }

    // CR LF split across the reader's block boundary is one line break.
    std::string big(1 << 20, 'x');
    big[(1 << 20) - 1] = '\r';
    auto lines = lines_of(big + "\nnext");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), (1u << 20) - 1);
    EXPECT_EQ(lines[1], "next");

    {
        // Several megabytes of lines from 1 to 70,000 bytes long in mixed
        // line ends: every block boundary of the growing reads falls inside
        // some line or line break, and every line comes back whole.
        std::string file;
        Items expected;
        std::uint32_t x = 99;
        while (file.size() < (6u << 20)) {
            x = x * 1103515245u + 12345u;
            const std::size_t len = (x >> 8) % 7 == 0 ? (x >> 4) % 70000 : (x >> 4) % 90;
            // Not empty: an empty line after a lone CR would read as CR LF.
            std::string line(len + 1, static_cast<char>('a' + expected.size() % 26));
            line.back() = '#';
            expected.push_back(line);
            file += line + ((x >> 20) % 3 == 0 ? "\r\n" : (x >> 20) % 3 == 1 ? "\n" : "\r");
        }
        EXPECT_EQ(lines_of(file), expected);
    }

    ref<ReaderObject> r = ReaderObject::create();
    EXPECT_FALSE(r->open(dir.file("missing.txt"), 1, "", false, true));
    EXPECT_FALSE(r->open(dir.path().string(), 1, "", false, true));
}

TEST(Reader, StoredValuesComeBackInOrderAndType) {
    TempDir dir;
    const std::string path = dir.file("values.bin");
    ref<ReaderObject> w = ReaderObject::create();
    ASSERT_TRUE(w->open(path, 2, "", true, true));
    std::vector<Variant> values = {Variant("1.0"),      Variant(),
                                   Variant(2.5),        Variant(std::int32_t{-3}),
                                   Variant(Date{1.25}), Variant::boolean(true),
                                   Variant::omitted(),  Variant(std::string("a\0b", 3))};
    for (const Variant& v : values) w->write_values({PackElement(v)});
    EXPECT_FALSE(std::filesystem::exists(path)); // nothing is written before close
    w->close();
    ref<ReaderObject> r = ReaderObject::create();
    ASSERT_TRUE(r->open(path, 1, "", true, true));
    for (const Variant& v : values) EXPECT_TRUE(r->read_value().same(v));
    EXPECT_TRUE(r->eof());
    EXPECT_THROW(r->read_value(), Error);
}
