#include "appsettings.h"

namespace {

const QString detectZoomMeetingsKey = QStringLiteral("detectZoomMeetings");
const QString seenGuestIntroKey = QStringLiteral("seenGuestIntro");
const QString webWorkspaceURLKey = QStringLiteral("webWorkspaceURL");
const QString liveTranscriptionKey = QStringLiteral("liveTranscription");

} // namespace

AppSettings::AppSettings(QObject* parent)
    : QObject(parent)
    , m_store(std::make_unique<QSettings>(QStringLiteral("Parlevox"), QStringLiteral("Parlevox")))
{ }

AppSettings::AppSettings(const QString& fileName, QObject* parent)
    : QObject(parent)
    , m_store(std::make_unique<QSettings>(fileName, QSettings::IniFormat))
{ }

AppSettings::~AppSettings() = default;

bool AppSettings::detectZoomMeetings() const
{
    return m_store->value(detectZoomMeetingsKey, false).toBool();
}

void AppSettings::setDetectZoomMeetings(bool detect)
{
    if (detect == detectZoomMeetings()) {
        return;
    }
    m_store->setValue(detectZoomMeetingsKey, detect);
    Q_EMIT detectZoomMeetingsChanged();
}

bool AppSettings::seenGuestIntro() const
{
    return m_store->value(seenGuestIntroKey, false).toBool();
}

void AppSettings::setSeenGuestIntro(bool seen)
{
    if (seen == seenGuestIntro()) {
        return;
    }
    m_store->setValue(seenGuestIntroKey, seen);
    Q_EMIT seenGuestIntroChanged();
}

QString AppSettings::webWorkspaceURL() const
{
    return m_store->value(webWorkspaceURLKey, QStringLiteral("http://localhost:3000")).toString();
}

void AppSettings::setWebWorkspaceURL(const QString& url)
{
    if (url == webWorkspaceURL()) {
        return;
    }
    m_store->setValue(webWorkspaceURLKey, url);
    Q_EMIT webWorkspaceURLChanged();
}

bool AppSettings::liveTranscription() const
{
    return m_store->value(liveTranscriptionKey, false).toBool();
}

void AppSettings::setLiveTranscription(bool live)
{
    if (live == liveTranscription()) {
        return;
    }
    m_store->setValue(liveTranscriptionKey, live);
    Q_EMIT liveTranscriptionChanged();
}
