#pragma once

#include <QMetaType>
#include <QUrl>
#include <QUuid>
#include <cstddef>
#include <functional>
#include <optional>

// The pages of the integrations sheet, in the order the sheet knows them.
enum class IntegrationsPage
{
    catalog,
    agent,
    prepare,
    gladia,
    transcribe,
};

// A request to present the integrations sheet at a page, perhaps proposing a team site. Every
// request is new, so presenting one always shows its page afresh.
class IntegrationsRequest
{
public:
    explicit IntegrationsRequest(
        IntegrationsPage page, std::optional<QUrl> suggestedServer = std::nullopt);

    // A request from a link parlevox://connect?server=<team site>; none for any other link.
    [[nodiscard]] static std::optional<IntegrationsRequest> fromLink(const QUrl& url);

    [[nodiscard]] const QUuid& id() const { return m_id; }
    [[nodiscard]] IntegrationsPage page() const { return m_page; }
    [[nodiscard]] const std::optional<QUrl>& suggestedServer() const { return m_suggestedServer; }

    friend bool operator==(const IntegrationsRequest& a, const IntegrationsRequest& b)
    {
        return a.m_id == b.m_id;
    }

private:
    QUuid m_id;
    IntegrationsPage m_page;
    std::optional<QUrl> m_suggestedServer;
};

template<> struct std::hash<IntegrationsPage>
{
    std::size_t operator()(IntegrationsPage page) const noexcept
    {
        return std::hash<int> {}(int(page));
    }
};
