#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

// Collects the addresses that a view hands to the desktop for opening
// (QDesktopServices::setUrlHandler(scheme, &links, "open")).
class OpenedLinks : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public Q_SLOTS:
    void open(const QUrl& url) { urls.append(url); }
};
