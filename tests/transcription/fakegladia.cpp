#include "fakegladia.h"

#include "blockingwait.h"
#include "error.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

FakeGladia::FakeGladia()
{
    upload = [](const RecordedRequest&) {
        return ScriptedResponse::json(200, R"({"audio_url":"https://127.0.0.1/audio/1"})");
    };
    job = [this](const RecordedRequest&) {
        return ScriptedResponse::json(
            200, object(u"result_url"_s, QString::fromLatin1(resultUrl("/v2/result/1"))));
    };
    server.setHandler([this](const RecordedRequest& request) {
        if (request.target == "/v2/upload") {
            return upload(request);
        }
        if (request.target == "/v2/pre-recorded") {
            return job(request);
        }
        if (poll) {
            return poll(request);
        }
        if (!polls.isEmpty()) {
            return polls.takeFirst();
        }
        return ScriptedResponse::json(200, R"({"status":"processing"})");
    });
}

QByteArray FakeGladia::resultUrl(
    const QByteArray& path, const QByteArray& scheme, const QByteArray& host) const
{
    return scheme + "://" + host + ':' + QByteArray::number(server.port()) + path;
}

QByteArray FakeGladia::object(const QString& name, const QString& value)
{
    return QJsonDocument(QJsonObject { { name, value } }).toJson(QJsonDocument::Compact);
}

ScriptedResponse FakeGladia::done(const QByteArray& utterances)
{
    return ScriptedResponse::json(200,
        R"({"status":"done","result":{"transcription":{"full_transcript":"","utterances":)"
            + utterances + "}}}");
}

Gladia::Service FakeGladia::service() const
{
    Gladia::Service service;
    service.host = u"127.0.0.1"_s;
    service.port = server.port();
    service.pollInterval = std::chrono::milliseconds(20);
    return service;
}

Gladia FakeGladia::client(const QString& key)
{
    return Gladia(key, Gladia::Session(&manager, server.clientTlsConfiguration()), service());
}

Gladia FakeGladia::client(const Gladia::Service& service)
{
    return Gladia(
        u"test-key"_s, Gladia::Session(&manager, server.clientTlsConfiguration()), service);
}

Gladia FakeGladia::clientOwningItsSession() const
{
    return Gladia(u"test-key"_s, Gladia::Session(server.clientTlsConfiguration()), service());
}

QString Outcome::errorText() const
{
    return error ? describeError(error) : QString();
}

Outcome run(QCoro::Task<QString> transcription)
{
    Outcome outcome;
    outcome.error
        = QCoro::waitFor(blocking::settle(std::move(transcription), &outcome.transcript)).failure;
    return outcome;
}
