#include "InfoTab.h"

#include "Catalogue.h"
#include "Download.h"
#include "Latin1.h"

#include <QHBoxLayout>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

QVariant TIntroBrowser::loadResource(int type, const QUrl& name)
{
    const QString scheme = name.scheme().toLower();
    if (scheme == "http" || scheme == "https") {
        const std::string data = fetchUrl(name.toString().toStdString());
        return QByteArray(data.data(), static_cast<qsizetype>(data.size()));
    }
    return QTextBrowser::loadResource(type, name);
}

void TIntroBrowser::navigate(const std::string& address)
{
    const QUrl url(latin1(address));
    // A page of the same address is loaded afresh: the file or the site may have changed.
    if (url == source())
        reload();
    else
        setSource(url);
}

TInfoTab::TInfoTab(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(2);
    auto button = [this, buttons](const char* name, QStyle::StandardPixmap icon, const char* hint) {
        auto* b = new QToolButton(this);
        b->setObjectName(name);
        b->setIcon(style()->standardIcon(icon));
        b->setToolTip(hint);
        b->setAutoRaise(true);
        buttons->addWidget(b);
        return b;
    };
    SpeedButton2 = button("SpeedButton2", QStyle::SP_ArrowBack, "Back");
    SpeedButton1 = button("SpeedButton1", QStyle::SP_ArrowForward, "Forward");
    SpeedButton3 = button("SpeedButton3", QStyle::SP_DirHomeIcon, "Home");
    SpeedButton4 = button("SpeedButton4", QStyle::SP_BrowserReload, "Refresh");
    buttons->addStretch(1);
    layout->addLayout(buttons);
    wbIntro = new TIntroBrowser(this);
    wbIntro->setObjectName("wbIntro");
    wbIntro->setOpenExternalLinks(false);
    wbIntro->setOpenLinks(true);
    layout->addWidget(wbIntro, 1);

    // Back and forward are offered only when the browser's history has somewhere to go.
    SpeedButton2->setEnabled(false);
    SpeedButton1->setEnabled(false);
    connect(wbIntro, &QTextBrowser::backwardAvailable, SpeedButton2, &QWidget::setEnabled);
    connect(wbIntro, &QTextBrowser::forwardAvailable, SpeedButton1, &QWidget::setEnabled);
    connect(SpeedButton2, &QToolButton::clicked, this, &TInfoTab::SpeedButton2Click);
    connect(SpeedButton1, &QToolButton::clicked, this, &TInfoTab::SpeedButton1Click);
    connect(SpeedButton3, &QToolButton::clicked, this, &TInfoTab::SpeedButton3Click);
    connect(SpeedButton4, &QToolButton::clicked, this, &TInfoTab::SpeedButton4Click);
}

void TInfoTab::SpeedButton2Click()
{
    wbIntro->backward();
}

void TInfoTab::SpeedButton1Click()
{
    wbIntro->forward();
}

void TInfoTab::SpeedButton3Click()
{
    wbIntro->navigate(homeUrl);
}

void TInfoTab::SpeedButton4Click()
{
    wbIntro->reload();
}
