// File > "Log to File...": the log's file, its format and whether what is sent goes in too.
#pragma once

#include "LogWriter.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TLogDialog : public QDialog {
    Q_OBJECT
public:
    explicit TLogDialog(QWidget* parent = nullptr);

    QString file() const;
    TLogFormat format() const;
    bool withSent() const;
    void setChoice(const QString& file, TLogFormat format, bool withSent);

    QLineEdit* edtLogFile;
    QPushButton* btnBrowse;
    QComboBox* cboLogFormat;
    QCheckBox* chkLogSent;
    // What happens to the chosen file: appended to, created; where sent data goes.
    QLabel* lblLogNote;
    QPushButton* btnStart;

private:
    void browse();
    void updateNote();
};
