// The About box: program name, version, maker.
#pragma once

#include <QDialog>

class AboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

// The texts of the About box, for whoever shows them elsewhere.
extern const char* const kAboutCaption;
extern const char* const kAboutTitle;
extern const char* const kAboutVersion;
extern const char* const kAboutMaker;
extern const char* const kAboutDepartment;
