// Decoding of the service's answers and building of what is sent: pure code, no coroutines, so that
// the fuzzer can be built from it alone.

#include "gladia.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QUuid>

namespace {

// Absent: the member is missing or null. Otherwise decoded, or nullopt-in-nullopt when unfit.
template<typename Value, typename Decoder>
std::optional<std::optional<Value>> optionalMember(const QJsonValue& member, Decoder decoder)
{
    if (member.isUndefined() || member.isNull()) {
        return std::optional<Value> {};
    }
    std::optional<Value> decoded = decoder(member);
    if (!decoded) {
        return std::nullopt;
    }
    return decoded;
}

std::optional<QString> string(const QJsonValue& value)
{
    if (!value.isString()) {
        return std::nullopt;
    }
    return value.toString();
}

// JSON numbers that are whole and fit a signed 64-bit integer; 1.5 or 1e30 is not a speaker.
std::optional<qint64> integer(const QJsonValue& value)
{
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const qint64 number = value.toInteger(0);
    if (number == 0 && value.toInteger(1) != 0) {
        return std::nullopt;
    }
    return number;
}

} // namespace

std::optional<Gladia::Segment> Gladia::Segment::fromJson(const QJsonValue& value)
{
    if (!value.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = value.toObject();
    const QJsonValue start = object.value(QLatin1String("start"));
    const std::optional<QString> text = string(object.value(QLatin1String("text")));
    const auto speaker = optionalMember<qint64>(object.value(QLatin1String("speaker")), integer);
    if (!start.isDouble() || !text || !speaker) {
        return std::nullopt;
    }
    return Segment { start.toDouble(), *speaker, *text };
}

std::optional<Gladia::Upload> Gladia::Upload::fromJson(const QJsonValue& value)
{
    std::optional<QString> audioUrl = string(value.toObject().value(QLatin1String("audio_url")));
    if (!value.isObject() || !audioUrl) {
        return std::nullopt;
    }
    return Upload { *audioUrl };
}

std::optional<Gladia::Job> Gladia::Job::fromJson(const QJsonValue& value)
{
    const std::optional<QString> text = string(value.toObject().value(QLatin1String("result_url")));
    if (!value.isObject() || !text) {
        return std::nullopt;
    }
    const QUrl url(*text, QUrl::StrictMode);
    if (!url.isValid() || url.isEmpty()) {
        return std::nullopt;
    }
    return Job { url };
}

std::optional<Gladia::Transcription> Gladia::Transcription::fromJson(const QJsonValue& value)
{
    if (!value.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = value.toObject();
    const std::optional<QString> fullTranscript
        = string(object.value(QLatin1String("full_transcript")));
    const auto utterances
        = optionalMember<QList<Segment>>(object.value(QLatin1String("utterances")),
            [](const QJsonValue& member) -> std::optional<QList<Segment>> {
                if (!member.isArray()) {
                    return std::nullopt;
                }
                const QJsonArray array = member.toArray();
                QList<Segment> segments;
                segments.reserve(array.size());
                for (const QJsonValue& item : array) {
                    std::optional<Segment> segment = Segment::fromJson(item);
                    if (!segment) {
                        return std::nullopt;
                    }
                    segments.append(std::move(*segment));
                }
                return segments;
            });
    if (!fullTranscript || !utterances) {
        return std::nullopt;
    }
    return Transcription { *fullTranscript, *utterances };
}

std::optional<Gladia::Result::Details> Gladia::Result::Details::fromJson(const QJsonValue& value)
{
    if (!value.isObject()) {
        return std::nullopt;
    }
    const auto transcription = optionalMember<Transcription>(
        value.toObject().value(QLatin1String("transcription")), Transcription::fromJson);
    if (!transcription) {
        return std::nullopt;
    }
    return Details { *transcription };
}

std::optional<Gladia::Result> Gladia::Result::fromJson(const QJsonValue& value)
{
    if (!value.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = value.toObject();
    const std::optional<QString> status = string(object.value(QLatin1String("status")));
    const auto result
        = optionalMember<Details>(object.value(QLatin1String("result")), Details::fromJson);
    if (!status || !result) {
        return std::nullopt;
    }
    return Result { *status, *result };
}

template<typename Record> std::optional<Record> Gladia::decode(const QByteArray& json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return Record::fromJson(document.object());
}

template std::optional<Gladia::Upload> Gladia::decode<Gladia::Upload>(const QByteArray&);
template std::optional<Gladia::Job> Gladia::decode<Gladia::Job>(const QByteArray&);
template std::optional<Gladia::Result> Gladia::decode<Gladia::Result>(const QByteArray&);

QList<Gladia::Segment> Gladia::Transcription::segments() const
{
    if (utterances && !utterances->isEmpty()) {
        return *utterances;
    }
    const QString text = full_transcript.trimmed();
    if (text.isEmpty()) {
        return {};
    }
    return { Segment { 0, std::nullopt, text } };
}

bool Gladia::acceptsResultUrl(const QUrl& url) const
{
    return url.scheme() == QLatin1String("https") && !url.host().isEmpty()
        && url.host() == m_service.host;
}

QByteArray Gladia::uploadBody(const QByteArray& boundary, const QByteArray& audio)
{
    QByteArray body;
    body.reserve(audio.size() + 2 * boundary.size() + 160);
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"audio\"; filename=\"reunion.m4a\"\r\n";
    body += "Content-Type: audio/mp4\r\n";
    body += "\r\n";
    body += audio;
    body += "\r\n--" + boundary + "--\r\n";
    return body;
}

QByteArray Gladia::jobBody(const QString& audioUrl)
{
    const QJsonObject job {
        { QLatin1String("audio_url"), audioUrl },
        { QLatin1String("diarization"), true },
    };
    return QJsonDocument(job).toJson(QJsonDocument::Compact);
}

QString Gladia::canonicalUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}
