// See bench/hostile-answers.
#include "agentclient.h"
#include "blockingwait.h"
#include "gladia.h"
#include "processmemory.h"
#include "testhttpserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <cstdio>

namespace {

constexpr qint64 gib = qint64(1) << 30;

ScriptedResponse hugeAnswer()
{
    ScriptedResponse answer = ScriptedResponse::json(200, {});
    answer.filler = gib;
    answer.declareLength = false;
    return answer;
}

// Peak MiB above the resident size before `work`.
template<typename Work> qint64 peakAbove(Work work)
{
    processmemory::resetPeak();
    const qint64 idle = processmemory::residentMiB();
    work();
    return processmemory::peakMiB() - idle;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);

    TestHttpServer team;
    team.enqueue(hugeAnswer());
    const qint64 agentPeak = peakAbove([&] {
        std::printf("agent, 1 GiB: %s\n",
            qPrintable(failureOf(AgentClient(team.url(), QStringLiteral("c")).access())));
    });

    TestHttpServer gladia(TestHttpServer::Transport::Tls);
    gladia.setHandler([&gladia](const RecordedRequest& request) {
        if (request.target == "/v2/upload") {
            return ScriptedResponse::json(200, R"({"audio_url":"a"})");
        }
        if (request.target == "/v2/pre-recorded") {
            return ScriptedResponse::json(200,
                R"({"result_url":")" + gladia.url(QStringLiteral("/v2/result/1")).toEncoded()
                    + R"("})");
        }
        return hugeAnswer();
    });
    QTemporaryDir dir;
    const QString audio = dir.filePath(QStringLiteral("a.m4a"));
    QFile file(audio);
    file.open(QIODevice::WriteOnly);
    file.write("audio");
    file.close();
    Gladia::Service service;
    service.host = QStringLiteral("127.0.0.1");
    service.port = gladia.port();
    const Gladia client(
        QStringLiteral("k"), Gladia::Session(gladia.clientTlsConfiguration()), service);
    const qint64 gladiaPeak = peakAbove([&] {
        std::printf("gladia result, 1 GiB: %s\n", qPrintable(failureOf(client.transcribe(audio))));
    });

    TestHttpServer dripping;
    ScriptedResponse drip = ScriptedResponse::json(200, QByteArray(1000, ' ') + "{}");
    drip.dripMs = 5000;
    dripping.enqueue(drip);
    QElapsedTimer clock;
    clock.start();
    std::printf("agent, one byte every 5 s: %s\n",
        qPrintable(failureOf(AgentClient(dripping.url(), QStringLiteral("c")).access())));
    const double gaveUp = clock.elapsed() / 1000.0;

    std::printf("hostile-answers agent_peak_mb=%lld gladia_peak_mb=%lld drip_give_up_s=%.1f\n",
        static_cast<long long>(agentPeak), static_cast<long long>(gladiaPeak), gaveUp);
    return 0;
}
