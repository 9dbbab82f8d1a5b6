// A window that shows nothing, for runs with nobody to ask: keeps the list (DownLoad reads the
// selection), the boxes' texts and the notes, and answers No to every question.
#pragma once

#include <string>
#include <vector>

#include "system/ports.h"

class SilentUi : public UiPort {
  public:
    std::vector<std::string> messages;
    std::vector<std::string> notes;

    void ListClear() override {
        list_ = 0;
        selected_ = -1;
    }
    void ListAdd(const std::string&) override { ++list_; }
    void ListSelect(int index) override { selected_ = index >= 0 && index < list_ ? index : -1; }
    int ListSelected() override { return selected_; }
    int ListCount() override { return list_; }
    void ProgressRange(int32_t, int32_t) override {}
    void ProgressStepSize(int32_t) override {}
    void ProgressStep() override {}
    void ProgressPos(int32_t) override {}
    void SetStage(const std::string&) override {}
    void SetIdentity(const std::string&) override {}
    int MessageBox(const std::string& text, const std::string&, unsigned type,
                   const std::string&) override {
        messages.push_back(text);
        return (type & MB_BUTTONS_MASK) == MB_YESNO ? IDNO : IDOK;
    }
    bool ChooseFile(const FileRequest&, std::string&) override { return false; }
    void PumpMessages() override {}
    void SetWaitCursor(bool) override {}
    void MeasureLayout() override {}
    void ApplyCompactSize() override {}
    void Quit(int) override {}
    void Note(const std::string& text) override { notes.push_back(text); }

  private:
    int list_ = 0;
    int selected_ = -1;
};
