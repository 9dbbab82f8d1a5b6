// The main window offscreen: its controls, its commands and the UI port it gives the core.
#include "download/frame.h"
#include "drives/dispatch.h"
#include "gui/gui_support.h"

namespace {

// ---- controls ---------------------------------------------------------------------------------

TEST_F(DialogTest, ControlsCarryIdsTextsOrderAndVisibility) {
    ModalCloser closer;
    auto w = Start({kOwnDrive});
    ASSERT_TRUE(started);
    EXPECT_EQ(w->windowTitle(), "HLV DOWNLOAD UTILITY");
    // Drawn from the built-in picture: an icon whose picture failed to load is transparent.
    QImage icon = w->windowIcon().pixmap(32, 32).toImage();
    EXPECT_EQ(qAlpha(icon.pixel(16, 16)), 255);

    struct Expected {
        const char* id;
        const char* cls;
        const char* text;
        bool shown;
        bool enabled;
        bool tabStop;
    };
    // Template order, which is also the tab order.
    const Expected table[] = {
        {"1002", "QComboBox", nullptr, true, true, true},
        {"1003", "QProgressBar", nullptr, true, true, false},
        {"1005", "QLineEdit", nullptr, true, true, false},
        {"1", "QPushButton", "DownLoad", true, true, true},
        {"32777", "QPushButton", "Research", true, true, true},
        {"32778", "QPushButton", "ReBoot", true, true, true},
        {"2", "QPushButton", "Exit", true, true, true},
        {"1015", "QFrame", nullptr, false, true, false},
        {"1016", "QCheckBox", "AutoRnu", false, false, true},
        {"1017", "QCheckBox", "DMA Mode", false, false, true},
        {"1020", "QLineEdit", nullptr, false, true, true},
        {"1021", "QLineEdit", nullptr, false, true, true},
        {"1022", "QLineEdit", nullptr, true, true, false},
    };
    std::vector<QWidget*> widgets;
    for (const Expected& e : table) {
        SCOPED_TRACE(e.id);
        auto* c = Control<QWidget>(*w, e.id);
        ASSERT_NE(c, nullptr);
        EXPECT_STREQ(c->metaObject()->className(), e.cls);
        EXPECT_EQ(c->isVisibleTo(w.get()), e.shown);
        EXPECT_EQ(c->isEnabled(), e.enabled);
        EXPECT_EQ((c->focusPolicy() & Qt::TabFocus) != 0, e.tabStop);
        if (e.text) {
            auto* b = qobject_cast<QAbstractButton*>(c);
            ASSERT_NE(b, nullptr);
            EXPECT_EQ(b->text(), e.text);
        }
        if (auto* edit = qobject_cast<QLineEdit*>(c)) {
            EXPECT_TRUE(edit->isReadOnly());
        }
        widgets.push_back(c);
    }
    // Exactly these controls, no others.
    int direct = 0;
    for (QObject* o : w->children())
        if (o->isWidgetType()) ++direct;
    EXPECT_EQ(direct, static_cast<int>(std::size(table)));

    // The focus chain runs in template order.
    std::vector<QWidget*> chain;
    QWidget* next = widgets.front();
    for (size_t i = 0; i < widgets.size(); ++i) {
        chain.push_back(next);
        do next = next->nextInFocusChain();
        while (std::find(widgets.begin(), widgets.end(), next) == widgets.end());
    }
    EXPECT_EQ(chain, widgets);

    auto* ok = Control<QPushButton>(*w, "1");
    EXPECT_TRUE(ok->isDefault());
    for (const char* flat : {"32777", "32778", "2"})
        EXPECT_TRUE(Control<QPushButton>(*w, flat)->isFlat());
    EXPECT_FALSE(ok->isFlat());
    auto* combo = Control<QComboBox>(*w, "1002");
    EXPECT_FALSE(combo->isEditable());
    EXPECT_EQ(combo->currentIndex(), 0);  // the drive the scan selected
}

TEST_F(DialogTest, GeometryComesFromDialogUnitsOfTheFont) {
    auto w = Start({kOwnDrive}, false);
    const DialogUnits& du = w->Units();
    QFontMetrics fm(DialogFont());
    EXPECT_EQ(du.BaseY(), fm.height());
    EXPECT_NEAR(du.BaseX(), fm.averageCharWidth(), 2);
    EXPECT_EQ(du.X(4), du.BaseX());
    EXPECT_EQ(du.Y(8), du.BaseY());
    EXPECT_EQ(du.X(0), 0);

    struct Case {
        const char* id;
        int x, y, width, height;
    } cases[] = {{"1003", 0, 45, 210, 6},   {"1005", 0, 19, 210, 12},  {"1", 0, 0, 88, 13},
                 {"32777", 140, 0, 40, 12}, {"32778", 185, 0, 30, 10}, {"2", 90, 0, 45, 12},
                 {"1015", 207, 81, 6, 7},   {"1022", 0, 54, 207, 12}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(Control<QWidget>(*w, c.id)->geometry(), du.Rect(c.x, c.y, c.width, c.height));
    }
    // Adjacent rectangles stay adjacent after rounding.
    EXPECT_EQ(du.Rect(3, 5, 7, 9).right() + 1, du.X(10));

    // The combo box keeps its closed height; the template's 125 units are the open list.
    auto* combo = Control<QComboBox>(*w, "1002");
    const QRect r = du.Rect(0, 33, 210, 125);
    EXPECT_EQ(combo->geometry().topLeft(), r.topLeft());
    EXPECT_EQ(combo->width(), r.width());
    EXPECT_LT(combo->geometry().bottom(), Control<QWidget>(*w, "1003")->geometry().top());
    EXPECT_GE(combo->height(), du.Y(10));
    EXPECT_GT(combo->maxVisibleItems(), 3);
}

TEST_F(DialogTest, CompactLayoutEndsAboveTheMarker) {
    auto w = Start({kOwnDrive}, false);
    const DialogUnits& du = w->Units();
    auto* marker = Control<QWidget>(*w, "1015");
    // Measured before shrinking: the template's full size.
    EXPECT_EQ(w->FullWidth(), du.X(215));
    EXPECT_EQ(w->FullHeight(), du.Y(96));
    EXPECT_EQ(w->CompactWidth(), w->FullWidth());
    EXPECT_EQ(w->CompactHeight(), marker->geometry().top());
    EXPECT_EQ(w->width(), du.X(215));
    EXPECT_EQ(w->height(), std::max(w->CompactHeight() - w->CaptionAllowance(),
                                    Control<QWidget>(*w, "1022")->geometry().bottom() + 1));
    EXPECT_GT(w->CaptionAllowance(), 0);
    // The spare controls lie outside, every shown one inside.
    for (const char* id : {"1015", "1016", "1017", "1020", "1021"})
        EXPECT_GE(Control<QWidget>(*w, id)->geometry().bottom(), w->height()) << id;
    for (const char* id : {"1002", "1003", "1005", "1", "32777", "32778", "2", "1022"})
        EXPECT_LE(Control<QWidget>(*w, id)->geometry().bottom(), w->height()) << id;
}

TEST_F(DialogTest, ResearchTwiceGivesTheSameListSelectionAndSize) {
    auto w = Start({kOtherDrive, kOwnDrive, kOwnDrive});
    auto* combo = Control<QComboBox>(*w, "1002");
    auto snapshot = [&] {
        QStringList items;
        for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
        return std::tuple{items, combo->currentIndex(), w->size()};
    };
    const auto fresh = snapshot();
    EXPECT_EQ(std::get<0>(fresh).size(), 3);
    EXPECT_EQ(std::get<1>(fresh), 1);  // the first drive of the group
    for (int i = 0; i < 2; ++i) {
        Control<QPushButton>(*w, "32777")->click();
        EXPECT_EQ(snapshot(), fresh) << "Research " << i + 1;
    }
    EXPECT_TRUE(w->isVisible());
}

TEST_F(DialogTest, OnlyTheScanSelectsAnEntry) {
    ModalCloser closer;
    auto w = Start({kOwnDrive});
    auto* combo = Control<QComboBox>(*w, "1002");
    ASSERT_EQ(combo->currentIndex(), 0);
    // A Research that finds no drive of the family leaves the list without a selection, and
    // DownLoad then opens nothing.
    backend.drives = {FakeBackend::Drive(kOtherDrive), FakeBackend::Drive(kOtherDrive)};
    Control<QPushButton>(*w, "32777")->click();
    EXPECT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->currentIndex(), -1);
    backend.opens = 0;
    Control<QPushButton>(*w, "1")->click();
    EXPECT_EQ(backend.opens, 0);
    EXPECT_TRUE(backend.commands.empty());
}

// ---- commands ---------------------------------------------------------------------------------

TEST_F(DialogTest, CommandsAreInertWhileBusy) {
    ModalCloser closer;
    auto w = Start({kOwnDrive});
    const int opens = backend.opens, closes = backend.closes;
    backend.drives.push_back(FakeBackend::Drive(kOtherDrive));  // what a Research would list
    w->Dlg().m_bBusy = 1;
    host.restartResult = 1;

    auto key = [&](int k) {
        QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
        QCoreApplication::sendEvent(w.get(), &press);
    };
    Control<QPushButton>(*w, "2")->click();
    Control<QPushButton>(*w, "32777")->click();
    Control<QPushButton>(*w, "32778")->click();
    Control<QPushButton>(*w, "1")->click();
    key(Qt::Key_Escape);
    key(Qt::Key_Return);
    EXPECT_FALSE(w->close());
    PumpBriefly();

    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->QuitRequested());
    EXPECT_EQ(host.restarts, 0);
    EXPECT_EQ(backend.opens, opens);
    EXPECT_EQ(backend.closes, closes);
    EXPECT_EQ(w->ListCount(), 1);
    EXPECT_TRUE(closer.seen.empty());

    // Idle again: Research lists the drives anew.
    w->Dlg().m_bBusy = 0;
    Control<QPushButton>(*w, "32777")->click();
    EXPECT_EQ(w->ListCount(), 2);
    // Esc ends the dialog through Exit.
    key(Qt::Key_Escape);
    EXPECT_TRUE(w->QuitRequested());
    EXPECT_FALSE(w->isVisible());
    EXPECT_TRUE(w->Dlg().IsClosed());
}

TEST_F(DialogTest, ReBootClosesTheDialogOnlyWhenTheRestartIsAccepted) {
    ModalCloser closer;
    auto w = Start({kOwnDrive});
    for (int accepted : {0, 1}) {
        host.restartResult = accepted;
        Control<QPushButton>(*w, "32778")->click();
        PumpBriefly();
        EXPECT_EQ(host.restarts, accepted + 1);
        EXPECT_EQ(w->QuitRequested(), accepted == 1);
        EXPECT_EQ(w->isVisible(), accepted == 0);
        EXPECT_EQ(w->Dlg().IsClosed(), accepted == 1);
    }
    EXPECT_TRUE(closer.seen.empty());  // no message of its own either way
}

// While polkit asks for a password, ReBoot waits for logind's answer: the window repaints, Exit
// is inert, and the window closes only when the restart was accepted.
TEST_F(DialogTest, ReBootKeepsTheWindowAliveWhileLogindWaits) {
    for (bool accept : {false, true}) {
        ModalCloser closer;
        auto w = Start({kOwnDrive});
        Watcher watcher(*w);  // grabs the bar at each pump
        rt().ui = &watcher;
        host.restartResult = accept;
        host.pendingLooks = 600;
        bool busy = true;
        clock.SetAfterAdvance([&] {
            busy = busy && w->Dlg().m_bBusy == 1;
            Control<QPushButton>(*w, "2")->click();
        });
        Control<QPushButton>(*w, "32778")->click();
        clock.SetAfterAdvance(nullptr);
        EXPECT_EQ(watcher.bars.size(), 600u);
        EXPECT_TRUE(busy);
        EXPECT_EQ(w->Dlg().m_bBusy, 0);
        EXPECT_EQ(w->QuitRequested(), accept);
        EXPECT_EQ(w->isVisible(), !accept);
    }
}

TEST_F(DialogTest, EnterAndTheCloseBoxReachDownLoadAndExit) {
    ModalCloser closer;
    auto w = Start({kOwnDrive});
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(w.get(), &enter);
    PumpBriefly();
    EXPECT_EQ(backend.opens, 1);
    EXPECT_EQ(w->Dlg().m_bBusy, 0);
    EXPECT_TRUE(w->isVisible());

    EXPECT_TRUE(w->close());
    EXPECT_TRUE(w->QuitRequested());
    EXPECT_TRUE(w->Dlg().IsClosed());
}

TEST_F(DialogTest, DropsAreRefused) {
    auto w = Start({kOwnDrive});
    EXPECT_FALSE(w->acceptDrops());
    for (QWidget* c : w->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_FALSE(c->acceptDrops()) << c->objectName().toStdString();
}

// ---- signals ----------------------------------------------------------------------------------

TEST_F(DialogTest, StopSignalsWaitForTheDownloadToEnd) {
    FreshSignalPipe();
    ModalCloser closer;
    auto w = Start({kOwnDrive});

    for (int signo : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(signo);
        w->Dlg().m_bBusy = 1;
        raise(signo);
        PumpBriefly();
        EXPECT_FALSE(w->QuitRequested());
        EXPECT_TRUE(w->isVisible());
    }
    // The procedure returns: the next command sees the remembered stop and ends the program.
    w->Dlg().m_bBusy = 0;
    w->ListSelect(-1);  // DownLoad then does nothing of its own
    Control<QPushButton>(*w, "1")->click();
    EXPECT_TRUE(w->QuitRequested());
    EXPECT_EQ(w->ExitCode(), 128 + SIGTERM);  // the first of them
    EXPECT_TRUE(w->Dlg().IsClosed());
}

TEST_F(DialogTest, StopSignalWhenIdleEndsAtOnce) {
    FreshSignalPipe();
    auto w = Start({kOwnDrive});
    raise(SIGTERM);
    EXPECT_TRUE(PumpUntil([&] { return w->QuitRequested(); }));
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(w->ExitCode(), 128 + SIGTERM);
}

TEST_F(DialogTest, SigUsr1WaitsUntilAnOpenBoxIsClosed) {
    FreshSignalPipe();
    auto w = Start({kOwnDrive});
    // Only whether the DownLoad starts matters here, not the family's procedure.
    SetProcedureHookForTests([](CDISCFLASHDlg&) {});
    ModalCloser closer;
    int opensWhileOpen = -1;
    closer.handler = [&](QWidget* top) {
        raise(SIGUSR1);
        PumpBriefly();  // the pipe is read, but no download starts inside the box
        opensWhileOpen = backend.opens;
        static_cast<QMessageBox*>(top)->button(QMessageBox::Ok)->click();
    };
    w->MessageBox("HLV DRIVE [4740] NotFound", "LD4740", MB_OK, "");
    EXPECT_EQ(opensWhileOpen, 0);
    EXPECT_TRUE(PumpUntil([&] { return backend.opens == 1; }));
    SetProcedureHookForTests(nullptr);
}

TEST_F(DialogTest, StopSignalOutsideADownloadClosesOpenBoxes) {
    FreshSignalPipe();
    auto w = Start({kOwnDrive});
    ModalCloser closer;
    closer.handler = [&](QWidget* top) {
        raise(SIGTERM);  // the box is left open; should nothing close it, a user says Yes
        QTimer::singleShot(
            500, top, [top] { static_cast<QMessageBox*>(top)->button(QMessageBox::Yes)->click(); });
    };
    const int answer = w->MessageBox("Switch it off?", "LD4740", MB_YESNO, "");
    EXPECT_EQ(answer, IDNO);  // the safe answer
    EXPECT_TRUE(PumpUntil([&] { return w->QuitRequested(); }));

    // During a download the procedure's box waits for the user.
    w.reset();  // one window reads the signals
    auto v = Start({kOwnDrive});
    ModalCloser later;
    bool stillOpen = false;
    later.handler = [&](QWidget* top) {
        raise(SIGTERM);
        PumpBriefly();
        stillOpen = top->isVisible();
        static_cast<QMessageBox*>(top)->button(QMessageBox::Ok)->click();
    };
    v->Dlg().m_bBusy = 1;
    v->MessageBox("Down Load fault(NG-101)", "HLV DOWNLOAD", MB_ICONHAND, "");
    EXPECT_TRUE(stillOpen);
    EXPECT_FALSE(v->QuitRequested());
    v->Dlg().m_bBusy = 0;
}

TEST_F(DialogTest, BarAndStageLineMoveWhileTheCoreWaits) {
    auto w = Start({kOwnDrive});
    Watcher watcher(*w);
    rt().ui = &watcher;
    w->Dlg().m_nKind = 17;
    w->Dlg().m_bBusy = 1;
    w->Dlg().SetStage("Buffer flush ..");
    w->Dlg().SettleWait(5);
    w->Dlg().m_bBusy = 0;
    EXPECT_EQ(watcher.barValues, (std::vector<int>{1, 2, 3, 4, 5}));
    for (const QString& s : watcher.stages) EXPECT_EQ(s, "Buffer flush ..");
    ASSERT_EQ(watcher.bars.size(), 5u);
    for (size_t i = 1; i < watcher.bars.size(); ++i)
        EXPECT_NE(watcher.bars[i], watcher.bars[i - 1]) << "no repaint at step " << i + 1;
    EXPECT_EQ(w->ProgressValue(), 5);
    EXPECT_EQ(clock.ElapsedMs(), 5000u);  // virtual seconds, not real ones
}

TEST_F(DialogTest, WaitCursorStaysBalanced) {
    auto w = Start({}, false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    w->SetWaitCursor(true);
    w->SetWaitCursor(true);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    w->SetWaitCursor(false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    w->SetWaitCursor(true);
    w.reset();  // a window that goes while waiting gives the cursor back
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// ---- About ------------------------------------------------------------------------------------

TEST_F(DialogTest, AboutItemOpensTheAboutBoxAlsoWhileBusy) {
    auto w = Start({kOwnDrive});
    QAction* about = w->AboutAction();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->text(), "Version(DISCFLASH) (&A)...");

    ModalCloser closer;
    QRect aboutGeometry;
    std::map<QString, QString> texts;
    QString defaultButton;
    closer.handler = [&](QWidget* top) {
        if (auto* menu = qobject_cast<QMenu*>(top)) {
            menu->close();
            return;
        }
        auto* box = qobject_cast<AboutDialog*>(top);
        ASSERT_NE(box, nullptr);
        aboutGeometry = box->geometry();
        for (QLabel* l : box->findChildren<QLabel*>()) texts[l->objectName()] = l->text();
        for (QPushButton* b : box->findChildren<QPushButton*>())
            if (b->isDefault()) defaultButton = b->objectName() + ":" + b->text();
        box->accept();
    };
    // The context menu carries the item.
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(5, 5),
                                w->mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(w.get(), &menuEvent);
    ASSERT_EQ(closer.seen.size(), 1u);
    EXPECT_EQ(closer.seen[0].kind, "menu");
    EXPECT_EQ(closer.seen[0].buttons, QStringList{"Version(DISCFLASH) (&A)..."});

    w->Dlg().m_bBusy = 1;
    about->trigger();
    ASSERT_EQ(closer.seen.size(), 2u);
    EXPECT_EQ(closer.seen[1].kind, "about");
    EXPECT_EQ(closer.seen[1].title, "HLV DOWNLOAD UTILITY Information  ");
    EXPECT_EQ(texts["1009"], "HLV DOWN LOAD UTILITY");
    EXPECT_TRUE(texts["1006"].startsWith(" Version 1.100"));
    EXPECT_GT(texts["1006"].size(), QString(" Version 1.100").size());
    EXPECT_EQ(texts["1007"], "HALVERON ELECTRONICS IND. CO., LTD");
    EXPECT_FALSE(texts["1008"].trimmed().isEmpty());
    EXPECT_EQ(defaultButton, "1:OK");
    const DialogUnits du(DialogFont());
    EXPECT_EQ(aboutGeometry.size(), QSize(du.X(219), du.Y(85)));
}

// ---- UI port ----------------------------------------------------------------------------------

TEST_F(DialogTest, ListOperationsFollowTheControl) {
    auto w = Start({}, false);
    w->ListClear();
    EXPECT_EQ(w->ListCount(), 0);
    EXPECT_EQ(w->ListSelected(), -1);
    w->ListAdd("first");
    EXPECT_EQ(w->ListSelected(), -1);  // adding never selects, not even the first entry
    w->ListAdd("second");
    struct Case {
        int select, expected;
    };
    for (Case c : {Case{1, 1}, Case{0, 0}, Case{2, -1}, Case{1, 1}, Case{-1, -1}, Case{99, -1}}) {
        w->ListSelect(c.select);
        EXPECT_EQ(w->ListSelected(), c.expected) << c.select;
    }
    EXPECT_EQ(w->ListCount(), 2);
    // Entries keep the order they were added in (the list is not sorted), blanks and all.
    w->ListAdd(" a third  ");
    EXPECT_EQ(Control<QComboBox>(*w, "1002")->itemText(2), " a third  ");
    // Identity bytes that are not UTF-8 still show.
    w->SetIdentity(std::string("ID\xe9", 3));
    EXPECT_EQ(Control<QLineEdit>(*w, "1005")->text(), QString::fromLatin1("ID\xe9"));
}

TEST_F(DialogTest, ProgressBarBehavesLikeThePlatformControl) {
    auto w = Start({}, false);
    QProgressBar* bar = w->Progress();
    w->ProgressRange(0, 10);
    w->ProgressStepSize(3);
    w->ProgressPos(0);
    std::vector<int> seen;
    for (int i = 0; i < 5; ++i) {
        w->ProgressStep();
        seen.push_back(w->ProgressValue());
        EXPECT_EQ(bar->value(), w->ProgressValue());
    }
    EXPECT_EQ(seen, (std::vector<int>{3, 6, 9, 2, 5}));  // past the end it starts again
    w->ProgressPos(50);                                  // positions are held inside the range
    EXPECT_EQ(w->ProgressValue(), 10);
    EXPECT_EQ(bar->value(), 10);
    w->ProgressPos(-5);
    EXPECT_EQ(w->ProgressValue(), 0);
    // 32-bit ranges beyond 16 bits
    w->ProgressRange(0, 1 << 20);
    w->ProgressPos(1 << 19);
    EXPECT_EQ(bar->maximum(), 1 << 20);
    EXPECT_EQ(bar->value(), 1 << 19);
    // An empty range shows an empty bar rather than a busy animation.
    w->ProgressRange(0, 0);
    w->ProgressPos(0);
    EXPECT_LT(bar->minimum(), bar->maximum());
    EXPECT_EQ(bar->value(), bar->minimum());
}

TEST_F(DialogTest, StageLineShowsItsText) {
    auto w = Start({}, false);
    w->SetStage("Writing firmware to the drive, piece after piece, until the image is in");
    auto* stage = Control<QLineEdit>(*w, "1022");
    EXPECT_EQ(stage->text().left(7), "Writing");
    EXPECT_EQ(stage->cursorPosition(), 0);  // the beginning stays in view
    w->SetStage(" ");
    EXPECT_EQ(stage->text(), " ");
}

TEST_F(DialogTest, MessageBoxesMapTypesToIconsButtonsAndAnswers) {
    auto w = Start({}, false);
    struct Case {
        unsigned type;
        QMessageBox::Icon icon;
        QStringList buttons;
        QMessageBox::StandardButton press;
        int answer;
        QMessageBox::StandardButton byDefault;  // what Enter presses
    };
    const auto Ok = QMessageBox::Ok, Yes = QMessageBox::Yes, No = QMessageBox::No;
    const Case cases[] = {
        {MB_OK, QMessageBox::NoIcon, {"&OK"}, Ok, IDOK, Ok},
        {MB_ICONHAND, QMessageBox::Critical, {"&OK"}, Ok, IDOK, Ok},
        {MB_ICONEXCLAMATION, QMessageBox::Warning, {"&OK"}, Ok, IDOK, Ok},
        {MB_YESNO, QMessageBox::NoIcon, {"&Yes", "&No"}, Yes, IDYES, Yes},
        {MB_YESNO | MB_ICONEXCLAMATION, QMessageBox::Warning, {"&Yes", "&No"}, No, IDNO, Yes},
        {MB_YESNO | MB_DEFBUTTON2, QMessageBox::NoIcon, {"&Yes", "&No"}, Yes, IDYES, No},
    };
    // The cause beneath the text carries drive bytes: markup in it shows as it is.
    const char* cause = "emu:sr0: \"<b>ACME</b> &amp;\" is of no family this program knows.";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        ModalCloser closer;
        QMessageBox::StandardButton byDefault = QMessageBox::NoButton;
        closer.handler = [&](QWidget* top) {
            auto* box = qobject_cast<QMessageBox*>(top);
            ASSERT_NE(box, nullptr);
            byDefault = box->standardButton(box->defaultButton());
            box->button(c.press)->click();
        };
        const int answer = w->MessageBox("Down Load fault(NG-100)\n<b>02-3a-0 </b>", "HLV DOWNLOAD",
                                         c.type, cause);
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(byDefault, c.byDefault);
        ASSERT_EQ(closer.seen.size(), 1u);
        EXPECT_EQ(closer.seen[0].title, "HLV DOWNLOAD");
        EXPECT_EQ(closer.seen[0].text, "Down Load fault(NG-100)\n<b>02-3a-0 </b>");
        EXPECT_EQ(closer.seen[0].icon, c.icon);
        EXPECT_EQ(closer.seen[0].detail, cause);
        EXPECT_FALSE(closer.seen[0].detailMarkup);
        QStringList buttons = closer.seen[0].buttons;
        for (QString& b : buttons) b.remove('&');
        QStringList expected = c.buttons;
        for (QString& b : expected) b.remove('&');
        std::sort(buttons.begin(), buttons.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(buttons, expected);
    }
}

// A file request as a procedure makes it from its filter string.
FileRequest Request(const char* filter, const char* initialName) {
    FileRequest r;
    r.title = kFileDialogTitle;
    r.filters = ParseFileFilter(filter);
    r.initialName = initialName;
    r.defaultExt = std::string(initialName + 2);
    return r;
}

QStringList ListedFiles(QFileDialog& dialog, const QString& dir) {
    auto* model = dialog.findChild<QFileSystemModel*>();
    if (!model) return {};
    const QModelIndex parent = model->index(dir);
    PumpUntil([&] {
        model->fetchMore(parent);
        return model->rowCount(parent) > 0;
    });
    PumpBriefly();
    QStringList names;
    for (int i = 0; i < model->rowCount(parent); ++i) {
        const QModelIndex idx = model->index(i, 0, parent);
        if (model->flags(idx) & Qt::ItemIsEnabled) names << idx.data().toString();
    }
    names.sort();
    return names;
}

TEST_F(DialogTest, FileDialogShowsTheProceduresFiltersAsGivenAndIgnoresCase) {
    QTemporaryDir dir;
    for (const char* name : {"A.BIN", "b.bin", "C.Rom", "e.rom", "d.txt", "noext"}) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const QStringList bins = {"A.BIN", "b.bin"};
    struct Case {
        const char* filter;
        const char* initialName;
        QStringList firstListing;
    };
    const Case cases[] = {{kFilterA, "*.BIN", bins},
                          {kFilterB, "*.BIN", bins},
                          {kFilterC, "*.ROM", {"C.Rom", "e.rom"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        const FileRequest r = Request(c.filter, c.initialName);
        QFileDialog dialog;
        DialogWindow::ConfigureFileDialog(dialog, r);
        dialog.setDirectory(dir.path());
        EXPECT_EQ(dialog.windowTitle(), "DOWN LOAD FILE OPEN");
        EXPECT_EQ(dialog.defaultSuffix().toStdString(), r.defaultExt);
        EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
        EXPECT_EQ(dialog.findChild<QLineEdit*>("fileNameEdit")->text(), c.initialName);
        auto* combo = dialog.findChild<QComboBox*>("fileTypeCombo");
        ASSERT_NE(combo, nullptr);
        ASSERT_EQ(combo->count(), static_cast<int>(r.filters.size()));
        for (int i = 0; i < combo->count(); ++i)  // blanks kept
            EXPECT_EQ(combo->itemText(i).toStdString(), r.filters[static_cast<size_t>(i)].first);
        EXPECT_EQ(combo->currentIndex(), 0);
        EXPECT_EQ(ListedFiles(dialog, dir.path()), c.firstListing);
    }

    // The user picks " All Files (*.*) ": "*.*" takes every file, with or without a dot.
    QFileDialog dialog;
    DialogWindow::ConfigureFileDialog(dialog, Request(kFilterB, "*.BIN"));
    dialog.setDirectory(dir.path());
    const QStringList all = {"A.BIN", "C.Rom", "b.bin", "d.txt", "e.rom", "noext"};
    auto* combo = dialog.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_EQ(combo->itemText(1), " All Files (*.*) ");
    for (int index : {1, 0}) {
        combo->setCurrentIndex(index);
        emit combo->activated(index);
        emit combo->textActivated(combo->itemText(index));
        EXPECT_EQ(ListedFiles(dialog, dir.path()), index ? all : bins);
    }
}

TEST_F(DialogTest, ChooseFileAddsTheDefaultSuffixOrReportsCancel) {
    QTemporaryDir dir;
    {
        QFile f(dir.filePath("fw.BIN"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        QFile g(dir.filePath("notes.txt"));
        ASSERT_TRUE(g.open(QIODevice::WriteOnly));
    }
    auto w = Start({}, false);
    std::string path;
    QStringList listed;
    {
        ModalCloser closer;  // cancels
        EXPECT_FALSE(w->ChooseFile(Request(kFilterB, "*.BIN"), path));
        ASSERT_EQ(closer.seen.size(), 1u);
        EXPECT_EQ(closer.seen[0].kind, "file");
        EXPECT_EQ(closer.seen[0].title, "DOWN LOAD FILE OPEN");
        EXPECT_TRUE(path.empty());
    }
    {
        ModalCloser closer;
        closer.handler = [&](QWidget* top) {
            auto* fd = qobject_cast<QFileDialog*>(top);
            ASSERT_NE(fd, nullptr);
            fd->setDirectory(dir.path());
            listed = ListedFiles(*fd, dir.path());
            fd->findChild<QLineEdit*>("fileNameEdit")->setText("fw");  // typed without extension
            static_cast<QDialog*>(fd)->accept();  // the file dialog's own accept
        };
        EXPECT_TRUE(w->ChooseFile(Request(kFilterB, "*.BIN"), path));
        EXPECT_EQ(listed, QStringList{"fw.BIN"});  // the filter holds in the running dialog
        EXPECT_EQ(QString::fromStdString(path), QDir(dir.path()).absoluteFilePath("fw.BIN"));
    }
}

// ---- front end --------------------------------------------------------------------------------

DialogWindow* g_wrapped = nullptr;
int g_wraps = 0;
UiPort* Wrap(UiPort* ui) {
    ++g_wraps;
    g_wrapped = dynamic_cast<DialogWindow*>(ui);
    return ui;
}

TEST_F(DialogTest, RunDialogEndsAtOnceWhenStartUpRefuses) {
    backend.loadResult = 0;  // no transport
    g_wraps = 0;
    ModalCloser closer;
    int argc = 1;
    char name[] = "LD4740";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(RunDialog(argc, argv, &Wrap), 0);
    EXPECT_EQ(g_wraps, 1);
    EXPECT_EQ(rt().ui, nullptr);  // the window is gone, and so is the port
}

TEST_F(DialogTest, RunDialogTakesTheFileAndEndsOnExit) {
    backend.drives.push_back(FakeBackend::Drive(kOwnDrive));
    g_wraps = 0;
    g_wrapped = nullptr;
    ModalCloser closer;
    std::string seenPath;
    bool wasVisible = false, closed = false;
    QTimer::singleShot(20, [&] {
        ASSERT_NE(g_wrapped, nullptr);
        seenPath = g_wrapped->Dlg().m_strFirmwarePath;
        wasVisible = g_wrapped->isVisible();
        Control<QPushButton>(*g_wrapped, "2")->click();
        closed = g_wrapped->Dlg().IsClosed();
    });
    rt().commandLineFile = "fw.bin";
    int argc = 3;
    char name[] = "LD4740", opt[] = "--trace=/dev/null", file[] = "fw.bin";
    char* argv[] = {name, opt, file, nullptr};
    EXPECT_EQ(RunDialog(argc, argv, &Wrap), 0);
    EXPECT_EQ(g_wraps, 1);
    EXPECT_TRUE(wasVisible);
    EXPECT_EQ(seenPath, "fw.bin");
    EXPECT_EQ(rt().ui, nullptr);
    EXPECT_TRUE(closed);
}

// ---- screenshot -------------------------------------------------------------------------------

TEST_F(DialogTest, Screenshot) {
    auto w = Start({kOwnDrive, kOtherDrive});
    w->ProgressRange(0, 10);
    w->ProgressPos(4);
    w->SetStage("Download Start");
    PumpBriefly();
    ASSERT_TRUE(QDir().mkpath(DISCFLASH_SCREENSHOT_DIR));
    const QPixmap shot = w->grab();
    ASSERT_FALSE(shot.isNull());
    EXPECT_EQ(shot.size(), w->size());
    const QString path = DISCFLASH_SCREENSHOT_DIR "/main_dialog.png";
    ASSERT_TRUE(shot.save(path));
    QImage back(path);
    ASSERT_FALSE(back.isNull());
    EXPECT_EQ(back.size(), w->size() * shot.devicePixelRatio());
    // Something is drawn: not a single flat colour.
    bool varied = false;
    for (int y = 0; y < back.height() && !varied; y += 3)
        for (int x = 0; x < back.width() && !varied; x += 3)
            varied = back.pixel(x, y) != back.pixel(0, 0);
    EXPECT_TRUE(varied);

    AboutDialog about(w.get());
    about.show();
    PumpBriefly();
    ASSERT_TRUE(about.grab().save(DISCFLASH_SCREENSHOT_DIR "/about_box.png"));
}

}  // namespace
