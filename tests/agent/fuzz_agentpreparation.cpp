// Decodes arbitrary bytes as a preparation answer: it must decode whole or fail with one of the
// two expected errors, never crash or hang.
#include "agentclient.h"
#include "agentrecords.h"

#include <QJsonArray>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
        const AgentPreparation preparation = decodeRecord<AgentPreparation>(bytes);
        if (preparation.isQuestion() == preparation.isReview()) {
            std::abort();
        }
        if (const AgentReview* review = preparation.review()) {
            if (review->usesTrello() && review->executor != AgentExecutor::Kind::computerUse) {
                std::abort();
            }
            // A decoded review can go out again as the clarifications of a preparation.
            const QJsonObject body
                = AgentClient::Preparation { review->task, review->quote, review->clarifications }
                      .toJson();
            if (body.value(QStringLiteral("clarifications")).toArray().size()
                != review->clarifications.size()) {
                std::abort();
            }
        }
    } catch (const AgentClient::Failure& failure) {
        if (failure.status() || failure.code()) {
            std::abort();
        }
    } catch (const AgentRecordError&) { }
    return 0;
}
