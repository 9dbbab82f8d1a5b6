// A UI port that records what the core shows and answers boxes and file dialogs from a script.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "system/ports.h"

struct ShownMessage {
    std::string text;
    std::string caption;
    unsigned type;
    std::string detail;
};

class FakeUi : public UiPort {
  public:
    // drive list
    std::vector<std::string> list;
    int selected = -1;
    // bars and lines
    int32_t low = 0, high = 100, step = 10, pos = 0;
    int stepCalls = 0;
    std::string stage, identity;
    std::vector<std::string> stages;  // every text written to the stage line
    std::vector<int32_t> positions;   // every position the bar took (steps included)
    // boxes and files
    std::vector<ShownMessage> messages;
    std::deque<int> answers;        // for Yes/No boxes; IDNO when empty
    std::deque<std::string> files;  // chosen paths; empty: cancelled
    std::vector<FileRequest> fileRequests;
    int pumps = 0;
    int compactLayouts = 0;
    int quitCode = -1;
    bool waitCursor = false;

    void ListClear() override {
        list.clear();
        selected = -1;
    }
    void ListAdd(const std::string& text) override { list.push_back(text); }
    void ListSelect(int index) override {
        selected = (index >= 0 && index < static_cast<int>(list.size())) ? index : -1;
    }
    int ListSelected() override { return selected; }
    int ListCount() override { return static_cast<int>(list.size()); }
    void ProgressRange(int32_t l, int32_t h) override {
        low = l;
        high = h;
    }
    void ProgressStepSize(int32_t s) override { step = s; }
    void ProgressStep() override {
        ++stepCalls;
        pos += step;
        if (pos > high) pos = low + (pos - high);  // the control wraps past its end
        positions.push_back(pos);
    }
    void ProgressPos(int32_t p) override {
        pos = p;
        positions.push_back(pos);
    }
    void SetStage(const std::string& text) override {
        stage = text;
        stages.push_back(text);
    }
    void SetIdentity(const std::string& text) override { identity = text; }
    int MessageBox(const std::string& text, const std::string& caption, unsigned type,
                   const std::string& detail) override {
        messages.push_back({text, caption, type, detail});
        if ((type & MB_BUTTONS_MASK) == MB_YESNO) {
            if (answers.empty()) return IDNO;
            int a = answers.front();
            answers.pop_front();
            return a;
        }
        return IDOK;
    }
    bool ChooseFile(const FileRequest& request, std::string& path) override {
        fileRequests.push_back(request);
        if (files.empty()) return false;
        path = files.front();
        files.pop_front();
        return true;
    }
    void PumpMessages() override { ++pumps; }
    void SetWaitCursor(bool on) override { waitCursor = on; }
    void MeasureLayout() override {}
    void ApplyCompactSize() override { ++compactLayouts; }
    void Quit(int exitCode) override { quitCode = exitCode; }
    void Note(const std::string& text) override { notes.push_back(text); }
    std::vector<std::string> notes;

    std::vector<std::string> MessageTexts() const {
        std::vector<std::string> v;
        for (const auto& m : messages) v.push_back(m.text);
        return v;
    }
};
