// A whole DownLoad, in process: start-up, scan and one DownLoad of the named program over
// emulated drives, through the real back end of the chosen transport, on the virtual clock.
// What the program sent comes back from its own trace, one line a command:
//   "<cdb hex> <dir> <len>"  and " nowait" for a command started without waiting.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "drives/main_dialog.h"
#include "emu/emulated_session.h"
#include "emu/sample_images.h"
#include "support/test_env.h"
#include "system/trace.h"

// A trace line's field, as written (quotes removed).
inline std::string TraceField(const std::string& line, const std::string& name) {
    std::string key = "\"" + name + "\":";
    size_t at = line.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

// A trace line of a command as "<cdb hex> <dir> <len>[ nowait]"; false for other lines.
inline bool TraceCommandLine(const std::string& line, std::string& command) {
    if (line.find("\"ev\":\"cmd\"") == std::string::npos) return false;
    command =
        TraceField(line, "cdb") + " " + TraceField(line, "dir") + " " + TraceField(line, "len");
    if (TraceField(line, "wait") == "false") command += " nowait";
    return true;
}

inline std::vector<EmulatedDriveSpec> EmulatedSpecs(const std::vector<std::string>& drives) {
    std::vector<EmulatedDriveSpec> specs;
    std::string error;
    EXPECT_TRUE(ParseEmulateOptions(drives, specs, error)) << error;
    return specs;
}

struct EmulatedRun {
    // ---- what to run ----
    std::string program = "LD4740";
    std::vector<std::string> drives = {"LD4740"};  // --emulate values
    TransportChoice transport = TransportChoice::Sr;
    std::vector<uint8_t> image;
    uint64_t fileSize = 0;  // when above the image's: the file stretched, sparse, to this length
    std::string file;       // when set: this path instead of the file written from `image`
    // true: the file comes from the command line (identification in order B); false: from the
    // file dialog, for the drive selected by the scan or by `select`.
    bool commandLine = true;
    int select = -1;
    bool research = false;  // Research once the DownLoad has ended

    // ---- what happened ----
    std::vector<std::string> commands;  // every command of the DownLoad, from the trace
    std::vector<std::string> trace;     // every trace line of the DownLoad
    std::vector<ShownMessage> messages;
    std::vector<std::string> stages;
    Outcome outcome = Outcome::NothingDone;
    bool quit = false;                    // the procedure ended the program
    std::vector<std::string> notes;       // every note of the whole run
    std::vector<std::string> researched;  // the list after Research
    std::vector<EmulatedDrive*> emulated;

    EmulatedRun() = default;
    EmulatedRun(const EmulatedRun&) = delete;
    EmulatedRun& operator=(const EmulatedRun&) = delete;
    ~EmulatedRun() {
        session_.reset();
        if (!path_.empty()) std::remove(path_.c_str());
        if (traceFile_) std::fclose(traceFile_);
    }

    // The program `id` over one drive of its own family with these --emulate keys (",k=v...").
    EmulatedRun& Of(const std::string& id, const std::string& keys = "",
                    TransportChoice t = TransportChoice::Sr) {
        program = id;
        drives = {id + keys};
        transport = t;
        return *this;
    }

    // A sample image of the program's family.
    static std::vector<uint8_t> Sample(const std::string& id, uint32_t size) {
        std::vector<uint8_t> image;
        std::string error;
        EXPECT_TRUE(MakeSampleImage(id, size, image, error)) << error;
        return image;
    }

    EmulatedRun& Run() {
        traceFile_ = std::tmpfile();
        trace_ = std::make_unique<Trace>(traceFile_);
        session_ = std::make_unique<EmulatedSession>(program, EmulatedSpecs(drives), transport, ui_,
                                                     trace_.get());
        for (size_t i = 0; i < session_->Port().DriveCount(); ++i)
            emulated.push_back(&session_->Port().Drive(i));

        path_ = ::testing::TempDir() + "emulated_run_" + std::to_string(::getpid()) + ".bin";
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
        EXPECT_TRUE(fileSize <= image.size() || ::truncate(path_.c_str(), fileSize) == 0);
        const std::string& used = file.empty() ? path_ : file;

        CDISCFLASHDlg dlg;
        if (commandLine)
            dlg.m_strFirmwarePath = used;
        else
            ui_.files.push_back(used);
        if (dlg.OnInitDialog()) {
            if (select >= 0) ui_.ListSelect(select);
            std::fflush(traceFile_);
            long mark = std::ftell(traceFile_);
            dlg.OnOK();
            ReadTrace(mark);
            if (research) {
                dlg.OnResearch();
                researched = ui_.list;
            }
        }
        notes = ui_.notes;
        messages = ui_.messages;
        stages = ui_.stages;
        outcome = dlg.LastOutcome();
        quit = dlg.IsClosed();
        return *this;
    }

    std::vector<std::string> MessageTexts() const { return ui_.MessageTexts(); }
    VirtualClock& clock() { return session_->Clock(); }
    FakeUi& ui() { return ui_; }

  private:
    void ReadTrace(long from) {
        std::fflush(traceFile_);
        std::fseek(traceFile_, from, SEEK_SET);
        char buf[4096];
        while (std::fgets(buf, sizeof buf, traceFile_)) {
            std::string line(buf);
            if (!line.empty() && line.back() == '\n') line.pop_back();
            trace.push_back(line);
            std::string c;
            if (TraceCommandLine(line, c)) commands.push_back(c);
        }
    }

    FakeUi ui_;
    FILE* traceFile_ = nullptr;
    std::unique_ptr<Trace> trace_;
    std::unique_ptr<EmulatedSession> session_;
    std::string path_;
};

// Drives of these --emulate values behind the chosen back end, on the virtual clock; listed and the
// first one opened unless `open` is false.
struct EmulatedTransport {
    FakeUi ui;
    std::unique_ptr<EmulatedSession> session;

    explicit EmulatedTransport(TransportChoice t, const std::vector<std::string>& drives,
                               bool open = true, const char* program = "LD4740") {
        session = std::make_unique<EmulatedSession>(program, EmulatedSpecs(drives), t, ui);
        if (!open) return;
        EXPECT_EQ(InitTransport(), 1);
        driveCount = EnumerateDrives(kDriveTableCapacity, driveTable);
        EXPECT_GE(driveCount, 1);
        EXPECT_EQ(OpenDrive(driveTable[0]), 1);
    }
    VirtualClock& clock() { return session->Clock(); }
    EmulatedDrive& drive(size_t i = 0) { return session->Port().Drive(i); }
};

// Pieces of expected command tables.
namespace expect {

inline const TransportChoice kBothTransports[] = {TransportChoice::Sr, TransportChoice::Sg};
inline const char* TransportName(TransportChoice t) {
    return t == TransportChoice::Sr ? "sr" : "sg";
}

inline std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[3];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02x", v);
        s += b;
    }
    return s;
}
// A WRITE BUFFER or READ BUFFER line: "3b" / "3c", mode, buffer id, offset, length.
inline std::string Buffer(uint8_t op, uint8_t mode, uint8_t id, uint32_t offset, uint32_t length,
                          uint32_t hostLength) {
    std::vector<uint8_t> c = {op,
                              mode,
                              id,
                              static_cast<uint8_t>(offset >> 16),
                              static_cast<uint8_t>(offset >> 8),
                              static_cast<uint8_t>(offset),
                              static_cast<uint8_t>(length >> 16),
                              static_cast<uint8_t>(length >> 8),
                              static_cast<uint8_t>(length),
                              0};
    return Hex(c) + (op == 0x3B ? " out " : " in ") + std::to_string(hostLength);
}
// A 12-byte vendor command that carries an offset and a length as the buffer commands do.
inline std::string Vendor12(uint8_t op, uint32_t offset, uint32_t length, const char* dir) {
    std::string line = Buffer(op, 0, 0, offset, length, length);
    return line.substr(0, 20) + "0000" + " " + dir + " " + std::to_string(length);
}
inline std::string Write(uint8_t mode, uint8_t id, uint32_t offset, uint32_t length) {
    return Buffer(0x3B, mode, id, offset, length, length);
}
inline std::string Read(uint8_t mode, uint8_t id, uint32_t offset, uint32_t length) {
    return Buffer(0x3C, mode, id, offset, length, length);
}
inline const std::string kTur = "000000000000 none 0";
inline std::string Inquiry(uint32_t hostLength = 36) {
    return "120000002400 in " + std::to_string(hostLength);
}
// The switch between main program and loader: INQUIRY, then 0xCC with 28 bytes.
inline std::vector<std::string> Switch() {
    return {Inquiry(), "cc000000000000001c000000 out 28"};
}

// The boxes shown, each as "caption|icon|text" (icon: stop, excl or none).
inline std::vector<std::string> Boxes(const std::vector<ShownMessage>& shown) {
    std::vector<std::string> boxes;
    for (const ShownMessage& m : shown) {
        unsigned icon = m.type & MB_ICON_MASK;
        boxes.push_back(m.caption + "|" +
                        (icon == MB_ICONHAND          ? "stop"
                         : icon == MB_ICONEXCLAMATION ? "excl"
                                                      : "none") +
                        "|" + m.text);
    }
    return boxes;
}
inline std::vector<std::string> Boxes(const EmulatedRun& run) {
    return Boxes(run.messages);
}

// A drive picked in the list that is not of the program's family is programmed only on Yes to a
// question first: answers it, and takes it off the front of the boxes shown.
inline bool PickedOfAnotherFamily(EmulatedRun& run, const std::string& program,
                                  const std::string& picked) {
    if (picked.substr(0, picked.find(',')) == program) return false;
    run.ui().answers = {IDYES};
    return true;
}
inline void TakeQuestion(std::vector<std::string>& boxes, const std::string& program) {
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes[0].rfind("HLV DOWNLOAD|excl|The drive \"", 0), 0u) << boxes[0];
    EXPECT_NE(boxes[0].find("not of the " + program + " family"), std::string::npos) << boxes[0];
    boxes.erase(boxes.begin());
}

// Appends lines to a table.
inline void Add(std::vector<std::string>& to, const std::vector<std::string>& lines) {
    to.insert(to.end(), lines.begin(), lines.end());
}
inline void Add(std::vector<std::string>& to, const std::string& line, int times = 1) {
    for (int i = 0; i < times; ++i) to.push_back(line);
}

}  // namespace expect
