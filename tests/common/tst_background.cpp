#include "background.h"
#include "error.h"

#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;

// Work that owns heap data, as real callers' work does (file names, keys).
class tst_Background : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Work written inside the await, as a lambda or built with braces, outlives its statement;
    // it runs off the calling thread.
    void runsOffTheCallingThreadWithWorkBuiltInsideTheAwait()
    {
        struct Job
        {
            QString name;
            QString operator()() const { return name + u".m4a"_s; }
        };
        const QString name = u"appel.caf"_s;
        QThread* const caller = QThread::currentThread();
        auto awaiting = [&]() -> QCoro::Task<QString> {
            const QString first = co_await runInBackground(
                [name, caller] { return QThread::currentThread() == caller ? QString() : name; });
            co_return first + co_await runInBackground(Job { name });
        };
        QCOMPARE(QCoro::waitFor(awaiting()), u"appel.cafappel.caf.m4a"_s);
    }

    void rethrowsOnTheAwaitingSide()
    {
        const QString sentence = u"Impossible de lire une piste audio."_s;
        auto work = [sentence] {
            throw PlatformError(sentence);
        };
        auto awaiting = [&]() -> QCoro::Task<QString> {
            try {
                co_await runInBackground(std::move(work));
            } catch (const Error& error) {
                co_return error.message();
            }
            co_return QString();
        };
        QCOMPARE(QCoro::waitFor(awaiting()), sentence);
    }
};

QTEST_GUILESS_MAIN(tst_Background)
#include "tst_background.moc"
