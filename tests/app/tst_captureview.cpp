#include "agentrecords.h"
#include "agentworkspacestate.h"
#include "appsettings.h"
#include "captureviewmodel.h"
#include "fakesessionservices.h"
#include "meetingsession.h"
#include "quicktesthelpers.h"
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
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <memory>

namespace {

const QString readyStatus = QStringLiteral("Enregistrement prêt · micro et audio système");

AudioCapture::StopResult bothTracks()
{
    AudioCapture::Tracks tracks { QStringLiteral("/tmp/r/microphone.caf"),
        QStringLiteral("/tmp/r/appel.caf"), 0.35, 0 };
    return { QStringLiteral("/tmp/r/reunion.m4a"), tracks, std::nullopt };
}

// The application as main() builds it, on fake outside services and a private settings file.
struct App
{
    explicit App(Script& script, const QString& settingsFile)
        : session(fakeServices(script))
        , settings(settingsFile)
    {
        engine.addImportPath(QStringLiteral("qrc:/"));
        windows = std::make_unique<WindowRegistry>(&engine, &session, &settings);
        windows->openWindow(QStringLiteral("notebook"));
    }

    MeetingSession session;
    AppSettings settings;
    QQmlApplicationEngine engine;
    std::unique_ptr<WindowRegistry> windows;
};

QObject* find(QQuickWindow* window, const QString& name)
{
    return window ? window->findChild<QObject*>(name) : nullptr;
}

QQuickItem* item(QQuickWindow* window, const QString& name)
{
    auto* found = qobject_cast<QQuickItem*>(find(window, name));
    if (!found) {
        qFatal("no item %s", qPrintable(name));
    }
    return found;
}

// Shown on screen: the item and all its ancestors are visible.
bool shown(QQuickWindow* window, const QString& name)
{
    return item(window, name)->isVisible();
}

bool enabled(QQuickWindow* window, const QString& name)
{
    return item(window, name)->isEnabled();
}

// A real mouse click in the middle of the item.
void click(QQuickWindow* window, const QString& name)
{
    QQuickItem* target = item(window, name);
    QVERIFY2(target->isVisible(), qPrintable(name));
    const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(window, Qt::LeftButton, {}, centre.toPoint());
}

CaptureViewModel* viewModel(QQuickWindow* window)
{
    return qobject_cast<CaptureViewModel*>(find(window, QStringLiteral("viewModel")));
}

// Inside the viewport of its scrolling page: not below the fold.
bool inView(QQuickWindow* window, const QString& name, const QString& page)
{
    QQuickItem* target = item(window, name);
    QQuickItem* viewport = item(window, page);
    const QRectF box = target->mapRectToItem(viewport, target->boundingRect());
    return box.top() >= 0 && box.bottom() <= viewport->height();
}

QColor dotColour(QQuickWindow* window)
{
    return item(window, QStringLiteral("statusDot"))->property("color").value<QColor>();
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
        m_app = std::make_unique<App>(m_script, m_folder->filePath(QStringLiteral("settings.ini")));
        return *m_app;
    }
    QQuickWindow* notebook(int index = 0) const
    {
        const QList<QQuickWindow*> notebooks = m_app->windows->notebookWindows();
        return index < notebooks.size() ? notebooks.at(index) : nullptr;
    }
    QQuickWindow* meeting() const { return m_app->windows->meetingWindow(); }

    // Records then stops from the notebook, leaving the ready recording.
    void recordAndStop()
    {
        click(notebook(), QStringLiteral("recordButton"));
        QTRY_VERIFY(m_app->session.capturing());
        click(notebook(), QStringLiteral("stopButton"));
        QTRY_COMPARE(m_app->session.status(), readyStatus);
    }

private Q_SLOTS:
    void init()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral("Binding loop")));
        m_script = Script {};
        m_script.stopResult = bothTracks();
        m_folder = std::make_unique<QTemporaryDir>();
    }
    void cleanup()
    {
        m_app.reset();
        CaptureViewModel::setZoomTitleSource([] { return ZoomMeetingDetector::windowTitles(); });
    }

    void freshLaunch()
    {
        App& app = launch();
        QQuickWindow* window = notebook();
        QVERIFY(window);
        QCOMPARE(window->title(), QStringLiteral("Parlevox"));
        QCOMPARE(window->size(), QSize(660, 540));
        QCOMPARE(window->minimumSize(), QSize(560, 420));
        QTRY_COMPARE(app.session.notebookCount(), 1);
        QVERIFY(!meeting());

        for (const char* name : { "firstRunCard", "notesPlaceholder", "recordButton",
                 "openRecordingButton", "statusDot", "newWindowButton" }) {
            QVERIFY2(shown(window, QString::fromLatin1(name)), name);
        }
        for (const char* name : { "tabSwitch", "transcriptCard", "stopButton", "transcribeButton",
                 "listenButton", "revealButton", "showMeetingButton", "newRecordingButton",
                 "meetingLabel", "pendingTranscriptLine", "statusSpinner", "permissionButton" }) {
            QVERIFY2(!shown(window, QString::fromLatin1(name)), name);
        }
        QCOMPARE(item(window, QStringLiteral("overline"))->property("text").toString(),
            QStringLiteral("CARNET DE RÉUNION POUR LINUX"));
        QCOMPARE(item(window, QStringLiteral("title"))->property("text").toString(),
            QStringLiteral("Chaque décision compte."));
        QCOMPARE(item(window, QStringLiteral("statusText"))->property("text").toString(),
            QStringLiteral("Prêt à enregistrer"));
        QCOMPARE(
            item(window, QStringLiteral("notesEditor"))->property("text").toString(), QString());
    }

    // Start from a notebook, stop from the meeting window: every rule of the controls on the way.
    void recordingOpensAndClosesTheMeetingWindow()
    {
        App& app = launch();
        QQuickWindow* window = notebook();
        const QColor idleDot = dotColour(window);

        click(window, QStringLiteral("recordButton"));
        // Busy from the press on: spinner instead of the dot, nothing else can start.
        QVERIFY(app.session.busy());
        QVERIFY(shown(window, QStringLiteral("statusSpinner")));
        QVERIFY(!shown(window, QStringLiteral("statusDot")));
        QVERIFY(!enabled(window, QStringLiteral("actionRow")));
        QVERIFY(!enabled(window, QStringLiteral("openRecordingButton")));

        QTRY_VERIFY(app.session.capturing());
        QTRY_VERIFY(meeting());
        QVERIFY(shown(window, QStringLiteral("stopButton")));
        QVERIFY(!shown(window, QStringLiteral("recordButton")));
        QVERIFY(!shown(window, QStringLiteral("openRecordingButton")));
        QVERIFY(!shown(window, QStringLiteral("newRecordingButton")));
        QVERIFY(shown(window, QStringLiteral("showMeetingButton")));
        QVERIFY(dotColour(window) != idleDot);

        QQuickWindow* meetingWindow = meeting();
        QCOMPARE(meetingWindow->title(), QStringLiteral("Réunion Parlevox"));
        QCOMPARE(meetingWindow->size(), QSize(720, 520));
        QTRY_VERIFY(find(meetingWindow, QStringLiteral("viewModel")));
        for (const char* name :
            { "meetingLabel", "tabSwitch", "pendingTranscriptLine", "stopButton" }) {
            QVERIFY2(shown(meetingWindow, QString::fromLatin1(name)), name);
        }
        for (const char* name :
            { "firstRunCard", "showMeetingButton", "openRecordingButton", "newWindowButton" }) {
            QVERIFY2(!shown(meetingWindow, QString::fromLatin1(name)), name);
        }
        QCOMPARE(item(meetingWindow, QStringLiteral("title"))->property("text").toString(),
            QStringLiteral("Le fil de la réunion."));
        QCOMPARE(app.session.notebookCount(), 1); // the meeting window does not count

        click(meetingWindow, QStringLiteral("stopButton"));
        QTRY_COMPARE(app.session.status(), readyStatus);
        QTRY_VERIFY(!meeting());
        QCOMPARE(app.windows->notebookWindows().size(), 1); // no second notebook
        QCOMPARE(dotColour(window), idleDot);
        for (const char* name : { "tabSwitch", "transcribeButton", "listenButton", "revealButton",
                 "newRecordingButton" }) {
            QVERIFY2(shown(window, QString::fromLatin1(name)), name);
        }
        for (const char* name : { "recordButton", "stopButton", "firstRunCard" }) {
            QVERIFY2(!shown(window, QString::fromLatin1(name)), name);
        }
        QVERIFY(!app.settings.seenGuestIntro()); // the card hides without being dismissed
    }

    void stoppingWithNoNotebookLeftOpensOne()
    {
        App& app = launch();
        click(notebook(), QStringLiteral("recordButton"));
        QTRY_VERIFY(meeting());
        notebook()->close();
        QTRY_COMPARE(app.session.notebookCount(), 0);
        QTRY_VERIFY(app.windows->notebookWindows().isEmpty());

        QTRY_VERIFY(find(meeting(), QStringLiteral("stopButton")));
        click(meeting(), QStringLiteral("stopButton"));
        QTRY_VERIFY(!meeting());
        QCOMPARE(app.windows->notebookWindows().size(), 1);
        QCOMPARE(app.session.notebookCount(), 1);
        QCOMPARE(item(notebook(), QStringLiteral("statusText"))->property("text").toString(),
            readyStatus);
        QVERIFY(shown(notebook(), QStringLiteral("listenButton")));
    }

    void closedMeetingWindowIsOfferedAgain()
    {
        App& app = launch();
        click(notebook(), QStringLiteral("recordButton"));
        QTRY_VERIFY(meeting());
        meeting()->close();
        QTRY_VERIFY(!meeting());
        QVERIFY(app.session.capturing()); // closing it by hand changes nothing
        click(notebook(), QStringLiteral("showMeetingButton"));
        QVERIFY(meeting());
        QVERIFY(meeting()->isVisible());
    }

    // A real agent preparation, held open by a team server that never answers.
    static QCoro::Task<> stallAgent(MeetingSession& session, TestHttpServer& team)
    {
        ScriptedResponse stall;
        stall.stall = true;
        team.enqueue(stall);
        session.agent()->setRequest(QStringLiteral("Prépare le compte rendu"));
        return session.agent()->prepare(AgentClient(team.url(QStringLiteral("/")), QString()));
    }

    void agentBusyDisablesWhatWouldStartWork()
    {
        TestHttpServer team;
        App& app = launch();
        QQuickWindow* window = notebook();
        auto preparation = stallAgent(app.session, team);
        QVERIFY(app.session.agent()->busy());
        for (const char* name :
            { "integrationsButton", "settingsButton", "recordButton", "openRecordingButton" }) {
            QVERIFY2(!enabled(window, QString::fromLatin1(name)), name);
        }
    }

    void agentBusyStillLetsARecordingStop()
    {
        TestHttpServer team;
        App& app = launch();
        QQuickWindow* window = notebook();
        click(window, QStringLiteral("recordButton"));
        QTRY_VERIFY(app.session.capturing());
        auto preparation = stallAgent(app.session, team);
        QVERIFY(enabled(window, QStringLiteral("stopButton")));
        click(window, QStringLiteral("stopButton"));
        QTRY_COMPARE(app.session.status(), readyStatus);
        QVERIFY(app.session.agent()->busy());
        QVERIFY(enabled(window, QStringLiteral("transcribeButton")));
        QVERIFY(!enabled(window, QStringLiteral("newRecordingButton")));
    }

    void firstRunCard_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("integrationsPage");
        QTest::newRow("continue") << QStringLiteral("continueAsGuestButton") << QString();
        QTest::newRow("integrations")
            << QStringLiteral("seeIntegrationsButton") << QStringLiteral("catalog");
    }
    void firstRunCard()
    {
        QFETCH(QString, button);
        QFETCH(QString, integrationsPage);
        launch();
        click(notebook(), button);
        QVERIFY(!shown(notebook(), QStringLiteral("firstRunCard")));
        QCOMPARE(viewModel(notebook())->integrationsPage(), integrationsPage);
        auto* integrations
            = qobject_cast<QQuickItem*>(find(notebook(), QStringLiteral("integrationsView")));
        QCOMPARE(integrations && integrations->isVisible(), !integrationsPage.isEmpty());

        // Dismissed for good: the next launch reads it back from the settings file.
        launch();
        QVERIFY(m_app->settings.seenGuestIntro());
        QVERIFY(!shown(notebook(), QStringLiteral("firstRunCard")));
    }

    void settingsToggleAndLinks()
    {
        App& app = launch();
        QQuickWindow* window = notebook();
        const QUrl link(QStringLiteral("parlevox://connect?server=http://localhost:3000"));

        click(window, QStringLiteral("settingsButton"));
        QTRY_VERIFY(shown(window, QStringLiteral("zoomToggle")));
        QVERIFY(!shown(window, QStringLiteral("accessibilityText")));
        click(window, QStringLiteral("zoomToggle"));
        QVERIFY(app.settings.detectZoomMeetings());
        QVERIFY(shown(window, QStringLiteral("accessibilityText")));
        QVERIFY(shown(window, QStringLiteral("accessibilityButton")));
        click(window, QStringLiteral("zoomToggle"));
        QVERIFY(!app.settings.detectZoomMeetings());
        QVERIFY(!shown(window, QStringLiteral("accessibilityText")));
        QVERIFY(!shown(window, QStringLiteral("accessibilityButton")));

        // A link while the settings sheet is up is dropped, not queued.
        app.windows->deliverLink(link);
        QVERIFY(!viewModel(window)->hasIntegrationsRequest());
        click(window, QStringLiteral("closeSettingsButton"));
        QTRY_VERIFY(!shown(window, QStringLiteral("zoomToggle")));
        QVERIFY(!viewModel(window)->hasIntegrationsRequest());

        app.windows->deliverLink(link);
        QCOMPARE(viewModel(window)->suggestedServer(), QStringLiteral("http://localhost:3000"));
        QTRY_VERIFY(shown(window, QStringLiteral("integrationsView")));
        // A second link while a request is pending is dropped too.
        app.windows->deliverLink(
            QUrl(QStringLiteral("parlevox://connect?server=https://autre.example")));
        QCOMPARE(viewModel(window)->suggestedServer(), QStringLiteral("http://localhost:3000"));
    }

    // In the default 660 × 540 window the new transcript comes into view, shown and copied as
    // it stands: repeated spaces and tabs included, by "Copier" and by a selection alike.
    void transcriptArrivesInViewAndCopiesUnchanged()
    {
        m_script.transcript
            = QStringLiteral("[00:01] Micro · a  b\tc <i>&amp;\n[00:02] Voix · fin");
        App& app = launch();
        app.session.setKey(QStringLiteral("clé"));
        recordAndStop();
        QVERIFY(!shown(notebook(), QStringLiteral("transcriptCard")));
        QGuiApplication::clipboard()->setText(QStringLiteral("autre chose"));
        click(notebook(), QStringLiteral("transcribeButton"));
        QTRY_COMPARE(app.session.status(), QStringLiteral("Transcription prête"));
        QVERIFY(shown(notebook(), QStringLiteral("transcriptCard")));
        QTRY_VERIFY(inView(
            notebook(), QStringLiteral("transcriptCard"), QStringLiteral("transcriptionPage")));
        click(notebook(), QStringLiteral("copyButton"));
        QCOMPARE(QGuiApplication::clipboard()->text(), m_script.transcript);
        QCOMPARE(app.session.status(), QStringLiteral("Transcription prête"));

        QQuickItem* text = item(notebook(), QStringLiteral("transcriptText"));
        QCOMPARE(text->property("text").toString(), m_script.transcript);
        QGuiApplication::clipboard()->clear();
        QMetaObject::invokeMethod(text, "selectAll");
        QMetaObject::invokeMethod(text, "copy");
        QCOMPARE(QGuiApplication::clipboard()->text(), m_script.transcript);
    }

    void escapeClosesTheSettingsOpenedWithTheMouse()
    {
        launch();
        click(notebook(), QStringLiteral("settingsButton"));
        QTRY_VERIFY(shown(notebook(), QStringLiteral("closeSettingsButton")));
        QTest::keyClick(notebook(), Qt::Key_Escape);
        QTRY_VERIFY(!viewModel(notebook())->showingSettings());
    }

    // The chooser goes with its window without answering: the session must not stay busy.
    void closingTheNotebookWhileChoosingAFileEndsTheChoice()
    {
        App& app = launch();
        click(notebook(), QStringLiteral("newWindowButton"));
        click(notebook(0), QStringLiteral("openRecordingButton"));
        QVERIFY(app.session.busy());
        notebook(0)->close();
        QTRY_COMPARE(app.windows->notebookWindows().size(), 1);
        QTRY_VERIFY(!app.session.busy());
        QVERIFY(enabled(notebook(), QStringLiteral("openRecordingButton")));
    }

    // Tab, file choice and link belong to one window each.
    void viewStateBelongsToOneWindow()
    {
        App& app = launch();
        click(notebook(), QStringLiteral("newWindowButton"));
        QQuickWindow* first = notebook(0);
        QQuickWindow* second = notebook(1);
        const QUrl link(QStringLiteral("parlevox://connect?server=http://localhost:3000"));
        first->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(first));
        app.windows->deliverLink(link);
        QVERIFY(viewModel(first)->hasIntegrationsRequest());
        QVERIFY(!viewModel(second)->hasIntegrationsRequest());
        viewModel(first)->dismissIntegrations();

        recordAndStop();
        viewModel(first)->setTab(QStringLiteral("agent"));
        viewModel(second)->setTab(QStringLiteral("agent"));
        QVERIFY(viewModel(second)->beginOpenRecording());
        viewModel(second)->finishOpenRecording(QUrl::fromLocalFile(QStringLiteral("/tmp/a.m4a")));
        QCOMPARE(viewModel(second)->tab(), QStringLiteral("transcription"));
        QCOMPARE(viewModel(first)->tab(), QStringLiteral("agent"));
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
        app.settings.setWebWorkspaceURL(team.url(QStringLiteral("/")).toString());
        app.session.setAgentAccessCode(QStringLiteral("code-equipe"));
        app.session.setAgentAccess(AgentAccess { .planning = true, .trello = true, .devin = true });
        recordAndStop();
        viewModel(notebook())->setTab(QStringLiteral("agent"));
        QTRY_VERIFY(find(notebook(), QStringLiteral("agentPage")));
        app.session.agent()->setRequest(QStringLiteral("Corrige l’export"));

        QQuickItem* prepare = item(notebook(), QStringLiteral("prepareButton"));
        QVERIFY(
            !inView(notebook(), QStringLiteral("prepareButton"), QStringLiteral("agentScroller")));
        notebook()->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(notebook()));
        prepare->forceActiveFocus();
        QTRY_VERIFY(
            inView(notebook(), QStringLiteral("prepareButton"), QStringLiteral("agentScroller")));
        click(notebook(), QStringLiteral("prepareButton"));
        QTRY_VERIFY(app.session.agent()->asking());
        QCOMPARE(team.requests().size(), 1);
        QCOMPARE(team.requests().first().target, QByteArrayLiteral("/api/agent-prepare"));
        QCOMPARE(team.requests().first().header("Authorization"),
            QByteArrayLiteral("Bearer code-equipe"));
        QTRY_VERIFY(
            inView(notebook(), QStringLiteral("questionArea"), QStringLiteral("agentScroller")));
    }

    // Without a key, "Transcrire" opens the key form, whose own "Transcrire" saves the trimmed
    // key and runs the transcription.
    void keyFormRunsTheTranscription()
    {
        qunsetenv("GLADIA_API_KEY");
        App& app = launch();
        recordAndStop();
        click(notebook(), QStringLiteral("transcribeButton"));
        QCOMPARE(viewModel(notebook())->integrationsPage(), QStringLiteral("transcribe"));
        QTRY_VERIFY(shown(notebook(), QStringLiteral("keyField")));
        QVERIFY(!enabled(notebook(), QStringLiteral("keySaveButton")));
        item(notebook(), QStringLiteral("keyField"))
            ->setProperty("text", QStringLiteral(" clé \n"));
        click(notebook(), QStringLiteral("keySaveButton"));
        QTRY_COMPARE(app.session.status(), QStringLiteral("Transcription prête"));
        QCOMPARE(m_script.keysGiven, QStringList { QStringLiteral("clé") });
        QVERIFY(!viewModel(notebook())->hasIntegrationsRequest());
    }

    // The meeting window: closes when no meeting is on, stays for a recording when a Zoom meeting
    // ends, takes no link and never polls Zoom.
    void meetingWindowRules()
    {
        auto polls = std::make_shared<std::atomic<int>>(0);
        CaptureViewModel::setZoomTitleSource([polls] {
            ++*polls;
            return std::optional<QStringList>(QStringList { QStringLiteral("Zoom Meeting") });
        });
        App& app = launch();
        app.windows->openWindow(QStringLiteral("meeting"));
        QTRY_VERIFY(!meeting());

        app.settings.setDetectZoomMeetings(true);
        QTRY_VERIFY(meeting());
        click(notebook(), QStringLiteral("recordButton"));
        QTRY_VERIFY(app.session.capturing());
        app.settings.setDetectZoomMeetings(false); // the Zoom meeting is over
        QVERIFY(!app.session.zoomDetector().inMeeting());
        QTest::qWait(50);
        QVERIFY(meeting());
        QTRY_VERIFY(viewModel(meeting()));
        QVERIFY(!viewModel(meeting())->handleLink(
            QUrl(QStringLiteral("parlevox://connect?server=http://localhost:3000"))));

        app.settings.setDetectZoomMeetings(true);
        notebook()->close();
        QTRY_VERIFY(app.windows->notebookWindows().isEmpty());
        const int pollsLeft = polls->load();
        QTest::qWait(2500);
        QVERIFY(polls->load() <= pollsLeft + 1); // at most the read already under way
    }

    // Every button, text and field of the notebook, its sheets and its agent page, as a screen
    // reader meets them.
    void everythingShownIsReachableWithoutAMouse()
    {
        App& app = launch();
        app.session.setKey(QStringLiteral("clé"));
        QVERIFY2(accessibilityGaps(notebook()->contentItem()).isEmpty(),
            qPrintable(accessibilityGaps(notebook()->contentItem()).join(u'|')));
        recordAndStop();
        click(notebook(), QStringLiteral("transcribeButton"));
        QTRY_VERIFY(shown(notebook(), QStringLiteral("transcriptCard")));
        QVERIFY2(accessibilityGaps(notebook()->contentItem()).isEmpty(),
            qPrintable(accessibilityGaps(notebook()->contentItem()).join(u'|')));
        viewModel(notebook())->setTab(QStringLiteral("agent"));
        QTRY_VERIFY(find(notebook(), QStringLiteral("agentPage")));
        QVERIFY2(accessibilityGaps(notebook()->contentItem()).isEmpty(),
            qPrintable(accessibilityGaps(notebook()->contentItem()).join(u'|')));
        for (const char* page : { "catalog", "agent", "gladia" }) {
            viewModel(notebook())->showIntegrations(QString::fromLatin1(page));
            QTRY_VERIFY(shown(notebook(), QStringLiteral("integrationsView")));
            QVERIFY2(accessibilityGaps(notebook()->contentItem()).isEmpty(),
                qPrintable(accessibilityGaps(notebook()->contentItem()).join(u'|')));
            viewModel(notebook())->dismissIntegrations();
        }
        viewModel(notebook())->setShowingSettings(true);
        QTRY_VERIFY(shown(notebook(), QStringLiteral("closeSettingsButton")));
        QVERIFY2(accessibilityGaps(notebook()->contentItem()).isEmpty(),
            qPrintable(accessibilityGaps(notebook()->contentItem()).join(u'|')));
    }

    void twoNotebooksShareTheNotes()
    {
        App& app = launch();
        click(notebook(), QStringLiteral("newWindowButton"));
        QCOMPARE(app.windows->notebookWindows().size(), 2);
        QTRY_COMPARE(app.session.notebookCount(), 2);

        QQuickWindow* first = notebook(0);
        QQuickWindow* second = notebook(1);
        first->resize(660, 1000); // the notes editor clear of the footer
        first->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(first));
        click(first, QStringLiteral("notesEditor"));
        QTRY_VERIFY(item(first, QStringLiteral("notesEditor"))->hasActiveFocus());
        for (const char key : { 'D', 'e', 'c', 'i', 'd', 'e' }) {
            QTest::keyClick(first, key);
        }
        QCOMPARE(app.session.notes(), QStringLiteral("Decide"));
        QCOMPARE(item(second, QStringLiteral("notesEditor"))->property("text").toString(),
            QStringLiteral("Decide"));
        QVERIFY(!shown(second, QStringLiteral("notesPlaceholder")));

        second->close();
        QTRY_COMPARE(app.session.notebookCount(), 1);
    }

    void zoomMeetingOpensTheMeetingWindowUntilDetectionIsTurnedOff()
    {
        auto polls = std::make_shared<std::atomic<int>>(0);
        CaptureViewModel::setZoomTitleSource([polls] {
            ++*polls;
            return std::optional<QStringList>(QStringList { QStringLiteral("Zoom Meeting") });
        });
        App& app = launch();
        QCOMPARE(polls->load(), 0); // off by default: no polling at all

        app.settings.setDetectZoomMeetings(true);
        QTRY_VERIFY(meeting());
        QVERIFY(app.session.meetingIsActive());
        QVERIFY(shown(notebook(), QStringLiteral("showMeetingButton")));
        QTRY_VERIFY_WITH_TIMEOUT(polls->load() >= 2, 5000); // polls again after its wait

        // Turning it off resets the detector: the meeting is over, its window closes itself.
        app.settings.setDetectZoomMeetings(false);
        QVERIFY(!app.session.meetingIsActive());
        QTRY_VERIFY(!meeting());
        const int pollsWhenOff = polls->load();
        QTest::qWait(2500);
        QCOMPARE(polls->load(), pollsWhenOff);
    }
};

QTEST_MAIN(tst_CaptureView)
#include "tst_captureview.moc"
