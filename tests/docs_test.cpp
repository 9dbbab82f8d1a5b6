// The manual pages' generator: text that roff would misread, and templates it must refuse.
#include "tools/docgen/docs.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Docs, RoffText) {
    struct Case {
        const char* text;
        const char* roff;
    };
    const Case cases[] = {
        {"--batch", "\\-\\-batch"},
        {"with --emulate: x", "with \\-\\-emulate: x"},
        {"read-back step-size CD-RW", "read-back step-size CD-RW"},
        {"write -1 (-x)", "write \\-1 (\\-x)"},
        {".hidden", "\\&.hidden"},
        {"'quoted'", "\\&'quoted'"},
        {"a.b 'c'", "a.b 'c'"},
        {"C:\\dir", "C:\\edir"},
    };
    for (const Case& c : cases) EXPECT_EQ(RoffText(c.text), c.roff) << c.text;
}

TEST(Docs, FillManPage) {
    struct Case {
        const char* tmpl;
        bool ok;
        const char* page;  // or the error
    };
    const Case cases[] = {
        {".TH X 1 \"\" \"discflash @VERSION@\"", true, ".TH X 1 \"\" \"discflash 9.8\""},
        {"fail=EA@3:05/2C/00 and a@b@c", true, "fail=EA@3:05/2C/00 and a@b@c"},
        {"mail@ and @", true, "mail@ and @"},
        {"@VERSIONS@", false, "unknown placeholder @VERSIONS@"},
        {"x @ @OPTION@", false, "unknown placeholder @OPTION@"},
    };
    for (const Case& c : cases) {
        std::string page, error;
        EXPECT_EQ(FillManPage(c.tmpl, "9.8", page, error), c.ok) << c.tmpl;
        EXPECT_EQ(c.ok ? page : error, c.page) << c.tmpl;
    }
}

}  // namespace
