// The Info tab: a browser pane showing the intro pages of the tool folder or of the maker's web
// site, with back, forward, home and refresh buttons.
#pragma once

#include <QTextBrowser>
#include <QWidget>

#include <string>

class QToolButton;

// A text browser that also fetches http and https pages (through the download layer).
class TIntroBrowser : public QTextBrowser {
    Q_OBJECT
public:
    using QTextBrowser::QTextBrowser;
    QVariant loadResource(int type, const QUrl& name) override;
    // Shows the page at an address ("file://...", "http://...").
    void navigate(const std::string& address);
};

class TInfoTab : public QWidget {
    Q_OBJECT
public:
    explicit TInfoTab(QWidget* parent = nullptr);

    TIntroBrowser* wbIntro;
    QToolButton* SpeedButton2; // back
    QToolButton* SpeedButton1; // forward
    QToolButton* SpeedButton3; // home
    QToolButton* SpeedButton4; // refresh

    void SpeedButton2Click();
    void SpeedButton1Click();
    void SpeedButton3Click();
    void SpeedButton4Click();
};
