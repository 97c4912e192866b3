#include "windowregistry.h"

#include "appsettings.h"
#include "captureviewmodel.h"
#include "meetingsession.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>

WindowRegistry::WindowRegistry(
    QQmlEngine* engine, MeetingSession* session, AppSettings* settings, QObject* parent)
    : QObject(parent)
    , m_engine(engine)
    , m_session(session)
    , m_settings(settings)
{ }

WindowRegistry::~WindowRegistry()
{
    for (const QPointer<QQuickWindow>& window : std::as_const(m_notebooks)) {
        delete window.data();
    }
    delete m_meeting.data();
}

void WindowRegistry::openWindow(const QString& identifier)
{
    if (identifier == QLatin1String("notebook")) {
        if (!m_notebookComponent) {
            m_notebookComponent = new QQmlComponent(
                m_engine, QUrl(QStringLiteral("qrc:/Parlevox/App/NotebookWindow.qml")), this);
        }
        if (QQuickWindow* window = create(m_notebookComponent)) {
            m_notebooks.append(window);
            connect(window, &QWindow::activeChanged, this, [this, window] {
                if (window->isActive()) {
                    m_lastActiveNotebook = window;
                }
            });
            Q_EMIT windowsChanged();
        }
    } else if (identifier == QLatin1String("meeting")) {
        if (m_meeting) {
            m_meeting->show();
            m_meeting->raise();
            m_meeting->requestActivate();
            return;
        }
        if (!m_meetingComponent) {
            m_meetingComponent = new QQmlComponent(
                m_engine, QUrl(QStringLiteral("qrc:/Parlevox/App/MeetingWindow.qml")), this);
        }
        m_meeting = create(m_meetingComponent);
        if (m_meeting) {
            Q_EMIT windowsChanged();
        }
    }
}

QList<QQuickWindow*> WindowRegistry::notebookWindows() const
{
    QList<QQuickWindow*> windows;
    for (const QPointer<QQuickWindow>& window : m_notebooks) {
        if (window) {
            windows.append(window);
        }
    }
    return windows;
}

QQuickWindow* WindowRegistry::lastActiveNotebook() const
{
    const QList<QQuickWindow*> notebooks = notebookWindows();
    if (m_lastActiveNotebook && notebooks.contains(m_lastActiveNotebook.data())) {
        return m_lastActiveNotebook;
    }
    return notebooks.isEmpty() ? nullptr : notebooks.last();
}

void WindowRegistry::deliverLink(const QUrl& link)
{
    QQuickWindow* target = lastActiveNotebook();
    if (auto* view = target ? target->findChild<CaptureViewModel*>() : nullptr) {
        view->handleLink(link);
    }
}

QQuickWindow* WindowRegistry::create(QQmlComponent* component)
{
    // Our own QML failing to load is a fault of the build, not a situation to carry on from.
    if (!component->isReady()) {
        qFatal("%s", qPrintable(component->errorString()));
    }
    QObject* object = component->createWithInitialProperties(
        { { QStringLiteral("windows"), QVariant::fromValue(this) } });
    auto* window = qobject_cast<QQuickWindow*>(object);
    if (!window) {
        qFatal("%s", qPrintable(component->errorString()));
    }
    QQmlEngine::setObjectOwnership(window, QQmlEngine::CppOwnership);
    // A closed window is gone for good: the next one starts afresh.
    connect(window, &QWindow::visibleChanged, this, [this, window](bool visible) {
        if (!visible) {
            forget(window);
        }
    });
    window->show();
    return window;
}

void WindowRegistry::forget(QQuickWindow* window)
{
    m_notebooks.removeAll(window);
    if (m_meeting == window) {
        m_meeting = nullptr;
    }
    window->deleteLater();
    Q_EMIT windowsChanged();
    if (!notebookWindows().isEmpty() || m_meeting) {
        return;
    }
    if (m_session->capturing()) {
        // From a later turn of the event loop: the closing window is still being hidden.
        QMetaObject::invokeMethod(
            this, [this] { openWindow(QStringLiteral("meeting")); }, Qt::QueuedConnection);
    } else {
        Q_EMIT allWindowsClosed();
    }
}
