// A whole DownLoad in the window: started by SIGUSR1 with the command-line file, a procedure
// built from the frame runs, and the window shows it moving.
#include "download/frame.h"
#include "drives/dispatch.h"
#include "gui/gui_support.h"

namespace {

class DownloadRunTest : public DialogTest {
  protected:
    void TearDown() override {
        SetProcedureHookForTests(nullptr);
        DialogTest::TearDown();
    }
};

// What a chunked transfer procedure does, through the frame: file, stage line, bar, commands.
void WriteInPieces(CDISCFLASHDlg& d, uint32_t piece) {
    if (!d.ChooseFirmwareFile(kFilterA, "*.BIN", "BIN")) return;
    if (!d.LoadFirmwareImage(kFrameLoaderSwitch)) return;
    d.SetStage("Write Buffer ..");
    const uint32_t pieces = (d.m_imageLength + piece - 1) / piece;
    ProgressBegin(static_cast<int32_t>(pieces));
    for (uint32_t o = 0; o < d.m_imageLength; o += piece) {
        d.PumpMessages();
        const uint32_t n = std::min(piece, d.m_imageLength - o);
        uint8_t cdb[12] = {0x3B,
                           0x02,
                           0,
                           static_cast<uint8_t>(o >> 16),
                           static_cast<uint8_t>(o >> 8),
                           static_cast<uint8_t>(o),
                           static_cast<uint8_t>(n >> 16),
                           static_cast<uint8_t>(n >> 8),
                           static_cast<uint8_t>(n)};
        if (!ExecCommandEx(1, XFER_OUT, cdb, d.m_imageBuffer.get() + o, n)) {
            d.ReportOutcome(Outcome::Failed);
            return;
        }
        ProgressAdvance();
    }
    d.SetStage(kStageClear);
    d.SetStage("Buffer flush ..");
    d.SettleWait(3);
    d.SetStage(kStageClear);
    d.ReleaseImage();
    d.ReportOutcome(Outcome::Succeeded);
}

TEST_F(DownloadRunTest, SigUsr1RunsTheDownloadAndTheWindowFollowsIt) {
    FreshSignalPipe();
    QTemporaryDir dir;
    const QString file = dir.filePath("LD4740.BIN");
    QByteArray image(5 * 2048 + 7, '\0');  // odd: padded to an even length
    for (int i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7);
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(image);
    }
    ModalCloser closer;
    for (const char* d : {kOtherDrive, kOwnDrive}) backend.drives.push_back(FakeBackend::Drive(d));
    DialogWindow w;
    Watcher watcher(w);
    rt().ui = &watcher;
    w.Dlg().m_strFirmwarePath = QFile::encodeName(file).toStdString();
    ASSERT_TRUE(w.Dlg().OnInitDialog());
    w.show();

    std::vector<int> procedureRan;
    SetProcedureHookForTests([&](CDISCFLASHDlg& d) {
        EXPECT_EQ(d.m_bBusy, 1);
        WriteInPieces(d, 2048);
        procedureRan.push_back(d.m_bBusy);
    });
    watcher.stages.clear();
    watcher.barValues.clear();
    watcher.bars.clear();
    raise(SIGUSR1);
    ASSERT_TRUE(PumpUntil([&] { return !procedureRan.empty() && w.Dlg().m_bBusy == 0; }));

    EXPECT_TRUE(closer.seen.empty());  // no file dialog: the command line named the file
    EXPECT_EQ(w.Dlg().LastOutcome(), Outcome::Succeeded);
    EXPECT_TRUE(w.Dlg().m_strFirmwarePath.empty());
    EXPECT_EQ(w.ListSelected(), 1);

    // Six pieces went out, the whole padded image in order.
    QByteArray sent;
    int writes = 0;
    for (const FakeCommand& c : backend.commands)
        if (c.cdb[0] == 0x3B) {
            ++writes;
            sent.append(reinterpret_cast<const char*>(c.out.data()),
                        static_cast<qsizetype>(c.out.size()));
        }
    EXPECT_EQ(writes, 6);
    EXPECT_EQ(sent, image + QByteArray(1, '\xff'));

    // The window showed the run as it went: the stage line and the bar, repainted at each pump.
    ASSERT_GE(watcher.stages.size(), 9u);
    EXPECT_EQ(watcher.stages[0], "Write Buffer ..");
    EXPECT_EQ(watcher.stages.back(), "Buffer flush ..");
    EXPECT_EQ(std::vector<int>(watcher.barValues.begin(), watcher.barValues.begin() + 6),
              (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(std::vector<int>(watcher.barValues.end() - 3, watcher.barValues.end()),
              (std::vector<int>{1, 2, 3}));
    int repaints = 0;
    for (size_t i = 1; i < watcher.bars.size(); ++i)
        repaints += watcher.bars[i] != watcher.bars[i - 1];
    EXPECT_GE(repaints, 7);
    EXPECT_EQ(w.Progress()->value(), 3);
    EXPECT_EQ(Control<QLineEdit>(w, "1022")->text(), " ");
    EXPECT_TRUE(w.isVisible());

    // While a download runs the signal is dropped, not kept for later.
    procedureRan.clear();
    w.Dlg().m_bBusy = 1;
    raise(SIGUSR1);
    PumpBriefly();
    w.Dlg().m_bBusy = 0;
    w.MessageBox("Down Load OK", "HLV DOWNLOAD", MB_OK, "");  // a closing box runs what was put off
    PumpBriefly();
    EXPECT_TRUE(procedureRan.empty());
    EXPECT_EQ(backend.opens, 1);
}

}  // namespace
