#include "integrationsrequest.h"

#include <QString>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<IntegrationsRequest> request = IntegrationsRequest::fromLink(QUrl(text));
    if (request && (request->page() != IntegrationsPage::agent || !request->suggestedServer())) {
        __builtin_trap();
    }
    return 0;
}
