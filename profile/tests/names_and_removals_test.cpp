// Null names and values in the core: a null section lists the sections, a
// null key the section's keys (reads); a null key removes the section, a
// null value the key (writes). The recorded corpus pins what the Windows
// service does on its own files; these rows pin the rules at their edges.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "profile_text.h"
#include "test_support.h"
#include "utf16_file.h"

namespace {

using namespace std::string_literals;
using profile_text::Name;

struct ListRow {
    const char* name;
    std::string file;
    Name section;  // none: the file's section names
    uint32_t size;
    uint32_t ret;
    std::string image;  // the buffer up to and including the last terminator
};

void PrintTo(const ListRow& r, std::ostream* os) {
    *os << r.name;
}

class Lists : public ::testing::TestWithParam<ListRow> {};

TEST_P(Lists, NamesEachTerminatedThenOneMore) {
    const ListRow& r = GetParam();
    std::vector<char> buffer(r.size + 8, '\x7F');
    const uint32_t n =
        profile_text::get_string(r.file, r.section, std::nullopt, "dflt", buffer.data(), r.size);
    EXPECT_EQ(n, r.ret);
    EXPECT_EQ(std::string(buffer.data(), r.image.size()), r.image);
    for (std::size_t i = r.image.size(); i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], '\x7F') << "wrote beyond the list at " << i;
    }
}

const std::string kLongName(2000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, Lists,
    ::testing::Values(
        ListRow{"SectionsTrimmedDuplicatesKept", "[ A ]\r\nx=1\r\n[b]\r\n[A]\r\n", std::nullopt, 60,
                6, "A\0b\0A\0\0"s},
        ListRow{"EmptyHeaderNotListed", "k=1\r\n[]\r\n[S]\r\n", std::nullopt, 60, 2, "S\0\0"s},
        ListRow{"NulCutsSectionName", "[a\0b]\r\n"s, std::nullopt, 60, 2, "a\0\0"s},
        ListRow{"BracketWithoutCloseIsNoSection", "[a\r\n[b]]\r\n", std::nullopt, 60, 3, "b]\0\0"s},
        ListRow{"NoSectionsIsOneTerminator", "k=1\r\n", std::nullopt, 60, 0, "\0"s},
        ListRow{"LongNameCopiedFromTheFile", "[" + kLongName + "]\r\n", std::nullopt, 2100, 2001,
                kLongName + "\0\0"s},
        ListRow{"ExactFitIsCut", "[abc]\r\n[de]\r\n", std::nullopt, 8, 6, "abc\0de\0\0"s},
        ListRow{"OneMoreFits", "[abc]\r\n[de]\r\n", std::nullopt, 9, 7, "abc\0de\0\0"s},
        ListRow{"CutMidNameEndsInTwoTerminators", "[abc]\r\n[de]\r\n", std::nullopt, 6, 4,
                "abc\0\0\0"s},
        ListRow{"SizeTwoIsTwoTerminators", "[abc]\r\n", std::nullopt, 2, 0, "\0\0"s},
        ListRow{"SizeOneIsOneTerminator", "[abc]\r\n", std::nullopt, 1, 0, "\0"s},
        ListRow{"SizeZeroWritesNothing", "[abc]\r\n", std::nullopt, 0, 0, ""},
        ListRow{"KeysSkipCommentsAndLinesWithoutEquals",
                "[S]\r\n;c=1\r\nflag\r\n a = 1\r\n#h=2\r\n[x=3\r\n[T]\r\nz=1\r\n", "S", 60, 8,
                "a\0#h\0[x\0\0"s},
        ListRow{"HeaderWithEqualsEndsTheKeys", "[S]\r\na=1\r\n[b=2]\r\nc=3\r\n", "S", 60, 2,
                "a\0\0"s},
        ListRow{"EmptyKeyNameNotListed", "[S]\r\n=1\r\nb=2\r\n", "S", 60, 2, "b\0\0"s},
        ListRow{"KeysOfTheFirstSectionOfItsName", "[S]\r\na=1\r\n[s]\r\nb=2\r\n", " s ", 60, 2,
                "a\0\0"s},
        ListRow{"NoKeysGivesTheDefault", "[S]\r\nflag\r\n", "S", 60, 4, "dflt\0"s},
        ListRow{"MissingSectionGivesTheDefault", "[T]\r\nk=1\r\n", "S", 60, 4, "dflt\0"s},
        ListRow{"Utf16Keys", u16("[S]\r\nab=1\r\ncd=2\r\n"), "S", 60, 6, "ab\0cd\0\0"s},
        ListRow{"Utf16Sections", u16("[S]\r\n[T]\r\n"), std::nullopt, 60, 4, "S\0T\0\0"s}),
    test_support::RowName());

// An integer read of a list converts its first name.
TEST(Lists, IntegerReadConvertsTheFirstName) {
    const std::string file = "[12abc]\r\n0x1F=1\r\n[S]\r\n";
    EXPECT_EQ(profile_text::get_int(file, std::nullopt, std::nullopt, 7), 12u);
    EXPECT_EQ(profile_text::get_int(file, "12abc", std::nullopt, 7), 31u);
    EXPECT_EQ(profile_text::get_int(file, "S", std::nullopt, 7), 7u);
    EXPECT_EQ(profile_text::get_int("", std::nullopt, std::nullopt, -1), 0xFFFFFFFFu);
}

struct RemoveRow {
    const char* name;
    std::string before;
    const char* section;
    Name key;  // none: remove the section; else remove the key
    std::string after;
};

void PrintTo(const RemoveRow& r, std::ostream* os) {
    *os << r.name;
}

class Removals : public ::testing::TestWithParam<RemoveRow> {};

TEST_P(Removals, TakeOutWholeLinesOnly) {
    const RemoveRow& r = GetParam();
    EXPECT_EQ(profile_text::put_string(r.before, r.section, r.key, std::nullopt), r.after);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Removals,
    ::testing::Values(
        RemoveRow{"KeyLineWithCrLf", "[S]\r\na=1\r\nk=2\r\nb=3\r\n", "S", "k",
                  "[S]\r\na=1\r\nb=3\r\n"},
        RemoveRow{"KeyWithItsOwnLineFeed", "[S]\r\nk=v\n\r\nb=3\r\n", "S", "K", "[S]\r\nb=3\r\n"},
        RemoveRow{"LastLineWithoutBreak", "[S]\r\na=1\r\nk=2", "S", "k", "[S]\r\na=1\r\n"},
        RemoveRow{"CrOnlyFile", "[S]\ra=1\rk=2\rb=3\r", "S", "k", "[S]\ra=1\rb=3\r"},
        RemoveRow{"FirstOfDuplicateKeys", "[S]\r\nk=1\r\nk=2\r\n[s]\r\nk=3\r\n", "S", "k",
                  "[S]\r\nk=2\r\n[s]\r\nk=3\r\n"},
        RemoveRow{"KeyOnlyInALaterDuplicateSection", "[S]\r\na=1\r\n[s]\r\nk=3\r\n", "S", "k",
                  "[S]\r\na=1\r\n[s]\r\nk=3\r\n"},
        RemoveRow{"LineWithoutEquals", "[S]\r\nflag\r\n", "S", "flag", "[S]\r\n"},
        RemoveRow{"MissingKey", "[S]\r\na=1\r\n", "S", "k", "[S]\r\na=1\r\n"},
        RemoveRow{"SectionThroughTheNextHeader", "a=0\r\n[S]\r\nk=1\r\n\r\n; c\r\n[T]\r\nx=1\r\n",
                  "s", std::nullopt, "a=0\r\n[T]\r\nx=1\r\n"},
        RemoveRow{"SectionAtTheEndWithoutBreak", "[T]\r\nx=1\r\n[S]\r\nk=1", "S", std::nullopt,
                  "[T]\r\nx=1\r\n"},
        RemoveRow{"FirstOfDuplicateSections", "[S]\r\nk=1\r\n[s]\r\nk=2\r\n", "S", std::nullopt,
                  "[s]\r\nk=2\r\n"},
        RemoveRow{"EmptySectionNameIsTheEmptyHeader", "k=top\r\n[]\r\nk=e\r\n", "", std::nullopt,
                  "k=top\r\n"},
        RemoveRow{"MissingSection", "[T]\r\n", "S", std::nullopt, "[T]\r\n"},
        RemoveRow{"Utf16Key", u16("[S]\r\nk=1\r\nb=2\r\n"), "S", "k", u16("[S]\r\nb=2\r\n")},
        RemoveRow{"Utf16Section", u16("[S]\r\nk=1\r\n[T]\r\n"), "S", std::nullopt, u16("[T]\r\n")}),
    test_support::RowName());

}  // namespace
