#pragma once

#include "error.h"

#include <QString>

// A failed exchange with the transcription service, as one French sentence.
class RequestError : public Error
{
public:
    enum class Kind
    {
        Http,
        InvalidResponse,
        Unauthorized,
    };

    // The service answered with a status outside 200 to 299 (401 excepted) during `stage`.
    [[nodiscard]] static RequestError http(const QString& stage, int status);
    // The answer during `stage` was not HTTP or could not be decoded.
    [[nodiscard]] static RequestError invalidResponse(const QString& stage);
    // The service refused the key (HTTP 401, at any stage).
    [[nodiscard]] static RequestError unauthorized();
    // The key holds a line break or another control character, so it cannot be sent at all; it
    // is to be replaced like a refused one.
    [[nodiscard]] static RequestError unusableKey();

    [[nodiscard]] Kind kind() const noexcept { return m_kind; }
    // The exchange that failed; empty for `unauthorized`.
    [[nodiscard]] const QString& stage() const noexcept { return m_stage; }
    // The HTTP status of an `http` error, 0 otherwise.
    [[nodiscard]] int status() const noexcept { return m_status; }

private:
    RequestError(Kind kind, QString stage, int status, QString message);

    Kind m_kind;
    QString m_stage;
    int m_status;
};
