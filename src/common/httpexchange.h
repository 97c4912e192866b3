#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QNetworkRequest>
#include <QString>
#include <chrono>
#include <optional>
#include <stop_token>

class QNetworkAccessManager;

// What one HTTP exchange may cost before it is abandoned.
struct ExchangeLimits
{
    qint64 largestAnswer = 4 * 1024 * 1024; // body bytes, read as they arrive
    std::chrono::milliseconds stall { 30000 }; // nothing sent nor received for that long
    std::chrono::milliseconds deadline { 120000 }; // the whole exchange, however it trickles
};

// The answer of one exchange that the network delivered whole.
struct ExchangeAnswer
{
    enum class Kind
    {
        Http, // a status and the whole body
        NotHttp, // the exchange ended without an HTTP status
        TooLarge, // the body passed the limit and was abandoned
    };

    Kind kind = Kind::NotHttp;
    int status = 0;
    QByteArray body;
};

// Whether `value` can go into a header as it is: a line break or another control character would
// end the header early and let the rest be read as headers of its own; HTTP allows only the tab.
[[nodiscard]] bool fitsInHeader(const QString& value);

// Sends `request` through `manager` (POST with `body`, GET without) and reads the answer as it
// arrives, within `limits`. Any reply carrying an HTTP status is an answer, whatever Qt's error
// code; failures of the network itself, a stall, the deadline and a stop request are thrown as
// TransportError naming `peer`. Must run on the manager's thread; the stop may come from any.
[[nodiscard]] QCoro::Task<ExchangeAnswer> exchange(QNetworkAccessManager* manager,
    QNetworkRequest request, std::optional<QByteArray> body, ExchangeLimits limits, QString peer,
    std::stop_token stop = {});
