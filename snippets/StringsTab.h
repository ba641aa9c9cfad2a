// The Strings tab: the snippet libraries of the selected device.
#pragma once

#include <QWidget>

#include <string>

class QLabel;
class TToolContext;

class TStringsTab : public QWidget {
    Q_OBJECT
public:
    explicit TStringsTab(TToolContext& context, QWidget* parent = nullptr);

    QLabel* lblCurrentPath;

    void resetStringsTab();
    // The device's snippet folder (full path ending "/") and file mask: lblCurrentPath shows the
    // folder; when mask is longer than one character the matching library files are listed.
    void setLibraryFolder(const std::string& folder, const std::string& mask);

private:
    TToolContext& context_;
};
