// The INF parser: Windows' syntax rules, and a malformed file reported with
// its name and line.
//
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/general-syntax-rules-for-inf-files
//   Section names, entries and directives are case-insensitive; sections with the same name are
//   merged; "a backslash (\) as the last character of a line" continues it; ';' starts a comment;
//   a value that contains a comma, semicolon or leading/trailing blanks is enclosed in double
//   quotation marks; "" inside a quoted string is a quotation mark; section names are at most 255
//   characters.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-strings-section
//   "An INF file must have at least one Strings section to define every %strkey% token"; "A %
//   character within such a strkey token must be expressed as %%"; [Strings.LanguageID] sections
//   hold the localized strings.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/using-dirids
//   %dirid% tokens (%12% ...) stand for folders.
// How a line before the first section or an unterminated string is reported follows setupapi's
// errors (ERROR_EXPECTED_SECTION_NAME, ERROR_BAD_SECTION_NAME_LINE, ERROR_GENERAL_SYNTAX with
// the line number in the INF error context).
#include "setup_test.h"

#include <setup/inf_file.h>

namespace {

using winsim::setup::InfError;
using winsim::setup::InfFile;

struct LineCase {
    const char *label;
    const char *entry;                    // one line (or continued lines) in [S]
    std::optional<std::string> key;
    std::vector<std::string> fields;
};

TEST(InfParse, EntriesSplitIntoKeyAndFields)
{
    const LineCase cases[] = {
        {"key and fields", "a = b , c", "a", {"b", "c"}},
        {"no key", "HKR,,Name,,1", std::nullopt, {"HKR", "", "Name", "", "1"}},
        {"blanks kept inside quotes", "a = \"  b, c  \", d", "a", {"  b, c  ", "d"}},
        {"doubled quote", "a = \"say \"\"hi\"\"\"", "a", {"say \"hi\""}},
        {"quotes inside a field", "a = x\"y,z\"w", "a", {"xy,zw"}},
        {"comment", "a = b ; c, d", "a", {"b"}},
        {"semicolon in quotes", "a = \"b;c\"", "a", {"b;c"}},
        {"continued line", "a = b, \\\n    c, \\ ; comment\n  d", "a", {"b", "c", "d"}},
        {"backslash inside a line", "a = %12%\\sink.sys", "a", {"%12%\\sink.sys"}},
        {"equals after a comma", "a, b = c", std::nullopt, {"a", "b = c"}},
        {"empty value", "a =", "a", {""}},
        {"string key", "a = %Name%, %Quoted%", "a", {"winsim", "one, two"}},
        {"percent sign", "a = 50%%", "a", {"50%"}},
        {"string key as key", "%Name% = x", "winsim", {"x"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::string text = std::string("[S]\n") + c.entry + "\n[Strings]\nName = winsim\nQuoted = \"one, two\"\n";
        InfFile inf = InfFile::Parse(text, "case.inf");
        const auto *section = inf.Find("s");
        ASSERT_NE(section, nullptr);
        ASSERT_EQ(section->lines.size(), 1u);
        EXPECT_EQ(section->lines[0].number, 2);
        EXPECT_EQ(section->lines[0].key, c.key);
        EXPECT_EQ(section->lines[0].fields, c.fields);
    }
}

TEST(InfParse, SectionsMergeAndLookUpIgnoringCase)
{
    InfFile inf = InfFile::Parse("; header comment\n[Install]\nA = 1\n\n[Other]\nX = 0\n[INSTALL]\nb = 2\n", "m.inf");
    const auto *install = inf.Find("install");
    ASSERT_NE(install, nullptr);
    ASSERT_EQ(install->lines.size(), 2u);
    EXPECT_EQ(install->number, 2);
    EXPECT_EQ(install->lines[1].number, 8);
    ASSERT_NE(inf.FindKey("INSTALL", "B"), nullptr);
    EXPECT_EQ(inf.FindKey("Install", "b")->fields, std::vector<std::string>{"2"});
}

TEST(InfParse, LocalizedStringsWinOverTheDefaultOnes)
{
    InfFile inf = InfFile::Parse("[A]\nx = %Desc%, %Only%\n[Strings]\nDesc = default\nOnly = plain\n"
                                 "[Strings.0409]\nDesc = \"US English\"\n",
                                 "s.inf");
    EXPECT_EQ(inf.FindKey("A", "x")->fields, (std::vector<std::string>{"US English", "plain"}));
}

TEST(InfParse, Utf16FilesReadLikeAnsiFiles)
{
    const std::string text = "[Version]\r\nSignature = \"$Windows NT$\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    fs::path path = fs::temp_directory_path() / "winsim-utf16-test.inf";
    WriteText(path, utf16);
    InfFile inf = InfFile::Load(path);
    fs::remove(path);
    ASSERT_NE(inf.FindKey("Version", "Signature"), nullptr);
    EXPECT_EQ(inf.FindKey("Version", "Signature")->fields[0], "$Windows NT$");
}

struct MalformedCase {
    const char *label;
    std::string text;
    int line;
    const char *message;
};

TEST(InfParse, MalformedFilesNameFileAndLine)
{
    const MalformedCase cases[] = {
        {"entry before any section", "Signature = x\n[Version]\n", 1, "before the first [section]"},
        {"unclosed header", "[Version]\nA = 1\n[Strings\n", 3, "without a closing ']'"},
        {"text after a header", "[Version] Signature\n", 1, "unexpected text after the section header"},
        {"empty section name", "[ ]\n", 1, "empty section name"},
        {"section name too long", "[" + std::string(256, 'x') + "]\n", 1, "longer than 255"},
        {"unclosed quote", "[A]\nx = 1\ny = \"open\n", 3, "quoted string not closed"},
        {"unclosed quote in a continued line", "[A]\nx = a, \\\n \"b\n", 3, "quoted string not closed"},
        {"undefined string key", "[A]\n\nx = %Missing%\n[Strings]\nOther = 1\n", 3, "%Missing% is not defined"},
        {"lone percent sign", "[A]\nx = 50%\n", 2, "'%' without a closing '%'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        try {
            InfFile::Parse(c.text, "pkg/broken.inf");
            ADD_FAILURE() << "parsed";
        } catch (const InfError &e) {
            EXPECT_EQ(e.line(), c.line);
            EXPECT_EQ(e.file(), "pkg/broken.inf");
            EXPECT_EQ(std::string(e.what()).rfind("pkg/broken.inf(" + std::to_string(c.line) + "): ", 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
