#include "agentrecords.h"
#include "agentworkspacestate.h"
#include "appsettings.h"
#include "captureviewmodel.h"
#include "fakesessionservices.h"
#include "meetingsession.h"
#include "quicktesthelpers.h"
#include "quitguard.h"
#include "testhttpserver.h"
#include "windowregistry.h"

#include <QAccessible>
#include <QClipboard>
#include <QColor>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QUrl localLink(u"parlevox://connect?server=http://localhost:3000"_s);
const AgentAccess everyAccess { .planning = true, .trello = true, .devin = true };

// The application as main() builds it, on fake outside services and a private settings file.
struct App
{
    explicit App(Script& script, const QString& settingsFile)
        : session(fakeServices(script))
        , settings(settingsFile)
    {
        engine.addImportPath(u"qrc:/"_s);
        windows = std::make_unique<WindowRegistry>(&engine, &session, &settings);
        windows->openWindow(u"notebook"_s);
    }

    MeetingSession session;
    AppSettings settings;
    QQmlApplicationEngine engine;
    std::unique_ptr<WindowRegistry> windows;
};

QObject* find(QQuickWindow* window, const char* name)
{
    return window ? window->findChild<QObject*>(QString::fromLatin1(name)) : nullptr;
}

QQuickItem* item(QQuickWindow* window, const char* name)
{
    auto* found = qobject_cast<QQuickItem*>(find(window, name));
    if (!found) {
        qFatal("no item %s", name);
    }
    return found;
}

// Shown on screen: the item and all its ancestors are visible.
bool shown(QQuickWindow* window, const char* name)
{
    return item(window, name)->isVisible();
}

QString text(QQuickWindow* window, const char* name)
{
    return item(window, name)->property("text").toString();
}

// Those of `visible` that are hidden and of `hidden` that are shown: empty when all are as asked.
QString misplaced(QQuickWindow* window, std::initializer_list<const char*> visible,
    std::initializer_list<const char*> hidden)
{
    QStringList wrong;
    for (const char* name : visible) {
        if (!shown(window, name)) {
            wrong << u"hidden "_s + QString::fromLatin1(name);
        }
    }
    for (const char* name : hidden) {
        if (shown(window, name)) {
            wrong << u"shown "_s + QString::fromLatin1(name);
        }
    }
    return wrong.join(u", ");
}

// What a screen reader's Toggle does to a switch.
void toggleAccessibly(QQuickWindow* window, const char* name)
{
    QAccessibleInterface* control = QAccessible::queryAccessibleInterface(item(window, name));
    QVERIFY(control && control->actionInterface());
    control->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
}

void click(QQuickWindow* window, const char* name)
{
    QQuickItem* target = item(window, name);
    QVERIFY2(target->isVisible(), name);
    const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(window, Qt::LeftButton, {}, centre.toPoint());
}

CaptureViewModel* viewModel(QQuickWindow* window)
{
    return qobject_cast<CaptureViewModel*>(find(window, "viewModel"));
}

// Inside the viewport of its scrolling page: not below the fold.
bool inView(QQuickWindow* window, const char* name, const char* page)
{
    QQuickItem* target = item(window, name);
    QQuickItem* viewport = item(window, page);
    const QRectF box = target->mapRectToItem(viewport, target->boundingRect());
    return box.top() >= 0 && box.bottom() <= viewport->height();
}

QColor dotColour(QQuickWindow* window)
{
    return item(window, "statusDot")->property("color").value<QColor>();
}

} // namespace

class tst_CaptureView : public QObject
{
    Q_OBJECT

    Script m_script;
    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<App> m_app;

    App& launch()
    {
        m_app = std::make_unique<App>(m_script, m_folder->filePath(u"settings.ini"_s));
        return *m_app;
    }
    QQuickWindow* notebook(int index = 0) const
    {
        const QList<QQuickWindow*> notebooks = m_app->windows->notebookWindows();
        return index < notebooks.size() ? notebooks.at(index) : nullptr;
    }
    QQuickWindow* meeting() const { return m_app->windows->meetingWindow(); }

    // What a screen reader would miss in the first notebook.
    QString gaps() const { return accessibilityGaps(notebook()->contentItem()).join(u'|'); }

    void recordAndStop()
    {
        click(notebook(), "recordButton");
        QTRY_VERIFY(m_app->session.capturing());
        click(notebook(), "stopButton");
        QTRY_COMPARE(m_app->session.status(), bothTracksStatus);
    }

    // A real agent preparation, held open by a team server that never answers.
    static QCoro::Task<> stallAgent(MeetingSession& session, TestHttpServer& team)
    {
        team.enqueue(ScriptedResponse { .stall = true });
        session.agent()->setRequest(u"Prépare le compte rendu"_s);
        return session.agent()->prepare(AgentClient(team.url(u"/"_s), QString()));
    }

private Q_SLOTS:
    void init()
    {
        QTest::failOnWarning(QRegularExpression(u"Binding loop"_s));
        m_script = Script {};
        m_folder = std::make_unique<QTemporaryDir>();
    }
    void cleanup()
    {
        m_app.reset();
        CaptureViewModel::setZoomTitleSource([] { return ZoomMeetingDetector::windowTitles(); });
    }

    // Ctrl+Q, then the session's end (SIGTERM) while the stop mixes: that signal is the first, so
    // the mix is still seen through; only a second one quits at once.
    void aSignalAfterCtrlQWaitsForTheMix()
    {
        App& app = launch();
        QuitGuard guard(&app.session);
        click(notebook(), "recordButton");
        QTRY_VERIFY(app.session.capturing());

        guard.requestQuit(); // what Ctrl+Q does in any window
        QVERIFY(app.session.busy());
        QCOMPARE(::raise(SIGTERM), 0);
        QTRY_COMPARE(app.session.status(), bothTracksStatus);
        QVERIFY(!app.session.capturing());
    }

    // Start from a notebook, stop from the meeting window: every rule of the controls on the way.
    void recordingOpensAndClosesTheMeetingWindow()
    {
        App& app = launch();
        QQuickWindow* window = notebook();
        const QColor idleDot = dotColour(window);

        click(window, "recordButton");
        // Busy from the press on: spinner instead of the dot, nothing else can start.
        QVERIFY(app.session.busy());
        QCOMPARE(misplaced(window, { "statusSpinner" }, { "statusDot" }), QString());
        QVERIFY(!item(window, "actionRow")->isEnabled());
        QVERIFY(!item(window, "openRecordingButton")->isEnabled());

        QTRY_VERIFY(app.session.capturing());
        QTRY_VERIFY(meeting());
        QCOMPARE(misplaced(window, { "stopButton", "showMeetingButton" },
                     { "recordButton", "openRecordingButton", "newRecordingButton" }),
            QString());
        QVERIFY(dotColour(window) != idleDot);

        QQuickWindow* meetingWindow = meeting();
        QTRY_VERIFY(find(meetingWindow, "viewModel"));
        QCOMPARE(
            misplaced(meetingWindow,
                { "meetingLabel", "tabSwitch", "pendingTranscriptLine", "stopButton" },
                { "firstRunCard", "showMeetingButton", "openRecordingButton", "newWindowButton" }),
            QString());
        QCOMPARE(app.session.notebookCount(), 1); // the meeting window does not count

        // Closed by hand it changes nothing and is offered again (every window closed during a
        // recording: the end-to-end test).
        meetingWindow->close();
        QTRY_VERIFY(!meeting());
        QVERIFY(app.session.capturing());
        click(window, "showMeetingButton");
        meetingWindow = meeting();
        QVERIFY(meetingWindow && meetingWindow->isVisible());

        click(meetingWindow, "stopButton");
        QTRY_COMPARE(app.session.status(), bothTracksStatus);
        QTRY_VERIFY(!meeting());
        QCOMPARE(app.windows->notebookWindows().size(), 1); // no second notebook
        QCOMPARE(dotColour(window), idleDot);
        QCOMPARE(misplaced(window,
                     { "tabSwitch", "transcribeButton", "listenButton", "revealButton",
                         "newRecordingButton" },
                     { "recordButton", "stopButton", "firstRunCard" }),
            QString());
        QVERIFY(!app.settings.seenGuestIntro()); // the card hides without being dismissed
    }

    // A request to the agent disables what would start work, but a recording still stops.
    void agentBusyDisablesWhatWouldStartWork()
    {
        TestHttpServer team;
        App& app = launch();
        click(notebook(), "recordButton");
        QTRY_VERIFY(app.session.capturing());
        auto preparation = stallAgent(app.session, team);
        QVERIFY(app.session.agent()->busy());
        for (const char* name :
            { "integrationsButton", "settingsButton", "recordButton", "openRecordingButton" }) {
            QVERIFY2(!item(notebook(), name)->isEnabled(), name);
        }
        QVERIFY(item(notebook(), "stopButton")->isEnabled());
        click(notebook(), "stopButton");
        QTRY_COMPARE(app.session.status(), bothTracksStatus);
        QVERIFY(app.session.agent()->busy());
        QVERIFY(item(notebook(), "transcribeButton")->isEnabled());
        QVERIFY(!item(notebook(), "newRecordingButton")->isEnabled());
    }

    // A first launch, then the card's two ways out.
    void firstRunCard_data()
    {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<QString>("integrationsPage");
        QTest::newRow("continue") << QByteArray("continueAsGuestButton") << QString();
        QTest::newRow("integrations") << QByteArray("seeIntegrationsButton") << u"catalog"_s;
    }
    void firstRunCard()
    {
        QFETCH(QByteArray, button);
        QFETCH(QString, integrationsPage);
        App& app = launch();
        QQuickWindow* window = notebook();
        QTRY_COMPARE(app.session.notebookCount(), 1);
        QVERIFY(!meeting());
        QCOMPARE(
            misplaced(window,
                { "firstRunCard", "notesPlaceholder", "recordButton", "openRecordingButton",
                    "statusDot", "newWindowButton" },
                { "tabSwitch", "transcriptCard", "stopButton", "transcribeButton", "listenButton",
                    "revealButton", "showMeetingButton", "newRecordingButton", "meetingLabel",
                    "pendingTranscriptLine", "statusSpinner", "permissionButton" }),
            QString());
        QCOMPARE(text(window, "statusText"), u"Prêt à enregistrer"_s);
        click(notebook(), button.constData());
        QVERIFY(!shown(notebook(), "firstRunCard"));
        QCOMPARE(viewModel(notebook())->integrationsPage(), integrationsPage);
        auto* integrations = qobject_cast<QQuickItem*>(find(notebook(), "integrationsView"));
        QCOMPARE(integrations && integrations->isVisible(), !integrationsPage.isEmpty());

        // Dismissed for good: the next launch reads it back from the settings file.
        launch();
        QVERIFY(m_app->settings.seenGuestIntro());
        QVERIFY(!shown(notebook(), "firstRunCard"));
    }

    void settingsToggleAndLinks()
    {
        App& app = launch();
        QQuickWindow* window = notebook();

        // Escape closes the sheet opened with the mouse.
        click(window, "settingsButton");
        QTRY_VERIFY(shown(window, "closeSettingsButton"));
        QTest::keyClick(window, Qt::Key_Escape);
        QTRY_VERIFY(!viewModel(window)->showingSettings());

        click(window, "settingsButton");
        QTRY_VERIFY(shown(window, "zoomToggle"));
        QVERIFY(!shown(window, "accessibilityText"));
        click(window, "zoomToggle");
        QVERIFY(app.settings.detectZoomMeetings());
        QCOMPARE(misplaced(window, { "accessibilityText", "accessibilityButton" }, {}), QString());
        toggleAccessibly(window, "zoomToggle");
        QVERIFY(!app.settings.detectZoomMeetings());
        QCOMPARE(misplaced(window, {}, { "accessibilityText", "accessibilityButton" }), QString());

        // A link while the settings sheet is up is dropped, not queued.
        app.windows->deliverLink(localLink);
        QVERIFY(!viewModel(window)->hasIntegrationsRequest());
        click(window, "closeSettingsButton");
        QTRY_VERIFY(!shown(window, "zoomToggle"));
        QVERIFY(!viewModel(window)->hasIntegrationsRequest());

        app.windows->deliverLink(localLink);
        QCOMPARE(viewModel(window)->suggestedServer(), u"http://localhost:3000"_s);
        QTRY_VERIFY(shown(window, "integrationsView"));
        // A second link while a request is pending is dropped too.
        app.windows->deliverLink(QUrl(u"parlevox://connect?server=https://autre.example"_s));
        QCOMPARE(viewModel(window)->suggestedServer(), u"http://localhost:3000"_s);

        // The live transcript asked for without a key: kept, and the key form takes the sheet's
        // place.
        viewModel(window)->dismissIntegrations();
        app.session.setKey(QString());
        click(window, "settingsButton");
        QTRY_VERIFY(shown(window, "liveToggle"));
        QVERIFY(!app.settings.liveTranscription());
        toggleAccessibly(window, "liveToggle");
        QVERIFY(app.settings.liveTranscription());
        QCOMPARE(viewModel(window)->integrationsPage(), u"gladia"_s);
        QTRY_VERIFY(!shown(window, "liveToggle"));
    }

    // In the default 660 × 540 window the new transcript comes into view, shown and copied as
    // it stands: repeated spaces and tabs included, by "Copier" and by a selection alike. Then
    // every button, text and field of the notebook, its sheets and its agent page, as a screen
    // reader meets them.
    void transcriptAndEveryPageWithoutAMouse()
    {
        m_script.transcript = u"[00:01] Micro · a  b\tc <i>&amp;\n[00:02] Voix · fin"_s;
        App& app = launch();
        app.session.setKey(u"clé"_s);
        QCOMPARE(notebook()->size(), QSize(660, 540));
        QCOMPARE(gaps(), QString());
        recordAndStop();
        QVERIFY(!shown(notebook(), "transcriptCard"));
        QGuiApplication::clipboard()->setText(u"autre chose"_s);
        click(notebook(), "transcribeButton");
        QTRY_COMPARE(app.session.status(), u"Transcription prête"_s);
        QVERIFY(shown(notebook(), "transcriptCard"));
        QTRY_VERIFY(inView(notebook(), "transcriptCard", "transcriptionPage"));
        click(notebook(), "copyButton");
        QCOMPARE(QGuiApplication::clipboard()->text(), m_script.transcript);

        QQuickItem* transcript = item(notebook(), "transcriptText");
        QGuiApplication::clipboard()->clear();
        QMetaObject::invokeMethod(transcript, "selectAll");
        QMetaObject::invokeMethod(transcript, "copy");
        QCOMPARE(QGuiApplication::clipboard()->text(), m_script.transcript);
        QCOMPARE(gaps(), QString());

        viewModel(notebook())->setTab(u"agent"_s);
        QTRY_VERIFY(find(notebook(), "agentPage"));
        QCOMPARE(gaps(), QString());
        // The integrations sheet as a guest and with every access.
        for (const bool granted : { false, true }) {
            app.session.setAgentAccess(granted ? std::optional(everyAccess) : std::nullopt);
            for (const char* page : { "catalog", "agent", "gladia" }) {
                viewModel(notebook())->showIntegrations(QString::fromLatin1(page));
                QTRY_VERIFY(shown(notebook(), "integrationsView"));
                QCOMPARE(gaps(), QString());
                viewModel(notebook())->dismissIntegrations();
            }
        }
        viewModel(notebook())->setShowingSettings(true);
        QTRY_VERIFY(shown(notebook(), "closeSettingsButton"));
        QCOMPARE(gaps(), QString());
    }

    // The notebook hands the granted access, the stored site and the code to its agent page: the
    // preparation goes to the team server derived from the site, with the code; a control that
    // takes the focus below the fold comes into view.
    void agentTabTalksToTheStoredTeamSite()
    {
        TestHttpServer team;
        team.enqueue(ScriptedResponse::json(
            200, R"({"status":"needs_clarification","question":"Quel dépôt faut-il modifier ?"})"));
        App& app = launch();
        app.settings.setWebWorkspaceURL(team.url(u"/"_s).toString());
        app.session.setAgentAccessCode(u"code-equipe"_s);
        app.session.setAgentAccess(everyAccess);
        recordAndStop();
        viewModel(notebook())->setTab(u"agent"_s);
        QTRY_VERIFY(find(notebook(), "agentPage"));
        app.session.agent()->setRequest(u"Corrige l’export"_s);

        QVERIFY(!inView(notebook(), "prepareButton", "agentScroller"));
        notebook()->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(notebook()));
        item(notebook(), "prepareButton")->forceActiveFocus();
        QTRY_VERIFY(inView(notebook(), "prepareButton", "agentScroller"));
        click(notebook(), "prepareButton");
        QTRY_VERIFY(app.session.agent()->asking());
        QCOMPARE(team.requests().size(), 1);
        QCOMPARE(team.requests().first().target, QByteArrayLiteral("/api/agent-prepare"));
        QCOMPARE(team.requests().first().header("Authorization"),
            QByteArrayLiteral("Bearer code-equipe"));
        QTRY_VERIFY(inView(notebook(), "questionArea", "agentScroller"));
    }

    // Detection, off by default, opens the meeting window for a Zoom meeting and closes it when
    // turned off; a recording keeps the window when the Zoom meeting ends; the meeting window takes
    // no link; nothing polls once detection is off or no notebook is left.
    void zoomMeetingWindow()
    {
        auto polls = std::make_shared<std::atomic<int>>(0);
        CaptureViewModel::setZoomTitleSource([polls] {
            ++*polls;
            return std::optional<QStringList>(QStringList { u"Zoom Meeting"_s });
        });
        App& app = launch();
        QCOMPARE(polls->load(), 0);
        app.windows->openWindow(u"meeting"_s); // no meeting on: it closes itself
        QTRY_VERIFY(!meeting());

        app.settings.setDetectZoomMeetings(true);
        QTRY_VERIFY(meeting());
        QVERIFY(app.session.meetingIsActive());
        QVERIFY(shown(notebook(), "showMeetingButton"));
        QTRY_VERIFY_WITH_TIMEOUT(polls->load() >= 2, 5000); // polls again after its wait

        // Turning it off resets the detector: the meeting is over, its window closes itself.
        app.settings.setDetectZoomMeetings(false);
        QVERIFY(!app.session.meetingIsActive());
        QTRY_VERIFY(!meeting());
        int pollsBefore = polls->load();
        QTest::qWait(2500);
        QCOMPARE(polls->load(), pollsBefore);

        app.settings.setDetectZoomMeetings(true);
        QTRY_VERIFY(meeting());
        click(notebook(), "recordButton");
        QTRY_VERIFY(app.session.capturing());
        app.settings.setDetectZoomMeetings(false); // the Zoom meeting is over
        QVERIFY(!app.session.zoomDetector().inMeeting());
        QTest::qWait(50);
        QVERIFY(meeting());
        QTRY_VERIFY(viewModel(meeting()));
        QVERIFY(!viewModel(meeting())->handleLink(localLink));

        app.settings.setDetectZoomMeetings(true);
        notebook()->close();
        QTRY_VERIFY(app.windows->notebookWindows().isEmpty());
        pollsBefore = polls->load();
        QTest::qWait(2500);
        QVERIFY(polls->load() <= pollsBefore + 1); // at most the read already under way
    }

    // Two notebooks share the notes; tab, file choice and link belong to one window each.
    // Closing a notebook while its file chooser is open ends the choice: the session must not
    // stay busy.
    void twoNotebooks()
    {
        App& app = launch();
        click(notebook(), "newWindowButton");
        QCOMPARE(app.windows->notebookWindows().size(), 2);
        QTRY_COMPARE(app.session.notebookCount(), 2);
        QQuickWindow* first = notebook(0);
        QQuickWindow* second = notebook(1);
        first->resize(660, 1000); // the notes editor clear of the footer
        first->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(first));

        app.windows->deliverLink(localLink);
        QVERIFY(viewModel(first)->hasIntegrationsRequest());
        QVERIFY(!viewModel(second)->hasIntegrationsRequest());
        viewModel(first)->dismissIntegrations();

        click(first, "notesEditor");
        QTRY_VERIFY(item(first, "notesEditor")->hasActiveFocus());
        for (const char key : { 'D', 'e', 'c', 'i', 'd', 'e' }) {
            QTest::keyClick(first, key);
        }
        QCOMPARE(app.session.notes(), u"Decide"_s);
        QCOMPARE(text(second, "notesEditor"), u"Decide"_s);
        QVERIFY(!shown(second, "notesPlaceholder"));

        recordAndStop();
        viewModel(first)->setTab(u"agent"_s);
        viewModel(second)->setTab(u"agent"_s);
        QVERIFY(viewModel(second)->beginOpenRecording());
        viewModel(second)->finishOpenRecording(QUrl::fromLocalFile(u"/tmp/a.m4a"_s));
        QCOMPARE(viewModel(second)->tab(), u"transcription"_s);
        QCOMPARE(viewModel(first)->tab(), u"agent"_s);

        click(second, "openRecordingButton");
        QVERIFY(app.session.busy());
        second->close();
        QTRY_COMPARE(app.session.notebookCount(), 1);
        QTRY_COMPARE(app.windows->notebookWindows().size(), 1);
        QTRY_VERIFY(!app.session.busy());
        QVERIFY(item(first, "openRecordingButton")->isEnabled());
    }
};

QTEST_MAIN(tst_CaptureView)
#include "tst_captureview.moc"
