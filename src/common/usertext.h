#pragma once

#include <QString>

// What the user typed, without leading and trailing white space and line breaks.
[[nodiscard]] inline QString trimmedUserText(const QString& text)
{
    return text.trimmed();
}
