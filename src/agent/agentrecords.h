#pragma once

#include "error.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QUrl>
#include <optional>
#include <variant>

// A JSON answer that does not match the record it should hold.
class AgentRecordError : public Error
{
public:
    using Error::Error;
};

// The JSON object in `json`; throws AgentRecordError for anything else.
[[nodiscard]] QJsonObject parseJsonObject(const QByteArray& json);

// The service that runs a confirmed task.
class AgentExecutor
{
    Q_GADGET
    Q_PROPERTY(QString name READ name CONSTANT)
    Q_PROPERTY(QString wireValue READ wireValue CONSTANT)
    Q_PROPERTY(QString sessionHost READ sessionHost CONSTANT)
    Q_PROPERTY(bool isDevin READ isDevin CONSTANT)

public:
    enum class Kind
    {
        devin,
        computerUse,
    };
    Q_ENUM(Kind)

    // Only for the meta-type system (QVariant, QML), which needs a default value.
    constexpr AgentExecutor() = default;
    constexpr AgentExecutor(Kind kind) // NOLINT(google-explicit-constructor): a closed set
        : m_kind(kind)
    { }
    // The executor travelling as `wireValue`; none for any other text, letter case included.
    [[nodiscard]] static std::optional<AgentExecutor> fromWireValue(QStringView wireValue);

    [[nodiscard]] Kind kind() const { return m_kind; }
    [[nodiscard]] bool isDevin() const { return m_kind == Kind::devin; }
    // "devin" or "computer_use".
    [[nodiscard]] QString wireValue() const;
    // The name shown to the user.
    [[nodiscard]] QString name() const;
    // The one host under which a launched session of this executor may be opened.
    [[nodiscard]] QString sessionHost() const;

    friend bool operator==(AgentExecutor, AgentExecutor) = default;

private:
    Kind m_kind = Kind::devin;
};

[[nodiscard]] inline size_t qHash(AgentExecutor executor, size_t seed = 0)
{
    return qHash(static_cast<int>(executor.kind()), seed);
}

template<> struct std::hash<AgentExecutor>
{
    size_t operator()(AgentExecutor executor) const noexcept { return qHash(executor); }
};

// One question asked by the agent and the user's answer to it.
struct AgentClarification
{
    Q_GADGET
    Q_PROPERTY(QString question MEMBER question CONSTANT)
    Q_PROPERTY(QString answer MEMBER answer CONSTANT)

public:
    QString question;
    QString answer;

    [[nodiscard]] static AgentClarification fromJson(const QJsonValue& value);
    [[nodiscard]] QJsonObject toJson() const;

    friend bool operator==(const AgentClarification&, const AgentClarification&) = default;
};

// The task proposal the user confirms before anything runs.
struct AgentReview
{
    Q_GADGET
    Q_PROPERTY(AgentExecutor executor MEMBER executor CONSTANT)
    Q_PROPERTY(QString destination MEMBER destination CONSTANT)
    Q_PROPERTY(QString title MEMBER title CONSTANT)
    Q_PROPERTY(QString task MEMBER task CONSTANT)
    Q_PROPERTY(QString quote MEMBER quote CONSTANT)
    Q_PROPERTY(QList<AgentClarification> clarifications MEMBER clarifications CONSTANT)
    Q_PROPERTY(bool usesTrello READ usesTrello CONSTANT)

public:
    AgentExecutor executor;
    QString destination;
    QString title;
    QString task;
    QString quote;
    QList<AgentClarification> clarifications;
    QString approval; // opaque token of the proposal, sent back unchanged on confirmation

    [[nodiscard]] static AgentReview fromJson(const QJsonObject& object);
    // True for a computer-use task whose destination is a link on the board host.
    [[nodiscard]] bool usesTrello() const;

    friend bool operator==(const AgentReview&, const AgentReview&) = default;
};

// The answer to a preparation: one more question, or the proposal.
class AgentPreparation
{
public:
    [[nodiscard]] static AgentPreparation askQuestion(QString question);
    [[nodiscard]] static AgentPreparation proposeReview(AgentReview review);
    // Decodes by "status"; an unknown status raises AgentClient::Failure, other faults
    // AgentRecordError.
    [[nodiscard]] static AgentPreparation fromJson(const QJsonObject& object);

    [[nodiscard]] bool isQuestion() const { return std::holds_alternative<QString>(m_value); }
    [[nodiscard]] bool isReview() const { return std::holds_alternative<AgentReview>(m_value); }
    // The question to show; null for a proposal.
    [[nodiscard]] const QString* question() const { return std::get_if<QString>(&m_value); }
    // The proposal; null for a question.
    [[nodiscard]] const AgentReview* review() const { return std::get_if<AgentReview>(&m_value); }

    friend bool operator==(const AgentPreparation&, const AgentPreparation&) = default;

private:
    template<typename Case>
    AgentPreparation(std::in_place_type_t<Case> which, Case value)
        : m_value(which, std::move(value))
    { }

    std::variant<QString, AgentReview> m_value;
};

// The session a launch started.
struct AgentExecution
{
    Q_GADGET
    Q_PROPERTY(AgentExecutor executor MEMBER executor CONSTANT)
    Q_PROPERTY(QUrl url MEMBER url CONSTANT)

public:
    AgentExecutor executor;
    QUrl url;

    [[nodiscard]] static AgentExecution fromJson(const QJsonObject& object);

    friend bool operator==(const AgentExecution&, const AgentExecution&) = default;
};

// What the team server grants to the holder of the access code.
struct AgentAccess
{
    Q_GADGET
    Q_PROPERTY(bool planning MEMBER planning CONSTANT)
    Q_PROPERTY(bool trello MEMBER trello CONSTANT)
    Q_PROPERTY(bool devin MEMBER devin CONSTANT)

public:
    bool planning = false;
    bool trello = false;
    bool devin = false;

    [[nodiscard]] static AgentAccess fromJson(const QJsonObject& object);

    friend bool operator==(const AgentAccess&, const AgentAccess&) = default;
};

// Decodes a record of type T from the bytes of a JSON object.
template<typename Record> [[nodiscard]] Record decodeRecord(const QByteArray& json)
{
    return Record::fromJson(parseJsonObject(json));
}
