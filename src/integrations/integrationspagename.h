#pragma once

#include "integrationsrequest.h"

#include <QString>
#include <QStringView>
#include <optional>

// The name a view passes for a page: "catalog", "agent", "prepare", "gladia" or "transcribe".
[[nodiscard]] QString pageName(IntegrationsPage page);
// The page of that name, letter case included; none for any other text.
[[nodiscard]] std::optional<IntegrationsPage> pageFromName(QStringView name);
