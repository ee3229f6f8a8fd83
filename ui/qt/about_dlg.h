// The about box: the program's description, version and legal text from its
// own file, and the notice about the null-modem driver.
#pragma once

#include <QDialog>
#include <string>

class QLabel;

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    // `programPath` is the file whose version data is shown ("" for the
    // running program).
    explicit CAboutDlg(QWidget* parent = nullptr, const std::string& programPath = {});

    QLabel* descriptionLabel() const { return description_; }
    QLabel* versionLabel() const { return version_; }
    QLabel* legalLabel() const { return legal_; }
    QLabel* noticeLabel() const { return notice_; }

  private:
    QLabel* description_;
    QLabel* version_;
    QLabel* legal_;
    QLabel* notice_;
};
