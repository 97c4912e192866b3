// Any byte string given as a service answer must decode or be refused, and whatever decodes must
// format into a transcript, without crashing, hanging or undefined behaviour.

#include "gladia.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray json = QByteArray::fromRawData(
        reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    (void)Gladia::decode<Gladia::Upload>(json);
    (void)Gladia::decode<Gladia::Job>(json);
    const std::optional<Gladia::Result> result = Gladia::decode<Gladia::Result>(json);
    if (!result || !result->result || !result->result->transcription) {
        return 0;
    }
    const QList<Gladia::Segment> segments = result->result->transcription->segments();
    (void)Gladia::format(segments);

    // Both layouts of a two-track run, the tracks told apart by the speaker and placed by offsets
    // taken from the answer itself, so that extreme times reach the merge too.
    QList<Gladia::Segment> microphone;
    QList<Gladia::Segment> system;
    for (const Gladia::Segment& segment : segments) {
        (segment.speaker.value_or(0) % 2 == 0 ? microphone : system).append(segment);
    }
    AudioCapture::Tracks tracks;
    tracks.microphoneOffset = segments.isEmpty() ? 0 : segments.first().start;
    tracks.systemOffset = segments.isEmpty() ? 0 : -segments.last().start;
    (void)Gladia::format(microphone, system, tracks);
    return 0;
}
