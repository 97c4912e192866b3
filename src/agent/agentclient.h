#pragma once

#include "agentrecords.h"
#include "error.h"

#include <QByteArray>
#include <QCoroTask>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>
#include <chrono>
#include <optional>

class QNetworkAccessManager;

// The client of the team server: checks the access code, prepares tasks, launches confirmed ones.
// A small value built from the team site root and the access code; its operations are started on
// the application thread and suspend while the request is in flight.
class AgentClient
{
public:
    // A problem the client detected itself, as one French sentence with the server's status and
    // code when it gave them.
    class Failure : public Error
    {
    public:
        explicit Failure(QString message, std::optional<int> status = std::nullopt,
            std::optional<QString> code = std::nullopt);

        // The HTTP status of a non-success answer.
        [[nodiscard]] std::optional<int> status() const { return m_status; }
        // The machine-readable code the server gave with its error.
        [[nodiscard]] const std::optional<QString>& code() const { return m_code; }

    private:
        std::optional<int> m_status;
        std::optional<QString> m_code;
    };

    // Body of a preparation request.
    struct Preparation
    {
        QString task;
        QString transcript;
        QList<AgentClarification> clarifications;

        [[nodiscard]] QJsonObject toJson() const;
        // Compact UTF-8 JSON.
        [[nodiscard]] QByteArray encode() const;
    };

    // Body of a launch request; always confirms.
    struct Confirmation
    {
        explicit Confirmation(QString approval)
            : approval(std::move(approval))
        { }

        QString approval;
        bool confirmed = true;

        [[nodiscard]] QJsonObject toJson() const;
        // Compact UTF-8 JSON.
        [[nodiscard]] QByteArray encode() const;
    };

    // The body the server may send with a non-success status.
    struct ErrorResponse
    {
        QString error;
        std::optional<QString> code;

        [[nodiscard]] static ErrorResponse fromJson(const QJsonObject& object);
    };

    static constexpr std::chrono::milliseconds defaultTimeout { std::chrono::seconds(35) };
    // The whole exchange: a team server may think for up to the 35 s of silence, then has the rest
    // to send a few kilobytes. Past it "Enregistrer" is free again with a sentence saying why.
    static constexpr std::chrono::milliseconds defaultDeadline { std::chrono::seconds(90) };
    // Access, preparation and launch answers are a few kilobytes of JSON; a proposal quoting a long
    // transcript stays well under 1 MiB.
    static constexpr qint64 largestAnswer = 4 * 1024 * 1024;
    // Characters of a server's own error text shown to the user.
    static constexpr qsizetype longestErrorText = 300;

    // The accepted team site address for what the user typed, or none. Pure; no network.
    [[nodiscard]] static std::optional<QUrl> serverURL(const QString& text);
    // The launch link check: does `url` open a session of `executor` safely?
    [[nodiscard]] static bool isAcceptableSessionLink(const QUrl& url, AgentExecutor executor);
    // The one memory-only network session shared by every client; it never follows redirects.
    [[nodiscard]] static QNetworkAccessManager* sharedSession();

    AgentClient(QUrl baseURL, QString accessCode, QNetworkAccessManager* session = sharedSession());

    // The team site root.
    [[nodiscard]] const QUrl& baseURL() const { return m_baseURL; }
    // The access code, sent as the bearer credential exactly as given.
    [[nodiscard]] const QString& accessCode() const { return m_accessCode; }
    // The connection pool used for every request.
    [[nodiscard]] QNetworkAccessManager* session() const { return m_session; }
    // How long a request may go without any progress before it fails.
    [[nodiscard]] std::chrono::milliseconds timeout() const { return m_timeout; }
    // Shortens or lengthens the no-progress time-out (35 seconds by default).
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    // How long a whole request may take, however it trickles (90 seconds by default).
    [[nodiscard]] std::chrono::milliseconds deadline() const { return m_deadline; }
    void setDeadline(std::chrono::milliseconds deadline) { m_deadline = deadline; }

    // The address of an endpoint: the root, then "api", then `endpoint`.
    [[nodiscard]] QUrl endpointURL(const QString& endpoint) const;

    // What the access code grants.
    [[nodiscard]] QCoro::Task<AgentAccess> access() const;
    // Asks the agent to prepare a task; the values are sent as given.
    [[nodiscard]] QCoro::Task<AgentPreparation> prepare(
        QString task, QString transcript, QList<AgentClarification> clarifications) const;
    // Confirms a proposal and returns the started session once its link is checked.
    [[nodiscard]] QCoro::Task<AgentExecution> launch(AgentReview review) const;

private:
    struct Request
    {
        QNetworkAccessManager* session;
        QUrl address;
        QString accessCode;
        std::chrono::milliseconds timeout;
        std::chrono::milliseconds deadline;
        QByteArray body;
    };

    [[nodiscard]] Request request(const QString& endpoint, QByteArray body) const;
    // Sends one request and returns the body of a 2xx answer; raises for everything else.
    [[nodiscard]] static QCoro::Task<QByteArray> post(Request request);

    QUrl m_baseURL;
    QString m_accessCode;
    QNetworkAccessManager* m_session;
    std::chrono::milliseconds m_timeout = defaultTimeout;
    std::chrono::milliseconds m_deadline = defaultDeadline;
};
