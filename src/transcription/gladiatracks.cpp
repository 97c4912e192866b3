// The two-track run, apart from the one-file run because only it needs the mixdown.

#include "background.h"
#include "gladia.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <exception>

QCoro::Task<QString> Gladia::transcribe(AudioCapture::Tracks tracks, std::stop_token stop) const
{
    // The run keeps its own copy, so the caller may drop this value at once.
    return transcribeTracks(*this, std::move(tracks), std::move(stop));
}

QCoro::Task<QString> Gladia::transcribeTracks(
    Gladia self, AudioCapture::Tracks tracks, std::stop_token stop)
{
    self.checkKey();
    // The call side can be stopped alone, when the microphone side has already failed.
    std::stop_source systemStop;
    std::stop_callback forwardStop(stop, [&systemStop] { systemStop.request_stop(); });

    QCoro::Task<QList<Segment>> microphoneRun = self.transcribeTrack(tracks.microphone, stop);
    QCoro::Task<QList<Segment>> systemRun
        = self.transcribeTrack(tracks.system, systemStop.get_token());

    QList<Segment> microphone;
    std::exception_ptr microphoneFailure;
    try {
        microphone = co_await microphoneRun;
    } catch (...) {
        microphoneFailure = std::current_exception();
    }
    if (microphoneFailure) {
        // Nothing of the call side can be used any more; it still has to finish cleaning up.
        systemStop.request_stop();
        try {
            co_await systemRun;
        } catch (...) { }
        std::rethrow_exception(microphoneFailure);
    }
    const QList<Segment> system = co_await systemRun;
    co_return format(microphone, system, tracks);
}

QCoro::Task<QList<Gladia::Segment>> Gladia::transcribeTrack(
    QString track, std::stop_token stop) const
{
    // The copy made while recording goes out as it is, without waiting for a conversion.
    if (const QString copy = AudioCapture::uploadCopy(track); QFileInfo::exists(copy)) {
        throwIfStopped(stop);
        const Transcription transcription = co_await fetchTranscript(copy, stop);
        co_return transcription.segments();
    }
    const QString temporary
        = QFileInfo(track).absoluteDir().filePath(canonicalUuid() + QStringLiteral(".m4a"));
    const auto removeTemporary = qScopeGuard([&temporary] { QFile::remove(temporary); });
    throwIfStopped(stop);
    std::exception_ptr exportFailure;
    try {
        // Captures by reference only: the frame outlives the work, and GCC 12 mishandles the
        // copies of a non-trivial callable handed to a coroutine inside a co_await.
        co_await runInBackground([&track, &temporary, &stop] {
            AudioCapture::exportAudio({ AudioCapture::Input { track, 0 } }, temporary, stop);
        });
    } catch (...) {
        exportFailure = std::current_exception();
    }
    // An abandoned conversion reports the stop like every other step of the run.
    throwIfStopped(stop);
    if (exportFailure) {
        std::rethrow_exception(exportFailure);
    }
    const Transcription transcription = co_await fetchTranscript(temporary, stop);
    co_return transcription.segments();
}
