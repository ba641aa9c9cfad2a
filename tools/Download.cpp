#include "Download.h"

#include "Latin1.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <memory>

std::string fetchUrl(const std::string& url, int timeoutMs)
{
    const QUrl address(latin1(url));
    if (!address.isValid() || address.isEmpty())
        return {};
    QNetworkAccessManager manager;
    manager.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkRequest request(address);
    // The agent name is the program's file name, as the site's logs know it.
    const QString agent = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    request.setHeader(QNetworkRequest::UserAgentHeader, agent.isEmpty() ? QStringLiteral("qx-com") : agent);
    request.setTransferTimeout(timeoutMs);
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!reply->isFinished()) {
        reply->abort();
        return {};
    }
    if (reply->error() != QNetworkReply::NoError)
        return {};
    const QByteArray data = reply->readAll();
    return std::string(data.constData(), static_cast<size_t>(data.size()));
}
