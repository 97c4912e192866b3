#include "integrationspagename.h"

#include <array>
#include <utility>

namespace {

constexpr std::array pageNames {
    std::pair { IntegrationsPage::catalog, u"catalog" },
    std::pair { IntegrationsPage::agent, u"agent" },
    std::pair { IntegrationsPage::prepare, u"prepare" },
    std::pair { IntegrationsPage::gladia, u"gladia" },
    std::pair { IntegrationsPage::transcribe, u"transcribe" },
};

} // namespace

QString pageName(IntegrationsPage page)
{
    for (const auto& [candidate, name] : pageNames) {
        if (candidate == page) {
            return QString::fromUtf16(name);
        }
    }
    Q_UNREACHABLE();
    return {};
}

std::optional<IntegrationsPage> pageFromName(QStringView name)
{
    for (const auto& [page, candidate] : pageNames) {
        if (name == QStringView(candidate)) {
            return page;
        }
    }
    return std::nullopt;
}
