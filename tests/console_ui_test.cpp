#include "app/cli/console_ui.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string Read(FILE* f) {
    std::string s;
    std::rewind(f);
    int c;
    while ((c = std::fgetc(f)) != EOF) s += static_cast<char>(c);
    return s;
}

struct Console {
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    ~Console() {
        std::fclose(out);
        std::fclose(err);
    }
};

}  // namespace

TEST(ConsoleUi, ListMarksSelectionAndIdentityComesFirst) {
    Console c;
    ConsoleUi ui(c.out, c.err, false, false);
    ui.SetIdentity("LD4740(  Version 1.100  )");
    ui.ListAdd("HALVERONCD-RW  KR-4740P 1.00");
    // A drive's own text: nothing but printable ASCII reaches the terminal.
    ui.ListAdd("OTHER \x1b[2J\n\\\x7f\x1f\x20~\xc3\xa9");
    ui.ListSelect(0);
    ui.ListSelect(5);  // outside the list: no selection
    EXPECT_EQ(ui.ListSelected(), -1);
    ui.ListSelect(1);
    ui.PrintDrives();
    EXPECT_EQ(Read(c.out),
              "LD4740(  Version 1.100  )\n"
              "  0: HALVERONCD-RW  KR-4740P 1.00\n"
              "* 1: OTHER \\x1B[2J\\x0A\\x5C\\x7F\\x1F ~\\xC3\\xA9\n");
}

TEST(ConsoleUi, BoxesPrintCaptionIconAndEveryLine) {
    struct Case {
        unsigned type;
        bool yes;
        int answer;
        const char* printed;
    };
    const Case cases[] = {
        {MB_OK | MB_ICONHAND, false, IDOK,
         "[HLV DOWNLOAD] (stop)\n  Down Load fault\n  (ReadBuffer)\n"},
        {MB_OK | MB_ICONEXCLAMATION, false, IDOK,
         "[HLV DOWNLOAD] (exclamation)\n  Down Load fault\n  (ReadBuffer)\n"},
        {MB_YESNO, false, IDNO,
         "[HLV DOWNLOAD] (none)\n  Down Load fault\n  (ReadBuffer)\n  -> No\n"},
        {MB_YESNO, true, IDYES,
         "[HLV DOWNLOAD] (none)\n  Down Load fault\n  (ReadBuffer)\n  -> Yes\n"},
    };
    for (const Case& k : cases) {
        Console c;
        ConsoleUi ui(c.out, c.err, k.yes, false);
        EXPECT_EQ(ui.MessageBox("Down Load fault\n(ReadBuffer)", "HLV DOWNLOAD", k.type, "cause"),
                  k.answer);
        EXPECT_EQ(Read(c.out), k.printed);
        EXPECT_EQ(Read(c.err), "");  // the detail's notes are there already
    }
}

TEST(ConsoleUi, NoFileDialogInBatch) {
    Console c;
    ConsoleUi ui(c.out, c.err, true, false);
    std::string path = "untouched";
    EXPECT_FALSE(ui.ChooseFile(FileRequest{"DOWN LOAD FILE OPEN", {}, "*.BIN", "BIN"}, path));
    EXPECT_EQ(path, "untouched");
    EXPECT_NE(Read(c.err).find("firmware file name is needed"), std::string::npos);
}

TEST(ConsoleUi, PlainProgressLinesEveryTenthAndBlankStagesSkipped) {
    Console c;
    ConsoleUi ui(c.out, c.err, false, false);
    ui.SetStage("Write Buffer ..");
    ui.SetStage(" ");
    ui.ProgressRange(0, 20);
    ui.ProgressStepSize(1);
    ui.ProgressPos(0);
    for (int i = 0; i < 20; ++i) ui.ProgressStep();
    std::string out = Read(c.out);
    EXPECT_EQ(out.find("stage: Write Buffer ..\n"), 0u);
    EXPECT_EQ(out.find("stage:  "), std::string::npos);
    int lines = 0;
    for (size_t p = out.find("progress: "); p != std::string::npos;
         p = out.find("progress: ", p + 1))
        ++lines;
    EXPECT_EQ(lines, 11);  // 0%, 10%, ..., 100%
    EXPECT_NE(out.find("progress: 100% (20 of 20)\n"), std::string::npos);
}

TEST(ConsoleUi, TtyBarEndsWithNewlineBeforeNextText) {
    Console c;
    ConsoleUi ui(c.out, c.err, false, true);
    ui.ProgressRange(0, 4);
    ui.ProgressStepSize(1);
    ui.ProgressStep();
    ui.MessageBox("Down Load complete", "HLV DOWNLOAD", MB_OK, "");
    std::string out = Read(c.out);
    EXPECT_NE(out.find("\r[##########"), std::string::npos) << out;
    EXPECT_NE(out.find("25%\n[HLV DOWNLOAD]"), std::string::npos) << out;
}
