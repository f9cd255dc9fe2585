// The reader: the lines of a text file in every line ending and encoding,
// and stored values written and read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "corelib/text_lines.hpp"
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

// A large file is read ahead on a thread of its own. The caller must see
// the same lines, line numbers, control-byte answers and failures as when
// it reads on its own thread, whatever the size of the batches.
TEST(Reader, ReadAheadGivesTheSameLinesNumbersAndFailures) {
    using detail::TextLines;
    using detail::TextLineSettings;
    const TextLineSettings saved = detail::text_line_settings();
    struct Restore {
        TextLineSettings s;
        ~Restore() { detail::set_text_line_settings(s); }
    } restore{saved};
    constexpr std::size_t kLimit = std::size_t{1} << 20;

    // Short lines of every kind, a few near and beyond the line limit,
    // mixed line ends and no line break at the end.
    std::string file = "\xEF\xBB\xBF";
    Items expected; // the line, or "!" for one refused as too long
    std::uint32_t x = 7;
    bool afterCr = false;
    for (int i = 0; i < 4000; ++i) {
        x = x * 1103515245u + 12345u;
        std::size_t len = (x >> 9) % 60;
        if (afterCr && len == 0) len = 1; // CR and an empty line read as CR LF
        if (i % 997 == 500) len = kLimit - 1 + (x >> 7) % 3; // 1 MiB - 1 to 1 MiB + 1
        std::string line(len, static_cast<char>('a' + i % 26));
        std::string text = line;
        if (len > 3) {
            switch ((x >> 16) % 5) {
            case 0: line[len / 2] = '\t', text = line; break;
            case 1: line[1] = '\xFC', text = line.substr(0, 1) + "\xC3\xBC" + line.substr(2); break; // Windows-1252
            case 2: line.replace(2, 2, "\xC3\xA4"), text = line; break; // UTF-8
            case 3: line[0] = '\x01', text = line; break;
            default: break;
            }
        }
        expected.push_back(len > kLimit ? "!" : text);
        file += line + ((x >> 20) % 3 == 0 ? "\r\n" : (x >> 20) % 3 == 1 ? "\n" : "\r");
        afterCr = (x >> 20) % 3 == 2;
    }
    file += "last";
    expected.push_back("last");
    ASSERT_GE(std::count(expected.begin(), expected.end(), "!"), 2);
    TempDir dir;
    const std::string path = dir.write("lines.txt", file);

    // Every answer in order: "number flag line", "number error message" for
    // a failed next() and "end message" for a failed at_end(). `askEnd`:
    // at_end() before each line, as the import does; otherwise next() alone,
    // on past the end.
    auto read_all = [&](const TextLineSettings& settings, bool ahead, bool askEnd = true) {
        detail::set_text_line_settings(settings);
        TextLines lines;
        EXPECT_TRUE(lines.open(path));
        EXPECT_EQ(lines.read_ahead(), ahead);
        Items seen;
        for (std::size_t reads = 0; askEnd || reads < expected.size() + 2; ++reads) {
            try {
                if (askEnd && lines.at_end()) break;
            } catch (const Error& e) {
                seen.push_back("end " + std::string(e.what()));
                continue;
            }
            std::string_view line;
            std::string converted;
            try {
                lines.next(line, converted);
                seen.push_back(std::to_string(lines.line_number()) + (lines.line_free_of_controls() ? "+" : "-") +
                               std::string(line));
            } catch (const Error& e) {
                seen.push_back(std::to_string(lines.line_number()) + " " + e.what());
            }
        }
        if (askEnd) {
            std::string_view past;
            std::string converted;
            lines.next(past, converted);
            seen.push_back("past " + std::to_string(lines.line_number()) + (lines.line_free_of_controls() ? "+" : "-") +
                           std::string(past));
        }
        return seen;
    };
    TextLineSettings here = saved;
    here.readAheadFrom = UINT64_MAX;
    here.maxLineBytes = kLimit;
    const Items plain = read_all(here, false);
    ASSERT_EQ(plain.size(), expected.size() + 1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        if (expected[i] == "!")
            EXPECT_EQ(plain[i], n + " Line " + n + " of " + path + " is longer than 1 MiB");
        else
            EXPECT_EQ(plain[i].substr(n.size() + 1), expected[i]) << i;
    }
    EXPECT_EQ(plain.back(), "past " + std::to_string(expected.size() + 1) + "+");
    for (std::size_t batch : {std::size_t{1}, std::size_t{100}, std::size_t{4096}, std::size_t{256} << 10}) {
        TextLineSettings ahead = here;
        ahead.readAheadFrom = 0;
        ahead.batchBytes = batch;
        ahead.evenOnOneCore = true;
        EXPECT_EQ(read_all(ahead, true), plain) << "batches of " << batch;
    }

    // A read error, within a line or between lines, comes up in the same
    // call and at the same line both ways, whether the caller asks for the
    // end first or not; the lines read before it are read on.
    for (std::uint64_t failAt :
         {std::uint64_t{70001}, std::uint64_t{100003}, std::uint64_t{1500000}, std::uint64_t{file.size() - 2}}) {
        for (bool askEnd : {true, false}) {
            TextLineSettings failing = here;
            failing.failReadAt = failAt;
            const Items alone = read_all(failing, false, askEnd);
            EXPECT_EQ(std::count_if(alone.begin(), alone.end(),
                                    [](const std::string& s) { return s.find("File read error") != s.npos; }),
                      1)
                << failAt;
            EXPECT_NE(alone, plain);
            failing.readAheadFrom = 0;
            failing.batchBytes = 100;
            failing.evenOnOneCore = true;
            EXPECT_EQ(read_all(failing, true, askEnd), alone) << failAt << " " << askEnd;
        }
    }
    here.failReadAt = 1000; // within the first read: the file does not open
    detail::set_text_line_settings(here);
    EXPECT_FALSE(TextLines().open(path));
    here.failReadAt = UINT64_MAX;

    // A reader left before the end stops the thread reading ahead.
    TextLineSettings ahead = here;
    ahead.readAheadFrom = 0;
    ahead.batchBytes = 64;
    ahead.evenOnOneCore = true;
    detail::set_text_line_settings(ahead);
    for (int lines = 0; lines < 3; ++lines) {
        ref<ReaderObject> r = ReaderObject::create();
        ASSERT_TRUE(r->open(path, 1, "", false, true));
        for (int i = 0; i < lines; ++i) EXPECT_EQ(r->read_line(), expected[static_cast<std::size_t>(i)]);
        if (lines == 2) r->close();
    }
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
